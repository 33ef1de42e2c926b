// The bus state as files: persistence across processes, corrupt state,
// concurrent writers, file modes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "sim_fixture.h"

namespace kelto::sim::testing {
namespace {

using Bytes = std::vector<uint8_t>;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

TEST_F(SimBusTest, DevicesAndTheirChangesPersistAcrossProcesses) {
    add(kLumabar, 5);
    send(0x08073805, {'k', 'e', 'p', 't'});
    send(0x08070000 | 5, {0, 1, 2, 3});
    kelto::frc::forgetCanSession();  // a new process
    std::string err;
    auto other = openBus(dir_, &err);
    ASSERT_TRUE(other) << err;
    BusImage image;
    ASSERT_TRUE(busRead(*other, &image, &err)) << err;
    const Device& d = image.slots[findDevice(image, kLumabar, 5)];
    EXPECT_EQ(Bytes(d.name, d.name + 8), (Bytes{'k', 'e', 'p', 't', 0, 0, 0, 0}));
    EXPECT_EQ(d.led.rgb[2], 3);
    send(0x08073805);
    advanceMs(1);
    EXPECT_EQ(receive(0x08073805).data, (Bytes{'k', 'e', 'p', 't', 0, 0, 0, 0}));
}

TEST_F(SimBusTest, ANewProcessIsNotHandedRepliesFromBeforeItsFirstCall) {
    add(kLumabar, 5);
    send(0x08073805);
    advanceMs(5);
    kelto::frc::forgetCanSession();
    EXPECT_EQ(receive(0x08073805).status, ERR_CANSessionMux_MessageNotFound);
}

TEST_F(SimBusTest, ANewProcessSeesAChangeMadeByAnother) {
    add(kLumabar, 5);
    send(0x08073805);  // this process has the state cached now
    set(kLumabar, 5, {"name=Changed", "latency_ms=0"});
    send(0x08073805);
    EXPECT_EQ(receive(0x08073805).data, (Bytes{'C', 'h', 'a', 'n', 'g', 'e', 'd', 0}));
}

// Damage done to the state file, and what must come of it.
struct Damage {
    const char* what;
    off_t truncateTo;  // -1: keep the size
    off_t at;          // where `bytes` are written, -1: nowhere
    Bytes bytes;
};

TEST_F(SimBusTest, CorruptStateGivesAClearErrorOnceAndClearRecovers) {
    const Damage cases[] = {
        {"truncated to 100 bytes", 100, -1, {}},
        {"truncated to nothing but a header", 64, -1, {}},
        {"bad magic", -1, 0, {'X'}},
        {"unknown version", -1, 8, {9}},
        {"device kind out of range", -1, kSlotOffset + 1, {7}},
        {"period of zero", -1, kSlotOffset + offsetof(Device, periodMs), {0, 0, 0, 0}},
        {"slot count out of range", -1, offsetof(StateHeader, slotCount), {0xFF, 0xFF}},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        add(kLumabar, 5);
        kelto::frc::forgetCanSession();
        int fd = open(statePath(dir_).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        if (c.truncateTo >= 0) {
            ASSERT_EQ(ftruncate(fd, c.truncateTo), 0);
        }
        if (c.at >= 0) {
            ASSERT_EQ(pwrite(fd, c.bytes.data(), c.bytes.size(), c.at),
                      static_cast<ssize_t>(c.bytes.size()));
        }
        close(fd);

        ::testing::internal::CaptureStderr();
        EXPECT_EQ(send(0x08073805), ERR_CANSessionMux_NotInitialized);
        EXPECT_EQ(receive(0x08072405).status, ERR_CANSessionMux_NotInitialized);
        std::string out = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(out.find("is corrupt"), std::string::npos) << out;
        EXPECT_NE(out.find("kelto_sim clear"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "one line per process: " << out;
        BusImage image;
        auto fresh = openBus(dir_, &err);
        ASSERT_TRUE(fresh) << err;
        EXPECT_FALSE(busRead(*fresh, &image, &err));
        EXPECT_NE(err.find("is corrupt"), std::string::npos) << err;

        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        ASSERT_TRUE(busRead(*admin_, &image, &err)) << err;
        EXPECT_EQ(findDevice(image, kLumabar, 5), -1);
        struct stat st {};
        ASSERT_EQ(stat(statePath(dir_).c_str(), &st), 0);
        EXPECT_GE(st.st_size, kStateFileBytes) << "clear restores the full size";
        EXPECT_EQ(send(0x08073805), 0) << "usable again";
    }
}

TEST_F(SimBusTest, ConcurrentWritersLoseNoUpdate) {
    constexpr int kWriters = 4;
    constexpr int kRounds = 40;
    add(kTorvexc, 1);
    for (int w = 0; w < kWriters; ++w) add(kLumabar, 10 + w);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string err;
            auto bus = openBus(dir_, &err);
            bool ok = bus != nullptr;
            for (int i = 0; i < kRounds && ok; ++i) {
                // A read-modify-write of one shared counter ...
                ok = busEdit(
                    *bus,
                    [](BusImage& image, std::string*) {
                        ++image.slots[findDevice(image, kTorvexc, 1)].latencyMs;
                        return true;
                    },
                    &err);
                // ... and frames that change this writer's own device.
                uint8_t reg[5] = {static_cast<uint8_t>(i % 16), static_cast<uint8_t>(i), 0, 0, 0};
                int32_t status = 1;
                FRC_NetworkCommunication_CANSessionMux_sendMessage(0x08070180 | (10 + w), reg, 5, 0,
                                                                   &status);
                ok = ok && status == 0;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(device(kTorvexc, 1).latencyMs, 1u + kWriters * kRounds);
    for (int w = 0; w < kWriters; ++w) {
        Device d = device(kLumabar, 10 + w);
        for (int r = 0; r < 16; ++r) {
            int lastRound = r + 16 * ((kRounds - 1 - r) / 16);  // last i with i % 16 == r
            EXPECT_EQ(d.led.registers[r][0], lastRound) << "writer " << w << " register " << r;
        }
    }
}

TEST_F(SimBusTest, FilesAreCreatedPrivate) {
    add(kLumabar, 5);
    send(0x08073805);
    EXPECT_EQ(modeOf(dir_), 0700u);
    EXPECT_EQ(modeOf(statePath(dir_)), 0600u);
    EXPECT_EQ(modeOf(tracePath(dir_)), 0600u);
}

TEST_F(SimBusTest, ClearEmptiesTheBusAndItsTrace) {
    add(kLumabar, 5);
    send(0x08073805);
    std::string err, text;
    ASSERT_TRUE(busClear(*admin_, &err)) << err;
    ASSERT_TRUE(readTrace(*admin_, &text, &err)) << err;
    EXPECT_EQ(text, "");
    EXPECT_FALSE(present(kLumabar, 5));
}

}  // namespace
TEST(TraceLine, Format) {
    kelto::sim::FrameRec f{};
    f.timeUs = 1700000001000007;
    f.id = 0x1B070180;
    EXPECT_EQ(kelto::sim::traceLine(f), "(1700000001.000007) sim 1B070180#\n");
    f.len = 2;
    f.data[0] = 0xAB;
    f.data[1] = 0x01;
    EXPECT_EQ(kelto::sim::traceLine(f), "(1700000001.000007) sim 1B070180#AB01\n");
}

}  // namespace kelto::sim::testing
