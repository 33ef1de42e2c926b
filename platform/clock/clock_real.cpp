#include <cerrno>
#include <ctime>

#include "clock.h"

namespace kelto {

namespace {

// The last stretch of every wait is spent polling the clock: the kernel's
// wake-up comes 50 to 150 us late, which over the hundreds of 10 ms pauses
// of a firmware transfer would add up to several percent.
constexpr int64_t SPIN_NS = 200000;

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void sleepMs(int ms) {
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
