// send/receive on virtual time: how many platform calls and sleeps a
// receive makes, and what it hands back.
#include <gtest/gtest.h>

#include "CANSessionMux.h"
#include "can.h"
#include "fake_can.h"
#include "virtual_clock.h"

namespace {

class CanTest : public testing::Test {
  protected:
    void SetUp() override {
        virtualClockReset();
        fakeCanReset();
    }
};

struct AttemptCase {
    int timeout;
    int attempts;
};

TEST_F(CanTest, ReceiveWithoutFramePollsOncePerPeriodUntilTimeout) {
    const AttemptCase cases[] = {{1000, 100}, {10, 1}, {0, 1}, {-5, 1}, {15, 2}, {20, 2}, {21, 3}};
    for (const AttemptCase& c : cases) {
        SCOPED_TRACE(c.timeout);
        virtualClockReset();
        fakeCanReset();
        uint8_t data[8] = {0xAA};
        EXPECT_EQ(kelto::receive(0x08073805, data, c.timeout), ERR_CANSessionMux_MessageNotFound);
        EXPECT_EQ(fakeCanReceiveCalls(), c.attempts);
        EXPECT_EQ(virtualSleeps(), std::vector<int>(c.attempts, 10));
        EXPECT_EQ(data[0], 0xAA) << "a failed receive leaves the buffer alone";
    }
}

TEST_F(CanTest, WaitingFrameIsTakenByTheFirstAttemptAfterOnePeriod) {
    const int64_t start = kelto::nowUs();
    fakeCanArrive(start - 5000, 0x08073805, {1, 2, 3});
    uint8_t data[8] = {0};
    EXPECT_EQ(kelto::receive(0x08073805, data, 1000), 0);
    EXPECT_EQ(fakeCanReceiveCalls(), 1);
    EXPECT_EQ(virtualSleeps(), std::vector<int>{10});
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[2], 3);
}

TEST_F(CanTest, ReplyArrivingLaterEndsThePollAtTheNextAttempt) {
    fakeCanArrive(kelto::nowUs() + 235000, 0x02071CC5, {7});
    fakeCanArrive(kelto::nowUs() + 1000, 0x02071CC6, {9});  // other identifier: ignored
    uint8_t data[8] = {0xFF};
    EXPECT_EQ(kelto::receive(0x02071CC5, data, 1000), 0);
    EXPECT_EQ(fakeCanReceiveCalls(), 24);
    EXPECT_EQ(data[0], 7);
}

TEST_F(CanTest, SendPassesFrameAndStatusThrough) {
    const uint8_t payload[2] = {0x12, 0x34};
    EXPECT_EQ(kelto::send(0x08070145, payload, 2), 0);
    EXPECT_EQ(kelto::send(0x08073805, nullptr, 0), 0);
    fakeCanSetSendStatus(-44086);
    EXPECT_EQ(kelto::send(0x08070145, payload, 2), -44086);
    ASSERT_EQ(fakeCanSent().size(), 3u);
    EXPECT_EQ(fakeCanSent()[0].data, (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_TRUE(fakeCanSent()[1].data.empty());
    EXPECT_TRUE(virtualSleeps().empty()) << "send never waits";
}

}  // namespace
