// The bootloader link's frames, byte for byte, and its reads of the reply.
#include <string>

#include "boot_fixture.h"
#include "boot_link.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

using BootLink = BootTest;

struct CommandCase {
    void (*send)(long);
    long address;
    Bytes bytes;
};

TEST_F(BootLink, PageCommandsCarryAddressLengthAndCode) {
    const std::vector<CommandCase> cases = {
        {kelto::Write_page, 0x1FC0, {0xC0, 0x1F, 0x00, 0x40, 0x0D, 0, 0, 0}},
        {kelto::Load_address, 0x0000, {0x00, 0x00, 0x00, 0x40, 0x0B, 0, 0, 0}},
        {kelto::Unlock_page, 0x123440, {0x40, 0x34, 0x12, 0x40, 0x0A, 0, 0, 0}},
        {kelto::Erase_page, 0x7654FFC0, {0xC0, 0xFF, 0x54, 0x40, 0x0E, 0, 0, 0}},
    };
    for (const CommandCase& c : cases) c.send(c.address);
    const auto& sent = fakeCanSent();
    ASSERT_EQ(cases.size(), sent.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(COMMAND_ID, sent[i].id);
        EXPECT_EQ(cases[i].bytes, sent[i].data) << "command " << i;
    }
}

TEST_F(BootLink, DataFramesAndToolHighHalf) {
    uint8_t page[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kelto::Send_data(page);
    kelto::ToolProfile motor = profile;
    motor.bootHighHalf = 0x1a07;
    kelto::setTool(motor);
    kelto::Write_page(0x40);
    const auto& sent = fakeCanSent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(DATA_ID, sent[0].id);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), sent[0].data);
    EXPECT_EQ(0x1A070042u, sent[1].id);
}

TEST_F(BootLink, RunAppRepeatsThePreviousFrameWithItsOwnCode) {
    kelto::Run_app(kelto::commandPayload(0x1FC0, kelto::CMD_WRITE_PAGE));
    EXPECT_EQ(COMMAND_ID, fakeCanSent().back().id);
    EXPECT_EQ(Bytes({0xC0, 0x1F, 0x00, 0x40, 0x11, 0, 0, 0}), fakeCanSent().back().data);

    const kelto::Payload entry = kelto::Enter_Boot(0x1B070185);
    kelto::Run_app(entry);
    const auto& sent = fakeCanSent();
    ASSERT_EQ(3u, sent.size());
    Bytes expected = sent[1].data;  // the entry payload
    EXPECT_EQ(expected, Bytes(entry.begin(), entry.end()));
    expected[4] = 0x11;
    EXPECT_EQ(COMMAND_ID, sent[2].id);
    EXPECT_EQ(expected, sent[2].data);
}

// The filler is the unseeded generator's sequence, so every run sends the
// same payloads; the eight bytes sum to 0x46.
TEST_F(BootLink, EntryPayloadFollowsTheSumRuleWithoutSeeding) {
    kelto::Enter_Boot(0x1B070185);
    kelto::Enter_Boot(0x1B070187);
    const auto& sent = fakeCanSent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0x1B070185u, sent[0].id);
    EXPECT_EQ(0x1B070187u, sent[1].id);
    const auto expected = expectedEntryPayloads(2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(expected[i], sent[i].data);
        unsigned sum = 0;
        for (uint8_t b : sent[i].data) sum += b;
        EXPECT_EQ(0x46u, sum % 256);
        for (int j = 0; j < 7; ++j) EXPECT_LT(sent[i].data[j], 255);
    }
    EXPECT_NE(sent[0].data, sent[1].data);
}

// A reply waiting before the entry frame is not the version line: it is a
// device already in its bootloader, named in one line; the frames are those
// of an update without it.
TEST_F(BootLink, EnterBootReportsOnlyAFreshReply) {
    const std::string already =
        "kelto: a device is already in its bootloader and will also take these pages\n";
    fakeCanArrive(kelto::nowUs() - 5000, REPLY_ID, {9, 9, 9, 9, 9, 9, 9, 9});
    CaptureStderr();
    kelto::Enter_Boot(0x1B070185);
    EXPECT_EQ(already, GetCapturedStderr());

    fakeCanArrive(kelto::nowUs() - 5000, REPLY_ID, {9, 9, 9, 9, 9, 9, 9, 9});
    answerEntryFrames({1, 2, 3, 4, 5, 6, 0, 0});
    CaptureStderr();
    kelto::Enter_Boot(0x1B070185);
    EXPECT_EQ(already + "\nb1.2 f3.4 h5.6", GetCapturedStderr());

    CaptureStderr();  // nothing waiting: no such line
    kelto::Enter_Boot(0x1B070185);
    EXPECT_EQ("\nb1.2 f3.4 h5.6", GetCapturedStderr());

    const auto& sent = fakeCanSent();
    ASSERT_EQ(3u, sent.size());
    const auto payloads = expectedEntryPayloads(3);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(0x1B070185u, sent[i].id);
        EXPECT_EQ(payloads[i], sent[i].data);
    }
    EXPECT_EQ(std::vector<int>({20, 20, 20}), virtualSleeps());
}

TEST_F(BootLink, EnterBootWithoutReplyWritesNothingAfterTwentyMs) {
    CaptureStderr();
    kelto::Enter_Boot(0x1B070185);
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(std::vector<int>({20}), virtualSleeps());
    EXPECT_EQ(2, fakeCanReceiveCalls(REPLY_ID));
    EXPECT_EQ(1u, fakeCanSent().size());
}

TEST_F(BootLink, VersionLineFormatting) {
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{1, 2, 3, 4, 5, 6}, "\nb1.2 f3.4 h5.6"},
        {{10, 255, 0, 7, 100, 1, 9, 9}, "\nb10.255 f0.7 h100.1"},
        {{255, 255, 255, 255, 255, 255}, "\nb255.255 f255.255 h255.255"},
        {{1, 2}, "\nb1.2 f0.0 h0.0"},  // a short reply: missing bytes read as 0
    };
    for (const auto& [reply, line] : cases) {
        fakeCanOnSend([reply = reply](const FakeFrame& f) {
            fakeCanArrive(f.timeUs + 1000, REPLY_ID, reply);
        });
        CaptureStderr();
        kelto::Enter_Boot(0x1B070185);
        EXPECT_EQ(line, GetCapturedStderr());
    }
}

// One spinner character per three turns, "\r" before each; the first reply
// ends the search.
TEST_F(BootLink, RecoverySpinsUntilTheFirstReply) {
    const struct {
        int answeredTurn;  // 0-based turn whose entry frame is answered
        std::string spinner;
    } cases[] = {
        {0, "\r|"},
        {13, "\r|\r|\r|\r/\r/\r/\r-\r-\r-\r\\\r\\\r\\\r|\r|"},
    };
    for (const auto& c : cases) {
        fakeCanReset();
        virtualClockReset();
        std::srand(1);
        int turn = 0;
        const int answered = c.answeredTurn;
        fakeCanOnSend([&turn, answered](const FakeFrame& f) {
            if (turn++ == answered) fakeCanArrive(f.timeUs + 3000, REPLY_ID, {2, 0, 1, 5, 1, 1});
        });
        CaptureStderr();
        kelto::Recovery();
        EXPECT_EQ(c.spinner + "\nb2.0 f1.5 h1.1", GetCapturedStderr());
        const auto& sent = fakeCanSent();
        ASSERT_EQ(static_cast<size_t>(answered + 1), sent.size());
        const auto payloads = expectedEntryPayloads(answered + 1);
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(ENTER_ID, sent[i].id);
            EXPECT_EQ(payloads[i], sent[i].data) << "turn " << i;
        }
        EXPECT_EQ(std::vector<int>(answered + 1, 20), virtualSleeps());
    }
}

TEST_F(BootLink, RecoveryIgnoresAReplyFromBefore) {
    fakeCanArrive(kelto::nowUs() - 1000, REPLY_ID, {7, 7, 7, 7, 7, 7});
    int turn = 0;
    fakeCanOnSend([&turn](const FakeFrame& f) {
        if (turn++ == 1) fakeCanArrive(f.timeUs + 3000, REPLY_ID, {1, 1, 1, 1, 1, 1});
    });
    CaptureStderr();
    kelto::Recovery();
    EXPECT_EQ("\r|\r|\nb1.1 f1.1 h1.1", GetCapturedStderr());
}

}  // namespace
