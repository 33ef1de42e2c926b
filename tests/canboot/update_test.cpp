// The whole firmware command on the fake bus: frame order and bytes, every
// pause, and what the two streams carry.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "CANSessionMux.h"
#include "boot_fixture.h"
#include "hex_text.h"
#include "update.h"
#include "update_lock.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

using Update = BootTest;

Bytes seededSlice(int seed, int from, int n) {
    Bytes b;
    for (int j = from; j < from + n; ++j) b.push_back(static_cast<uint8_t>(seed + j));
    return b;
}

struct Expected {
    uint32_t id;
    Bytes data;
    int gapMs;  // virtual time since the previous frame
};

Bytes command(uint32_t page, uint8_t code) {
    return {static_cast<uint8_t>(page),
            static_cast<uint8_t>(page >> 8),
            static_cast<uint8_t>(page >> 16),
            0x40,
            code,
            0,
            0,
            0};
}

// The twelve frames of one page; slotSeeds -1 means a slot the file left blank.
void appendPage(std::vector<Expected>& frames, uint32_t page, const int (&slotSeeds)[4],
                int gapMs) {
    frames.push_back({COMMAND_ID, command(page, 0x0B), gapMs});
    for (int k = 0; k < 4; ++k) {
        const Bytes blank(8, 0xFF);
        frames.push_back(
            {DATA_ID, slotSeeds[k] < 0 ? blank : seededSlice(slotSeeds[k], 0, 8), k == 0 ? 0 : 10});
        frames.push_back({DATA_ID, slotSeeds[k] < 0 ? blank : seededSlice(slotSeeds[k], 8, 8), 0});
    }
    frames.push_back({COMMAND_ID, command(page, 0x0A), 10});
    frames.push_back({COMMAND_ID, command(page, 0x0E), 10});
    frames.push_back({COMMAND_ID, command(page, 0x0D), 10});
}

void expectFrames(const std::vector<Expected>& want) {
    const auto& sent = fakeCanSent();
    ASSERT_EQ(want.size(), sent.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(want[i].id, sent[i].id) << "frame " << i;
        EXPECT_EQ(want[i].data, sent[i].data) << "frame " << i;
        const int64_t gapUs = i == 0 ? 0 : sent[i].timeUs - sent[i - 1].timeUs;
        EXPECT_EQ(want[i].gapMs * 1000, gapUs) << "frame " << i;
    }
}

// No frame sent, no receive made, no pause taken.
void expectBusUntouched() {
    EXPECT_TRUE(fakeCanSent().empty());
    EXPECT_EQ(0, fakeCanReceiveCalls());
    EXPECT_TRUE(virtualSleeps().empty());
}

std::vector<int> updateSleeps(int pages, std::vector<int> entry = {20}) {
    std::vector<int> sleeps = entry;
    sleeps.push_back(200);
    for (int i = 0; i < pages * 7; ++i) sleeps.push_back(10);
    sleeps.push_back(1000);
    return sleeps;
}

// Lines out of order in the file; the pages still go out in ascending
// address order, blank slots as 0xFF, Run_app carrying the last page.
TEST_F(Update, FullSequenceWithDeviceId) {
    const std::string path =
        writeImage("kelto_update_two.hex", rec(0x1FD0, 0x40) + "\n" + rec(0x0030, 0x13) + "\n" +
                                               rec(0x0000, 0x10) + "\n" + rec(0x0010, 0x11) + "\n" +
                                               rec(0x0020, 0x12) + "\n:00000001FF\n");
    answerEntryFrames({1, 2, 3, 4, 5, 6});
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(0, kelto::setFirmware(0x1B070185, path));
    EXPECT_EQ("Total pages: 2\n1\n2\n", GetCapturedStdout());
    EXPECT_EQ("\nb1.2 f3.4 h5.6\nEntered boot mode\n", GetCapturedStderr());

    std::vector<Expected> frames = {{0x1B070185, expectedEntryPayloads(1)[0], 0}};
    appendPage(frames, 0x0000, {0x10, 0x11, 0x12, 0x13}, 220);
    appendPage(frames, 0x1FC0, {-1, 0x40, -1, -1}, 10);
    frames.push_back({COMMAND_ID, {0xC0, 0x1F, 0x00, 0x40, 0x11, 0, 0, 0}, 1010});
    expectFrames(frames);
    EXPECT_EQ(updateSleeps(2), virtualSleeps());
    std::remove(path.c_str());
}

// Each progress line reaches stdout before the next page starts.
TEST_F(Update, ProgressLinesAreFlushedPageByPage) {
    std::string text;
    for (unsigned page = 0; page < 3; ++page) text += rec(page * 64, static_cast<int>(page)) + "\n";
    const std::string path = writeImage("kelto_update_three.hex", text);
    std::vector<off_t> stdoutSizeAtLoad;
    fakeCanOnSend([&](const FakeFrame& f) {
        if (f.id == COMMAND_ID && f.data[4] == 0x0B) {
            struct stat st {};
            fstat(STDOUT_FILENO, &st);
            stdoutSizeAtLoad.push_back(st.st_size);
        }
    });
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(0, kelto::setFirmware(0x1B070185, path));
    EXPECT_EQ("Total pages: 3\n1\n2\n3\n", GetCapturedStdout());
    GetCapturedStderr();
    const off_t total = std::string("Total pages: 3\n").size();
    EXPECT_EQ(std::vector<off_t>({total, total + 2, total + 4}), stdoutSizeAtLoad);
    std::remove(path.c_str());
}

TEST_F(Update, ZeroPageImageStillEntersAndRunsTheApplication) {
    const std::string path = writeImage("kelto_update_empty.hex", ":00000001FF\n");
    answerEntryFrames({1, 0, 1, 0, 1, 0});
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(0, kelto::setFirmware(0x1B070185, path));
    EXPECT_EQ("Total pages: 0\n", GetCapturedStdout());
    EXPECT_EQ("\nb1.0 f1.0 h1.0\nEntered boot mode\n", GetCapturedStderr());
    Bytes runApp = expectedEntryPayloads(1)[0];
    const Bytes entry = runApp;
    runApp[4] = 0x11;
    expectFrames({{0x1B070185, entry, 0}, {COMMAND_ID, runApp, 1220}});
    EXPECT_EQ(updateSleeps(0), virtualSleeps());
    std::remove(path.c_str());
}

// Also when the library cannot take the update lock (its bus is unusable,
// and it has said why): the update is not stopped by that.
TEST_F(Update, SilentDeviceStillGetsTheWholeImage) {
    const std::string path = writeImage("kelto_update_silent.hex", rec(0x40, 0x20) + "\n");
    for (int32_t lock : {KELTO_UPDATE_LOCK_HELD, ERR_CANSessionMux_NotInitialized}) {
        SCOPED_TRACE(lock);
        fakeCanReset();
        virtualClockReset();
        fakeCanSetLockStatus(lock);
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(0, kelto::setFirmware(0x1B070185, path));
        EXPECT_EQ("Total pages: 1\n1\n", GetCapturedStdout());
        EXPECT_EQ("\nEntered boot mode\n", GetCapturedStderr());
        EXPECT_EQ(1u + 12 + 1, fakeCanSent().size());
        EXPECT_EQ(updateSleeps(1), virtualSleeps());
    }
    std::remove(path.c_str());
}

TEST_F(Update, RecoveryFormSearchesWithDeviceZero) {
    const std::string path = writeImage("kelto_update_recovery.hex", rec(0x80, 0x20) + "\n");
    int turn = 0;
    fakeCanOnSend([&turn](const FakeFrame& f) {
        if (f.id == ENTER_ID && turn++ == 3)
            fakeCanArrive(f.timeUs + 2000, REPLY_ID, {1, 2, 3, 4, 5, 6});
    });
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(0, kelto::setFirmware(0, path));
    EXPECT_EQ("Total pages: 1\n1\n", GetCapturedStdout());
    EXPECT_EQ("\r|\r|\r|\r/\nb1.2 f3.4 h5.6\nEntered boot mode\n", GetCapturedStderr());
    const auto& sent = fakeCanSent();
    ASSERT_EQ(4u + 12 + 1, sent.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ENTER_ID, sent[i].id);
    EXPECT_EQ(command(0x80, 0x0B), sent[4].data);
    EXPECT_EQ(updateSleeps(1, {20, 20, 20, 20}), virtualSleeps());
    std::remove(path.c_str());
}

// A rejected file sends nothing, waits for nothing, and ends with status 26.
TEST_F(Update, RejectedFileSendsNoFrame) {
    const std::string bad = writeImage("kelto_update_bad.hex", rec(0, 1) + "\n:00000001FE\n");
    const struct {
        std::string path;
        std::string err;
    } cases[] = {
        {bad, "Error in hex file #2\n"},
        {"/nonexistent/kelto.hex", "Can not open the firmware hexfile: /nonexistent/kelto.hex\n"},
    };
    for (const auto& c : cases) {
        for (uint32_t id : {0x1B070185u, 0u}) {
            CaptureStdout();
            CaptureStderr();
            EXPECT_EQ(kelto::FIRMWARE_FILE_REJECTED, kelto::setFirmware(id, c.path));
            EXPECT_EQ(26, kelto::FIRMWARE_FILE_REJECTED);
            EXPECT_EQ("somethings up\n", GetCapturedStdout());
            EXPECT_EQ(c.err, GetCapturedStderr());
        }
    }
    expectBusUntouched();
    std::remove(bad.c_str());
}

// The update lock: asked for the tool's bootloader kind before anything is
// read or sent, by both forms; while another process holds it the command
// ends at once with 32 and its error document.
TEST_F(Update, TakesTheLockOfItsKindBeforeTheFirstFrame) {
    const std::string path = writeImage("kelto_update_lock.hex", rec(0x40, 0x20));
    for (uint16_t kind : {0x1b07, 0x1a07}) {
        for (uint32_t id : {0u, 5u}) {
            SCOPED_TRACE(kind);
            SCOPED_TRACE(id);
            fakeCanReset();
            profile.bootHighHalf = kind;
            const uint32_t enter = static_cast<uint32_t>(kind) << 16 | 0x0180;
            fakeCanOnSend([enter](const FakeFrame& f) {
                if ((f.id & ~0x3Fu) == enter)
                    fakeCanArrive(f.timeUs + 2000, enter - 0x80, {1, 2, 3, 4, 5, 6});
            });
            CaptureStdout();
            CaptureStderr();
            EXPECT_EQ(0, kelto::setFirmware(id == 0 ? 0 : enter | id, path));
            EXPECT_EQ("Total pages: 1\n1\n", GetCapturedStdout());
            GetCapturedStderr();
            ASSERT_EQ(1u, fakeCanLockCalls().size());
            EXPECT_EQ(kind, fakeCanLockCalls()[0].bootHighHalf);
            EXPECT_EQ(0u, fakeCanLockCalls()[0].framesSentBefore);
            EXPECT_EQ(enter | id, fakeCanSent().front().id);
        }
    }
    std::remove(path.c_str());
}

TEST_F(Update, SecondUpdateOfAKindEndsAtOnceWithNothingSent) {
    const kelto::ErrorTable texts = {
        {32, "Another Lumabar firmware update is running on this bus"}};
    profile.errorMessages = &texts;
    const std::string path = writeImage("kelto_update_busy.hex", rec(0x40, 0x20));
    // the file is not read either: a missing one gives the same answer
    for (const std::string& image : {path, std::string("/nonexistent/kelto.hex")}) {
        for (uint32_t id : {0x1B070185u, 0u}) {
            fakeCanSetLockStatus(KELTO_UPDATE_LOCK_BUSY);
            CaptureStdout();
            CaptureStderr();
            EXPECT_EQ(kelto::FIRMWARE_UPDATE_RUNNING, kelto::setFirmware(id, image));
            EXPECT_EQ(32, kelto::FIRMWARE_UPDATE_RUNNING);
            EXPECT_EQ("{\"error\":\"Another Lumabar firmware update is running on this bus\"}\n",
                      GetCapturedStdout());
            EXPECT_EQ("", GetCapturedStderr());
        }
    }
    expectBusUntouched();
    std::remove(path.c_str());
}

}  // namespace
