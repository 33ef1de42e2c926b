#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "clock.h"
#include "sched_attr.h"

namespace kelto {

namespace {

// The last stretch of every wait is spent polling the clock: the kernel's
// wake-up comes 50 to 150 us late, which over the hundreds of 10 ms pauses
// of a firmware transfer would add up to several percent.
constexpr int64_t SPIN_NS = 200000;

// Time slice asked of the scheduler (the kernel's lower bound).
constexpr uint64_t SHORT_SLICE_NS = 100000;

// Asked once per process, before its first wait: on a fair-share
// scheduler that takes a time slice per task (EEVDF, Linux 6.12 on), the
// shortest slice, so that a waking tool preempts a busy task at once
// instead of at the end of that task's slice: on a loaded machine that
// turns pauses of 12 ms back into pauses of 10 ms. The nice value and the
// policy stay as they are; a kernel without the call, or another policy (a
// real-time one set with chrt), is left alone. (Timer slack is left as it
// is: the spin at the end of each wait already absorbs it.)
void askForShortSlice() {
#if defined(SYS_sched_getattr) && defined(SYS_sched_setattr)
    SchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.policy != SCHED_OTHER)
        return;
    attr.size = sizeof attr;
    attr.runtime = SHORT_SLICE_NS;
    syscall(SYS_sched_setattr, 0, &attr, 0);
#endif
}

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void sleepMs(int ms) {
    static const bool asked = (askForShortSlice(), true);
    (void)asked;
    if (ms <= 0) return;
    const int64_t total = static_cast<int64_t>(ms) * 1000000;
    const int64_t deadline = monotonicNs() + total;
    const int64_t coarse = total - SPIN_NS;
    timespec ts{static_cast<time_t>(coarse / 1000000000), static_cast<long>(coarse % 1000000000)};
    // A sleep cut short by a signal is not resumed.
    if (nanosleep(&ts, nullptr) != 0 && errno == EINTR) return;
    while (monotonicNs() < deadline) {
    }
}

int64_t nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace kelto
