// The real clock: waits are never shorter than asked, a signal ends one,
// and the first wait asks for a short time slice without changing the policy
// or the nice value. Every check of the wake-up request runs in a fresh
// child, whose first wait is its first call of the clock.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>

#include "clock.h"
#include "sched_attr.h"

namespace {

// What a child saw of itself before and after its first wait.
struct Seen {
    bool skipped = false;  // the child could not set up what the test needs
    int niceBefore = 0, niceAfter = 0;
    int policyAfter = -1;
    int priorityAfter = -1;
    uint64_t sliceBefore = 0, sliceAfter = 0;
};

uint64_t sliceNs() {
    kelto::SchedAttr attr{};
    return syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0 ? attr.runtime : 0;
}

// Runs `setUp` (false: skip), the first wait, and reports.
Seen firstWaitInChild(const std::function<bool()>& setUp) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        Seen s;
        s.skipped = !setUp();
        s.niceBefore = getpriority(PRIO_PROCESS, 0);
        s.sliceBefore = sliceNs();
        kelto::sleepMs(0);
        s.niceAfter = getpriority(PRIO_PROCESS, 0);
        s.policyAfter = sched_getscheduler(0);
        sched_param param{};
        sched_getparam(0, &param);
        s.priorityAfter = param.sched_priority;
        s.sliceAfter = sliceNs();
        _exit(write(fds[1], &s, sizeof s) == sizeof s ? 0 : 1);
    }
    close(fds[1]);
    Seen s;
    EXPECT_EQ(read(fds[0], &s, sizeof s), static_cast<ssize_t>(sizeof s));
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return s;
}

TEST(ClockReal, FirstWaitAsksForAShortSliceAndKeepsTheNiceValue) {
    const Seen s = firstWaitInChild([] { return nice(3) != -1; });
    ASSERT_FALSE(s.skipped);
    EXPECT_EQ(s.niceAfter, s.niceBefore);
    EXPECT_EQ(s.policyAfter, SCHED_OTHER);
    // A kernel that keeps a time slice per task reports it (non-zero).
    if (s.sliceBefore != 0) {
        EXPECT_EQ(s.sliceAfter, 100000u);
    }
}

TEST(ClockReal, RealTimePolicyIsLeftAlone) {
    const Seen s = firstWaitInChild([] {
        sched_param param{};
        param.sched_priority = 1;
        return sched_setscheduler(0, SCHED_RR, &param) == 0;
    });
    if (s.skipped) GTEST_SKIP() << "no permission for a real-time policy here";
    EXPECT_EQ(s.policyAfter, SCHED_RR);
    EXPECT_EQ(s.priorityAfter, 1);
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(ClockReal, WaitsAreNeverShorterThanAsked) {
    for (int ms : {1, 10, 20}) {
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            kelto::sleepMs(ms);
            EXPECT_GE(msSince(start), ms);
        }
    }
}

void onAlarm(int) {}

TEST(ClockReal, ASignalEndsTheWaitWithoutResumingIt) {
    struct sigaction action {};
    action.sa_handler = onAlarm;  // no SA_RESTART
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto start = std::chrono::steady_clock::now();
    kelto::sleepMs(2000);
    EXPECT_LT(msSince(start), 1000.0);
    sigaction(SIGALRM, &before, nullptr);
}

}  // namespace
