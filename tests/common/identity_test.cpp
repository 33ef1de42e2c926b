// Name, serial and versions: frames, pauses, decoding and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity.h"
#include "scripted_bus.h"
#include "lumabar_tables.h"

namespace {

constexpr uint32_t NAME = 0x08073805;
constexpr uint32_t SERIAL = 0x08074405;
constexpr uint32_t VERSIONS = 0x08073005;

TEST(GetName, PausesThenQueriesAndPrintsTheName) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.answer(NAME, {'F', 'r', 'o', 'n', 't', 0, 0, 0});
    const Captured r = capture([] { return kelto::getName(NAME); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"name\":\"Front\"}\n");
    ASSERT_EQ(bus.sentOn().size(), 1u);
    EXPECT_EQ(frameText(bus.sentOn()[0]), "08073805#");
    EXPECT_EQ(virtualSleeps().front(), 100) << "the name read starts with its 100 ms pause";
    EXPECT_EQ(bus.sentOn()[0].timeUs - 1700000000000000, 100000);
}

TEST(GetText, DecodesPayloadsUpToTheFirstZeroByte) {
    struct Case {
        std::vector<uint8_t> reply;
        std::string out;
    };
    const Case cases[] = {
        {{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}, "{\"serial\":\"ABCDEFGH\"}\n"},
        {{0, 'x', 'y', 0, 0, 0, 0, 0}, "{\"serial\":\"\"}\n"},
        {{'a', 'b', 0, 'c', 0, 0, 0, 0}, "{\"serial\":\"ab\"}\n"},
        {{'"', '\\', 0, 0, 0, 0, 0, 0}, "{\"serial\":\"\\\"\\\\\"}\n"},
        {{'L', 'B'}, "{\"serial\":\"LB\"}\n"},  // short reply reads as zeros
        {{0xC3, 0x28, 'o', 'k', 0, 0, 0, 0}, "{\"serial\":\"\xEF\xBF\xBD(ok\"}\n"},  // bad UTF-8
        {{0xE2, 0x82, 0xAC, 0, 0, 0, 0, 0}, "{\"serial\":\"\xE2\x82\xAC\"}\n"},
    };
    for (const Case& c : cases) {
        ScriptedBus bus(lumabar::PROFILE);
        bus.answer(SERIAL, c.reply);
        EXPECT_EQ(capture([] { return kelto::getSerial(SERIAL); }).out, c.out);
    }
}

TEST(GetText, NoReplyReportsThisToolsDevice) {
    ScriptedBus bus(lumabar::PROFILE);
    for (auto read : {kelto::getName, kelto::getSerial, kelto::getVersions}) {
        fakeCanReset();
        const Captured r = capture([&] { return read(0x08073807); });
        EXPECT_EQ(r.status, 13);
        EXPECT_EQ(r.out, "{\"error\":\"No response from Lumabar\"}\n");
        EXPECT_EQ(fakeCanReceiveCalls(), 100);
    }
}

TEST(GetVersions, FormatsEachPairMajorFirst) {
    struct Case {
        std::vector<uint8_t> reply;
        std::string out;
    };
    const Case cases[] = {
        {{2, 3, 1, 1, 1, 0, 9, 9},
         "{\"bootloader\":\"1.0\",\"firmware\":\"2.3\",\"hardware\":\"1.1\"}\n"},
        {{255, 255, 0, 0, 1, 10, 0, 0},
         "{\"bootloader\":\"1.10\",\"firmware\":\"255.255\",\"hardware\":\"0.0\"}\n"},
    };
    for (const Case& c : cases) {
        ScriptedBus bus(lumabar::PROFILE);
        bus.answer(VERSIONS, c.reply);
        EXPECT_EQ(capture([] { return kelto::getVersions(VERSIONS); }).out, c.out);
    }
}

TEST(SetName, JoinsWordsAndPadsTheFrame) {
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string frame;  // empty: nothing sent
    };
    const Case cases[] = {
        {{"ab", "cd"}, 0, "08073805#6162206364000000"},
        {{"ABCDEFGH"}, 0, "08073805#4142434445464748"},
        {{""}, 0, "08073805#0000000000000000"},
        {{"a b", "c"}, 0, "08073805#6120622063000000"},
        {{"abcd", "efgh"}, 31, ""},
        {{"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"}, 31, ""},  // 9 bytes in 3 characters
        {{"\xE2\x82\xAC", "ab"}, 0, "08073805#E282AC2061620000"},
    };
    for (const Case& c : cases) {
        ScriptedBus bus(lumabar::PROFILE);
        std::vector<char*> argv = {const_cast<char*>("kelto_lumabar"), const_cast<char*>("5"),
                                   const_cast<char*>("name")};
        for (const std::string& w : c.words) argv.push_back(const_cast<char*>(w.c_str()));
        const Captured r = capture(
            [&] { return kelto::setName(NAME, static_cast<int>(argv.size()), argv.data()); });
        EXPECT_EQ(r.status, c.status);
        if (c.frame.empty()) {
            EXPECT_TRUE(bus.sentOn().empty());
            EXPECT_EQ(r.out, "{\"error\":\"New name longer than eight characters\"}\n");
        } else {
            ASSERT_EQ(bus.sentOn().size(), 1u);
            EXPECT_EQ(frameText(bus.sentOn()[0]), c.frame);
            EXPECT_EQ(r.out, "");
        }
    }
}

}  // namespace
