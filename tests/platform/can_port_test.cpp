// The CAN port's own update lock, for a CAN library without a lock call
// (the controller's): this program links none, only the two entry points.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CANSessionMux.h"
#include "can_port.h"
#include "can_port_internal.h"

// The controller library's two calls, as this test needs them: no bus.
extern "C" void FRC_NetworkCommunication_CANSessionMux_sendMessage(uint32_t, const uint8_t*,
                                                                   uint8_t, int32_t,
                                                                   int32_t* status) {
    *status = ERR_CANSessionMux_NotInitialized;
}
extern "C" void FRC_NetworkCommunication_CANSessionMux_receiveMessage(uint32_t*, uint32_t, uint8_t*,
                                                                      uint8_t*, uint32_t*,
                                                                      int32_t* status) {
    *status = ERR_CANSessionMux_NotInitialized;
}

namespace {

using kelto::UpdateLockStatus;

class PortLock : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelto-port-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0); }

    // A child process that takes the lock at `path` and waits to be killed;
    // the child's pid once it holds the lock.
    static pid_t holder(const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0) return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            std::string err;
            const char held = kelto::lockUpdateFile(path, &err) == UpdateLockStatus::kHeld;
            if (write(ready[1], &held, 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char held = 0;
        const bool ok = read(ready[0], &held, 1) == 1 && held == 1;
        close(ready[0]);
        return ok ? pid : -1;
    }

    std::string root_;
};

TEST_F(PortLock, OtherHolderMakesItBusyUntilKilled) {
    const std::string path = root_ + "/kelto-update-1b07.lock";
    const pid_t pid = holder(path);
    ASSERT_GT(pid, 0);
    std::string err;
    EXPECT_EQ(UpdateLockStatus::kBusy, kelto::lockUpdateFile(path, &err));
    ASSERT_EQ(0, kill(pid, SIGKILL));
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    EXPECT_EQ(UpdateLockStatus::kHeld, kelto::lockUpdateFile(path, &err));
    EXPECT_EQ(UpdateLockStatus::kHeld, kelto::lockUpdateFile(path, &err));  // already ours
    EXPECT_EQ(UpdateLockStatus::kHeld,
              kelto::lockUpdateFile(root_ + "/kelto-update-1a07.lock", &err));  // other kind
}

TEST_F(PortLock, FileThatCannotBeOpenedIsUnavailableWithItsReason) {
    std::string err;
    const std::string path = root_ + "/missing/kelto-update-1b07.lock";
    EXPECT_EQ(UpdateLockStatus::kUnavailable, kelto::lockUpdateFile(path, &err));
    EXPECT_NE(std::string::npos, err.find(path)) << err;
    // a symbolic link is not followed
    ASSERT_EQ(0, symlink((root_ + "/target").c_str(), (root_ + "/link.lock").c_str()));
    EXPECT_EQ(UpdateLockStatus::kUnavailable, kelto::lockUpdateFile(root_ + "/link.lock", &err));
}

// Without the library's lock call, canLockUpdates uses the port's own file
// in /run/lock (or /tmp). An otherwise unused kind keeps the test apart
// from real updates.
TEST_F(PortLock, LibraryWithoutLockCallFallsBackToTheMachineWideFile) {
    const uint16_t kind = static_cast<uint16_t>(0x8000 | (getpid() & 0x7fff));
    char name[40];
    std::snprintf(name, sizeof name, "kelto-update-%04x.lock", kind);
    ASSERT_EQ(UpdateLockStatus::kHeld, kelto::canLockUpdates(kind));
    std::string path = std::string("/run/lock/") + name;
    if (access(path.c_str(), F_OK) != 0) path = std::string("/tmp/") + name;
    ASSERT_EQ(0, access(path.c_str(), F_OK)) << path;
    const pid_t pid = fork();
    if (pid == 0) {  // another process of this machine, with a descriptor of its own
        const int fd = open(path.c_str(), O_RDONLY);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::remove(path.c_str());
}

}  // namespace
