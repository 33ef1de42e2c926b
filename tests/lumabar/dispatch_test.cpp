// The lighting tool's command line: order of checks, codes, frames, 99.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumabar_tables.h"
#include "scripted_bus.h"

namespace {

// Runs kelto_lumabar with `args` on a bus where devices 5 and 7 answer.
ToolRun runLumabar(std::vector<std::string> args) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(5);
    bus.present(7);
    bus.answer(0x08073805, {'F', 'r', 'o', 'n', 't', 0, 0, 0});
    bus.answer(0x08074405, {'L', 'B', '0', '0', '0', '0', '0', '5'});
    bus.answer(0x08073005, {2, 3, 1, 1, 1, 0, 0, 0});
    args.insert(args.begin(), "kelto_lumabar");
    return runTool(lumabar::lumabarMain, args);
}

std::string error(const char* text) {
    return errorDocument(text);
}

const char* const REQUIRES_VALUE = "This field requires a value.";
const char* const DIGITS = "Further argument must be positive numerals";

TEST(LumabarDispatch, RefusalsComeInTheirOrderWithTheirCodes) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const std::string firstArg =
        "{\"error\":\"First argument must be \\\"scan\\\", \\\"reset\\\", or an ID followed by a "
        "field and possibly a new value\"}\n";
    const Case cases[] = {
        {{}, 20, error("This executable requires arguments")},
        {{"firmware"}, 21, firstArg},
        {{"5"}, 21, firstArg},
        {{"SCAN"}, 21, firstArg},
        {{"reset"}, 22, error("First argument must be a valid ID")},
        {{"scan", "1"}, 30, error("Unrecognized command")},
        {{"version", "x"}, 30, error("Unrecognized command")},
        {{"abc", "serial"}, 22, error("First argument must be a valid ID")},
        {{"abc", "foo"}, 30, error("Unrecognized command")},
        {{"5", "Serial"}, 30, error("Unrecognized command")},
        {{"0", "serial"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"60", "serial"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"256", "serial"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"261", "serial"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"+5", "serial"}, 22, error("First argument must be a valid ID")},
        {{"9", "serial"}, 10, error("ID not found on network")},
        {{"5", "serial", "3"}, 27, error("This field does not allow a set value.")},
        {{"5", "versions", "3"}, 27, error("This field does not allow a set value.")},
        {{"5", "serial", "x"}, 25, error(DIGITS)},
        {{"5", "firmware"}, 28, error(REQUIRES_VALUE)},
        {{"5", "firmware", "a", "b"}, 29, error("Firmware path must not contain spaces.")},
        {{"firmware", "a", "b"}, 29, error("Firmware path must not contain spaces.")},
        {{"5", "id"}, 28, error(REQUIRES_VALUE)},
        {{"5", "id", "0"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"5", "id", "60"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"5", "id", "261"},
         23,
         error("IDs must be greater than zero and less than sixty (0 < id < 60).")},
        {{"5", "id", "7"}, 14, error("New ID already found on network")},
        {{"5", "id", "5"}, 14, error("New ID already found on network")},
        {{"5", "id", "7", "x"}, 25, error(DIGITS)},
        {{"5", "blink"}, 28, error(REQUIRES_VALUE)},
        {{"5", "blink", "3", "4"}, 28, error(REQUIRES_VALUE)},
        {{"5", "blink", "-3"}, 25, error(DIGITS)},
        {{"5", "showrgb", "1", "2"}, 28, error(REQUIRES_VALUE)},
        {{"5", "showrgb", "1", "2", "x"}, 25, error(DIGITS)},
        {{"5", "showrgb", "1", "", "3"}, 25, error(DIGITS)},
        {{"5", "showrgb", "1", "2147483648", "3"}, 25, error(DIGITS)},
        {{"5", "writeregister", "1", "2", "3", "4"}, 28, error(REQUIRES_VALUE)},
        {{"5", "reset", "1"}, 28, error(REQUIRES_VALUE)},
        {{"5", "showregister"}, 28, error(REQUIRES_VALUE)},
        {{"5", "cycle", "1"}, 28, error(REQUIRES_VALUE)},
        {{"5", "fade", "1", "2", "3"}, 28, error(REQUIRES_VALUE)},
        {{"5", "name", "abcd", "efgh"}, 31, error("New name longer than eight characters")},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += "[" + a + "]";
        SCOPED_TRACE(line);
        const ToolRun run = runLumabar(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_TRUE(run.frames.empty()) << "a refused command sends nothing";
    }
}

TEST(LumabarDispatch, LightingCommandsSendOneFrameAndReturn99) {
    struct Case {
        std::vector<std::string> args;
        std::string frame;  // empty: nothing sent
    };
    const Case cases[] = {
        {{"5", "showrgb", "255", "0", "0"}, "08070005#00FF0000"},
        {{"5", "showrgb", "256", "0", "300"}, "08070005#0000002C"},
        {{"5", "writeregister", "1", "2", "3", "4", "5"}, "08070185#0102030405"},
        {{"5", "reset"}, "00000045#"},
        {{"5", "showregister", "9"}, "08070045#09"},
        {{"5", "cycle", "10", "20"}, "08070145#0A14"},
        {{"5", "fade", "0", "2147483647"}, "080700C5#00FF"},
        {{"5", "flash", "1", "2", "3"}, ""},
        {{"5", "ping"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const ToolRun run = runLumabar(c.args);
        EXPECT_EQ(run.status, 99);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "status: 0\n");
        if (c.frame.empty())
            EXPECT_TRUE(run.frames.empty());
        else
            EXPECT_EQ(run.frames, std::vector<std::string>{c.frame});
    }
}

TEST(LumabarDispatch, QueriesPrintTheirDocument) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {{"scan"}, 0, "{\"scan\":[5,7]}\n", {}},
        {{"5", "name"}, 0, "{\"name\":\"Front\"}\n", {"08073805#"}},
        {{"5", "name", "ab", "cd"},
         0,
         "{\"name\":\"Front\"}\n",
         {"08073805#6162206364000000", "08073805#"}},
        {{"5", "serial"}, 0, "{\"serial\":\"LB000005\"}\n", {"08074405#"}},
        {{"5", "versions"},
         0,
         "{\"bootloader\":\"1.0\",\"firmware\":\"2.3\",\"hardware\":\"1.1\"}\n",
         {"08073005#"}},
        {{"5", "blink", "3"}, 0, "{\"blink\":3}\n", {"08074005#03"}},
        {{"5", "blink", "259"}, 0, "{\"blink\":3}\n", {"08074005#03"}},
        {{"59", "serial"}, 10, error("ID not found on network"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
        const ToolRun run = runLumabar(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.frames, c.frames);
    }
}

TEST(LumabarDispatch, PresenceLineOnStandardError) {
    EXPECT_EQ(runLumabar({"5", "serial"}).err, "status: 0\n");
    EXPECT_EQ(runLumabar({"9", "serial"}).err, "status: -44087\n");
    EXPECT_EQ(runLumabar({"5", "id", "12"}).err, "status: 0\nstatus: -44087\n");
}

TEST(LumabarDispatch, IdChangeSendsTheFrameToTheOldIdAndScans) {
    const ToolRun run = runLumabar({"5", "id", "12", "8"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "{\"scan\":[5,7]}\n");  // the scripted device keeps its ID
    ASSERT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(run.frames[0].substr(0, 13), "08073405#050C");
}

}  // namespace

namespace {

TEST(LumabarTables, NineteenCodesAndFourteenWords) {
    EXPECT_EQ(lumabar::ERROR_MESSAGE.size(), 19u);
    EXPECT_EQ(lumabar::ERROR_MESSAGE.at(32),
              "Another Lumabar firmware update is running on this bus");
    EXPECT_EQ(lumabar::ERROR_MESSAGE.at(13), "No response from Lumabar");
    EXPECT_EQ(lumabar::ERROR_MESSAGE.at(25), "Further argument must be positive numerals");
    EXPECT_EQ(lumabar::MESSAGE_ID.size(), 14u);
    EXPECT_EQ(lumabar::MESSAGE_ID.at("reset"), 0x00000040u);
}

}  // namespace
