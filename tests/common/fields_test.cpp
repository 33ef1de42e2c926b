// get, set, blink and setID: frames, the 255 marker, and the closing scan.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "fields.h"
#include "scripted_bus.h"
#include "lumabar_tables.h"

namespace {

constexpr uint32_t BRAKE = 0x02071CC5;

TEST(Get, PrintsByteZeroUnderTheWordAsTyped) {
    struct Case {
        std::vector<uint8_t> reply;  // empty: no reply
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{0}, 0, "{\"Brake\":0}\n"},
        {{254, 9}, 0, "{\"Brake\":254}\n"},
        {{255}, 13, "{\"error\":\"No response from Lumabar\"}\n"},
        {{}, 13, "{\"error\":\"No response from Lumabar\"}\n"},
    };
    for (const Case& c : cases) {
        ScriptedBus bus(lumabar::PROFILE);
        if (!c.reply.empty()) bus.answer(BRAKE, c.reply);
        char field[] = "Brake";
        const Captured r = capture([&] { return kelto::get(BRAKE, field); });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        ASSERT_FALSE(bus.sentOn().empty());
        EXPECT_EQ(frameText(bus.sentOn()[0]), "02071CC5#");
    }
}

TEST(Set, SendsTheLowByteOfTheValue) {
    struct Case {
        const char* arg;
        std::string frame;  // empty: nothing sent
    };
    const Case cases[] = {
        {"1", "02071CC5#01"},          {"300", "02071CC5#2C"}, {"256", "02071CC5#00"},
        {"2147483647", "02071CC5#FF"}, {"2147483648", ""},     {"", ""},
        {"99999999999999999999", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg);
        ScriptedBus bus(lumabar::PROFILE);
        std::string arg = c.arg;
        const Captured r = capture([&] {
            kelto::set(BRAKE, arg.data());
            return 0;
        });
        EXPECT_EQ(r.out, "");
        if (c.frame.empty()) {
            EXPECT_TRUE(bus.sentOn().empty());
        } else {
            ASSERT_EQ(bus.sentOn().size(), 1u);
            EXPECT_EQ(frameText(bus.sentOn()[0]), c.frame);
        }
    }
}

TEST(Blink, PrintsSecondsAndReturnsTheSendStatus) {
    ScriptedBus bus(lumabar::PROFILE);
    Captured r = capture([] { return kelto::blink(0x08074005, 0); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"blink\":0}\n");
    EXPECT_EQ(frameText(bus.sentOn()[0]), "08074005#00");
    fakeCanSetSendStatus(-44086);
    r = capture([] { return kelto::blink(0x08074005, 255); });
    EXPECT_EQ(r.status, -44086);
    EXPECT_EQ(r.out, "{\"blink\":255}\n") << "printed whatever the send status";
}

TEST(SetID, SendsTheChangeFrameThenScans) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(12);
    const Captured r = capture([] { return kelto::setID(0x08073405, 5, 12); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"scan\":[12]}\n");
    const std::vector<FakeFrame> sent = bus.sentOn();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t>& d = sent[0].data;
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(sent[0].id, 0x08073405u);
    EXPECT_EQ(d[0], 5);
    EXPECT_EQ(d[1], 12);
    for (int i = 2; i < 7; ++i) EXPECT_LT(d[i], 255);
    EXPECT_EQ(std::accumulate(d.begin(), d.end(), 0) % 256, 0x46);
    EXPECT_EQ(virtualSleeps(), (std::vector<int>{200, 200}));
}

TEST(SetID, EqualIdsOnlyScan) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(5);
    const Captured r = capture([] { return kelto::setID(0x08073405, 5, 5); });
    EXPECT_EQ(r.out, "{\"scan\":[5]}\n");
    EXPECT_TRUE(bus.sentOn().empty());
    EXPECT_EQ(virtualSleeps(), std::vector<int>{200});
}

// The generator is seeded with the time in whole seconds: two runs in one
// second draw the same filler, a run in the next second another.
TEST(SetID, FillerFollowsTheSecondOfTheRun) {
    ScriptedBus bus(lumabar::PROFILE);
    virtualClockAdvanceUs(1000000 - kelto::nowUs() % 1000000);  // the start of a second
    capture([] { return kelto::setID(0x08073405, 5, 12); });    // 200 ms and a scan later
    capture([] { return kelto::setID(0x08073405, 5, 12); });    // still in that second
    virtualClockAdvanceUs(1000000);
    capture([] { return kelto::setID(0x08073405, 5, 12); });
    const auto sent = bus.sentOn(0x08073405);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].timeUs / 1000000, sent[1].timeUs / 1000000);
    EXPECT_EQ(sent[0].data, sent[1].data);
    EXPECT_NE(sent[0].data, sent[2].data);
}

}  // namespace
