// The simulated backend's update lock: one holder per bootloader kind and
// bus, across processes, released when the holder's session ends or the
// holder dies.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "can_backend.h"
#include "sim_fixture.h"
#include "update_lock.h"

namespace kelto::sim::testing {
namespace {

using kelto::frc::UpdateLock;
using UpdateLockTest = SimBusTest;

constexpr uint16_t LIGHTING = 0x1b07;
constexpr uint16_t MOTOR = 0x1a07;

std::unique_ptr<kelto::frc::CanBackend> otherProcessBus(const std::string& dir) {
    std::string err;
    auto bus = kelto::frc::openSimBackend(dir, kStartUs, &err);
    EXPECT_TRUE(bus) << err;
    return bus;
}

UpdateLock tryLock(kelto::frc::CanBackend& bus, uint16_t kind) {
    std::string err;
    const UpdateLock got = bus.lockUpdates(kind, &err);
    EXPECT_EQ(got == UpdateLock::kError, !err.empty()) << err;
    return got;
}

TEST_F(UpdateLockTest, OneHolderPerKindAndBus) {
    EXPECT_EQ(KELTO_UPDATE_LOCK_HELD, KELTO_CANSessionMux_lockUpdates(LIGHTING));
    EXPECT_EQ(KELTO_UPDATE_LOCK_HELD, KELTO_CANSessionMux_lockUpdates(LIGHTING));  // already ours
    auto other = otherProcessBus(dir_);
    EXPECT_EQ(UpdateLock::kBusy, tryLock(*other, LIGHTING));
    EXPECT_EQ(UpdateLock::kHeld, tryLock(*other, MOTOR));  // the other kind is free
    EXPECT_EQ(KELTO_UPDATE_LOCK_BUSY, KELTO_CANSessionMux_lockUpdates(MOTOR));
    auto elsewhere = otherProcessBus(root_ + "/another-bus");
    EXPECT_EQ(UpdateLock::kHeld, tryLock(*elsewhere, LIGHTING));  // another bus
    struct stat st {};
    ASSERT_EQ(0, stat((dir_ + "/update-1b07.lock").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);  // private like the bus state
}

TEST_F(UpdateLockTest, EndOfTheSessionReleasesIt) {
    ASSERT_EQ(KELTO_UPDATE_LOCK_HELD, KELTO_CANSessionMux_lockUpdates(LIGHTING));
    auto other = otherProcessBus(dir_);
    EXPECT_EQ(UpdateLock::kBusy, tryLock(*other, LIGHTING));
    kelto::frc::forgetCanSession();
    EXPECT_EQ(UpdateLock::kHeld, tryLock(*other, LIGHTING));
}

// The holder is killed outright; the kernel drops its lock.
TEST_F(UpdateLockTest, KilledHolderFreesIt) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        kelto::frc::forgetCanSession();
        const char held = KELTO_CANSessionMux_lockUpdates(LIGHTING) == KELTO_UPDATE_LOCK_HELD;
        if (write(ready[1], &held, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(1, read(ready[0], &held, 1));
    close(ready[0]);
    EXPECT_EQ(1, held);
    auto other = otherProcessBus(dir_);
    EXPECT_EQ(UpdateLock::kBusy, tryLock(*other, LIGHTING));
    ASSERT_EQ(0, kill(holder, SIGKILL));
    int status = 0;
    ASSERT_EQ(holder, waitpid(holder, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(UpdateLock::kHeld, tryLock(*other, LIGHTING));
}

TEST_F(UpdateLockTest, UnusableLockFileIsAnErrorWithItsReason) {
    ASSERT_EQ(0, mkdir((dir_ + "/update-1a07.lock").c_str(), 0700));
    auto bus = otherProcessBus(dir_);
    std::string err;
    EXPECT_EQ(UpdateLock::kError, bus->lockUpdates(MOTOR, &err));
    EXPECT_NE(std::string::npos, err.find(dir_ + "/update-1a07.lock")) << err;
}

}  // namespace
}  // namespace kelto::sim::testing
