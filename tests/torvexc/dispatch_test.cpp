// The motor tool's command line: case-free single words, the argument
// count before the digit test, fields with read-back, and its own texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_bus.h"
#include "torvexc_tables.h"

namespace {

constexpr uint32_t BRAKE5 = 0x02071CC5;

// Runs kelto_torvexc with `args` where devices 5 and 7 answer; device 5's
// brake field holds `brake` and takes writes.
ToolRun runTorvexc(std::vector<std::string> args, uint8_t brake = 1) {
    ScriptedBus bus(torvexc::PROFILE);
    bus.present(5);
    bus.present(7);
    bus.answer(0x02074405, {'T', 'C', '0', '0', '0', '0', '0', '5'});
    bus.answer(0x02073805, {'M', 'y', ' ', 'M', 'o', 't', 'o', 'r'});
    bus.field(BRAKE5, brake);
    args.insert(args.begin(), "kelto_torvexc");
    return runTool(torvexc::torvexcMain, args);
}

const std::string DIGITS = errorDocument(
    "Third argument must be blank for \\\"get\\\" or a positive numeral for \\\"set\\\"");
const std::string FIRST = errorDocument(
    "First argument must be \\\"scan\\\" or an ID followed by a field and possibly a new value");

TEST(TorvexcDispatch, RefusalsComeInTheirOrderWithTheirCodes) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const std::string range =
        errorDocument("IDs must be greater than zero and less than sixty (0 < id < 60).");
    const std::string requires = errorDocument("This field requires a value.");
    const Case cases[] = {
        {{}, 20, errorDocument("This executable requires arguments")},
        {{"firmware"}, 21, FIRST},
        {{"reset"}, 21, FIRST},
        {{"5"}, 21, FIRST},
        {{"5", "BRAKE"}, 30, errorDocument("Unrecognized command")},
        {{"5", "Name"}, 30, errorDocument("Unrecognized command")},
        {{"5", "showrgb", "1", "2", "3"}, 30, errorDocument("Unrecognized command")},
        {{"x5", "brake"}, 22, errorDocument("First argument must be a valid ID")},
        {{"0", "brake"}, 23, range},
        {{"261", "brake"}, 23, range},
        {{"9", "brake"}, 10, errorDocument("ID not found on network")},
        {{"5", "brake", "1", "2"}, 24, errorDocument("Too many arguments")},
        {{"5", "blink", "3", "4"}, 24, errorDocument("Too many arguments")},
        {{"5", "id", "7", "8"}, 24, errorDocument("Too many arguments")},
        {{"5", "brake", "x"}, 25, DIGITS},
        {{"5", "brake", "-1"}, 25, DIGITS},
        {{"5", "brake", ""}, 25, DIGITS},
        {{"5", "brake", "2147483648"}, 25, DIGITS},
        {{"5", "serial", "x"}, 25, DIGITS},
        {{"5", "serial", "3"}, 27, errorDocument("This field does not allow a set value.")},
        {{"5", "versions", "3"}, 27, errorDocument("This field does not allow a set value.")},
        {{"5", "blink"}, 28, requires},
        {{"5", "id"}, 28, requires},
        {{"5", "firmware"}, 28, requires},
        {{"FIRMWARE"}, 21, FIRST},
        {{"5", "firmware", "a", "b"}, 29, errorDocument("Firmware path must not contain spaces.")},
        {{"Firmware", "a", "b"}, 29, errorDocument("Firmware path must not contain spaces.")},
        {{"5", "id", "0"}, 23, range},
        {{"5", "id", "60"}, 23, range},
        {{"5", "id", "5"}, 14, errorDocument("New ID already found on network")},
        {{"5", "name", "My", "Motor", "X"},
         31,
         errorDocument("New name longer than eight characters")},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += "[" + a + "]";
        SCOPED_TRACE(line);
        const ToolRun run = runTorvexc(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_TRUE(run.frames.empty()) << "a refused command sends nothing";
    }
}

TEST(TorvexcDispatch, SingleWordsIgnoreLetterCase) {
    for (const char* word : {"scan", "SCAN", "Scan"}) {
        const ToolRun run = runTorvexc({word});
        EXPECT_EQ(run.status, 0) << word;
        EXPECT_EQ(run.out, "{\"scan\":[5,7]}\n") << word;
    }
    EXPECT_EQ(runTorvexc({"VERSION"}).status, 0);
}

TEST(TorvexcDispatch, FieldsAreReadAndWrittenWithReadBack) {
    struct Case {
        std::vector<std::string> args;
        uint8_t held;
        int status;
        std::string out;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {{"5", "brake"}, 1, 0, "{\"brake\":1}\n", {"02071CC5#"}},
        {{"5", "brake", "0"}, 1, 0, "{\"brake\":0}\n", {"02071CC5#00", "02071CC5#"}},
        {{"5", "brake", "300"}, 1, 0, "{\"brake\":44}\n", {"02071CC5#2C", "02071CC5#"}},
        {{"5", "brake", "255"},
         1,
         13,
         errorDocument("No response from TorvexC"),
         {"02071CC5#FF", "02071CC5#"}},
        {{"5", "brake"}, 255, 13, errorDocument("No response from TorvexC"), {"02071CC5#"}},
        {{"5", "inverted"}, 1, 13, errorDocument("No response from TorvexC"), {"02071C05#"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const ToolRun run = runTorvexc(c.args, c.held);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.frames, c.frames);
        EXPECT_EQ(run.err, "status: 0\n");
    }
}

TEST(TorvexcDispatch, ScanAfterAnIdReadsThePresenceFrame) {
    const ToolRun run = runTorvexc({"5", "scan"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "{\"scan\":0}\n");
    EXPECT_EQ(run.frames, std::vector<std::string>{"02072405#"});
}

TEST(TorvexcDispatch, SharedCommandsBehaveAsInTheLightingTool) {
    EXPECT_EQ(runTorvexc({"5", "serial"}).out, "{\"serial\":\"TC000005\"}\n");
    const ToolRun rename = runTorvexc({"5", "name", "My", "Motor"});
    EXPECT_EQ(rename.out, "{\"name\":\"My Motor\"}\n");
    EXPECT_EQ(rename.frames.front(), "02073805#4D79204D6F746F72");
    EXPECT_EQ(runTorvexc({"5", "blink", "3"}).frames, std::vector<std::string>{"02074005#03"});
}

}  // namespace

namespace {

TEST(TorvexcTables, NineteenCodesAndFifteenWords) {
    EXPECT_EQ(torvexc::ERROR_MESSAGE.size(), 19u);
    EXPECT_EQ(torvexc::ERROR_MESSAGE.at(32),
              "Another TorvexC firmware update is running on this bus");
    EXPECT_EQ(torvexc::ERROR_MESSAGE.at(13), "No response from TorvexC");
    EXPECT_EQ(torvexc::ERROR_MESSAGE.at(10), "ID not found on network");
    EXPECT_EQ(torvexc::MESSAGE_ID.size(), 15u);
    for (const auto& [word, id] : torvexc::MESSAGE_ID) {
        const uint32_t expected = word == "firmware" ? 0x1a07u : 0x0207u;
        EXPECT_EQ(id >> 16, expected) << word;
    }
}

}  // namespace
