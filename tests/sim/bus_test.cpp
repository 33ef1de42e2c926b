// The bus state as files: persistence across processes, corrupt state,
// concurrent writers, file modes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

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
        // Every field the bus reads is checked where it is read.
        {"stored frame of 255 bytes", -1, kRingOffset + offsetof(FrameRec, len), {255}},
        {"stored frame of 9 bytes", -1, kRingOffset + offsetof(FrameRec, len), {9}},
        {"stored frame with a 32-bit identifier",
         -1,
         kRingOffset + offsetof(FrameRec, id) + 3,
         {0xFF}},
        {"stored frame before 1970", -1, kRingOffset + 7, {0x80}},
        {"device added near INT64_MIN", -1, kSlotOffset + offsetof(Device, addedUs) + 7, {0x80}},
        {"presence resuming in the far future",
         -1,
         kSlotOffset + offsetof(Device, presenceFromUs) + 7,
         {0x7F}},
        {"flash busy until before 1970",
         -1,
         kSlotOffset + offsetof(Device, busyUntilUs) + 7,
         {0xFF}},
        {"LED register out of range", -1, kSlotOffset + offsetof(Device, led) + 1, {16}},
        {"page address not on a page", -1, kSlotOffset + offsetof(Device, pageAddress), {0x10}},
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

// A state file cut short or replaced while a process has it open: the
// process reports the corrupt bus instead of dying of SIGBUS or sending the
// rest of its frames to a file nobody reads.
TEST_F(SimBusTest, StateTruncatedOrReplacedWhileInUseIsCorrupt) {
    enum Change { kTruncateToHeader, kTruncateToNothing, kRenameOver, kRemove };
    for (Change change : {kTruncateToHeader, kTruncateToNothing, kRenameOver, kRemove}) {
        SCOPED_TRACE(change);
        std::string err;
        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        add(kLumabar, 5);
        kelto::frc::forgetCanSession();
        ASSERT_EQ(send(0x08073805), 0);  // this process has the bus open and cached
        const std::string copy = dir_ + "/copy";
        ASSERT_EQ(std::system(("cp " + statePath(dir_) + " " + copy).c_str()), 0);
        if (change == kTruncateToHeader || change == kTruncateToNothing) {
            ASSERT_EQ(truncate(statePath(dir_).c_str(), change == kTruncateToHeader ? 64 : 0), 0);
        } else if (change == kRenameOver) {
            ASSERT_EQ(rename(copy.c_str(), statePath(dir_).c_str()), 0);
        } else {
            ASSERT_EQ(unlink(statePath(dir_).c_str()), 0);
        }
        ::testing::internal::CaptureStderr();
        advanceMs(60);
        EXPECT_EQ(receive(0x08072405).status, ERR_CANSessionMux_NotInitialized);
        EXPECT_EQ(send(0x08073805), ERR_CANSessionMux_NotInitialized);
        std::string out = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(out.find("is corrupt"), std::string::npos) << out;
        unlink(copy.c_str());
        kelto::frc::forgetCanSession();
        admin_ = openBus(dir_, &err);  // the admin's own file may be the replaced one
        ASSERT_TRUE(admin_) << err;
    }
}

// A state file of zeros (a first use interrupted by an older build) or of
// no bytes is a new, empty bus, not a corrupt one.
TEST_F(SimBusTest, BlankStateFileIsANewBus) {
    for (off_t size : {off_t{0}, off_t{64}, kStateFileBytes}) {
        SCOPED_TRACE(size);
        admin_.reset();
        kelto::frc::forgetCanSession();
        ASSERT_EQ(unlink(statePath(dir_).c_str()), 0);
        int fd = open(statePath(dir_).c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
        std::string err;
        admin_ = openBus(dir_, &err);
        ASSERT_TRUE(admin_) << err;
        add(kLumabar, 5);
        EXPECT_TRUE(present(kLumabar, 5));
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
    std::string err;
    ASSERT_TRUE(busClear(*admin_, &err)) << err;
    std::ostringstream text;
    ASSERT_TRUE(streamTrace(*admin_, text, &err)) << err;
    EXPECT_EQ(text.str(), "");
    EXPECT_FALSE(present(kLumabar, 5));
}

// --- the trace ----------------------------------------------------------

std::string traceText(Bus& bus) {
    std::ostringstream text;
    std::string err;
    EXPECT_TRUE(streamTrace(bus, text, &err)) << err;
    return text.str();
}

std::vector<int64_t> lineTimesUs(const std::string& text) {
    std::vector<int64_t> times;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        long long secs = 0, micros = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "(%lld.%6lld) sim ", &secs, &micros), 2) << line;
        times.push_back(secs * 1000000 + micros);
    }
    return times;
}

void writeFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// Two devices send presence frames with their own phases; a process handed
// the newer frame of one and then the older frame of the other writes the
// trace in time order all the same, over a few seconds of polling.
TEST_F(SimBusTest, TraceIsInTimeOrderWithTwoDevicesInterleaved) {
    add(kLumabar, 5);
    advanceMs(20);
    add(kLumabar, 9);
    int handed = 0;
    for (int ms = 0; ms < 3000; ms += 7) {
        advanceMs(7);
        handed += receive(0x08072409).status == 0;
        handed += receive(0x08072405).status == 0;
        if (ms % 210 == 0) send(0x08073805);
    }
    std::vector<int64_t> times = lineTimesUs(traceText(*admin_));
    EXPECT_GT(handed, 100);
    ASSERT_GT(times.size(), static_cast<size_t>(handed));
    for (size_t i = 1; i < times.size(); ++i)
        ASSERT_LE(times[i - 1], times[i]) << "line " << i + 1 << " goes back in time";
}

// A torn last line (a write that stopped part way, another hand) is cut off
// before the next line is written: no line is glued to a fragment.
TEST_F(SimBusTest, TornTraceLineIsCutBeforeTheNextLine) {
    const std::string whole = "(1700000000.000100) sim 08073805#\n";
    for (const std::string& torn : {std::string("(17000000"), std::string(300, 'x')}) {
        writeFile(tracePath(dir_), whole + torn);
        send(0x08073805, {1});
        EXPECT_EQ(traceText(*admin_), whole + "(1700000000.000100) sim 08073805#01\n");
    }
}

// A line that the file-size limit (or a full file system) cuts short is
// taken back, one warning goes to standard error, and the frame still counts.
TEST_F(SimBusTest, TraceLineThatCannotBeWrittenWholeIsTakenBack) {
    add(kLumabar, 5);
    // A trace longer than the state file's slots, so that the limit below
    // stops trace lines and not the device's changes.
    for (int i = 0; i < 400; ++i) send(0x08073805);
    const std::string before = traceText(*admin_);
    const std::string errPath = root_ + "/stderr";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = before.size() + 10;
        setrlimit(RLIMIT_FSIZE, &limit);
        kelto::frc::forgetCanSession();
        bool ok = send(0x08073805, {'a'}) == 0 && send(0x08073805, {'b'}) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(traceText(*admin_), before);
    std::ifstream errFile(errPath);
    std::string errText((std::istreambuf_iterator<char>(errFile)), {});
    EXPECT_NE(errText.find("cannot write the bus trace"), std::string::npos) << errText;
    EXPECT_EQ(std::count(errText.begin(), errText.end(), '\n'), 1)
        << "once per process: " << errText;
    EXPECT_EQ(device(kLumabar, 5).name[0], 'b') << "the frames were delivered";
    send(0x08073805);
    EXPECT_EQ(lineTimesUs(traceText(*admin_)).size(), lineTimesUs(before).size() + 1);
}

// A line that would take the trace past kTraceMaxBytes moves it to
// trace.log.1 first; clearing removes both.
TEST_F(SimBusTest, FullTraceIsRotatedToOneOlderFile) {
    writeFile(tracePath(dir_), "(1700000000.000100) sim 08073805#\n");
    ASSERT_EQ(truncate(tracePath(dir_).c_str(), kTraceMaxBytes - 10), 0);
    int fd = open(tracePath(dir_).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "\n", 1, kTraceMaxBytes - 11), 1);
    close(fd);
    send(0x08073805);
    struct stat st {};
    ASSERT_EQ(stat(oldTracePath(dir_).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kTraceMaxBytes - 10);
    {
        std::ifstream current(tracePath(dir_));
        std::string text((std::istreambuf_iterator<char>(current)), {});
        EXPECT_EQ(text, "(1700000000.000000) sim 08073805#\n");
    }
    std::string err;
    ASSERT_TRUE(clearTrace(*admin_, &err)) << err;
    EXPECT_NE(stat(oldTracePath(dir_).c_str(), &st), 0);
    EXPECT_EQ(traceText(*admin_), "");
}

}  // namespace
TEST(TraceLine, Format) {
    struct Case {
        int64_t timeUs;
        uint32_t id;
        std::vector<uint8_t> data;
        const char* line;
    };
    const Case cases[] = {
        {1700000001000007, 0x1B070180, {}, "(1700000001.000007) sim 1B070180#\n"},
        {1700000001000007, 0x1B070180, {0xAB, 0x01}, "(1700000001.000007) sim 1B070180#AB01\n"},
        {0, 0x5, {0}, "(0.000000) sim 00000005#00\n"},
        {999999,
         0x1FFFFFFF,
         {0, 1, 2, 3, 4, 5, 0xFE, 0xFF},
         "(0.999999) sim 1FFFFFFF#000102030405FEFF\n"},
        {kMaxBusTimeUs, 0x08072405, {}, "(1152921504606.846976) sim 08072405#\n"},
    };
    for (const Case& c : cases) {
        FrameRec f{};
        f.timeUs = c.timeUs;
        f.id = c.id;
        f.len = static_cast<uint8_t>(c.data.size());
        std::copy(c.data.begin(), c.data.end(), f.data);
        EXPECT_EQ(traceLine(f), c.line);
        char out[kTraceLineMax];
        EXPECT_EQ(std::string(out, formatTraceLine(f, out)), c.line);
    }
}

}  // namespace kelto::sim::testing
