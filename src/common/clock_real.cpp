#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

#include "clock.h"

namespace kelto {

void sleepMs(int ms) {
    if (ms <= 0) return;
    // The pauses pace a firmware transfer; the default 50 us timer slack
    // would add up over hundreds of them.
    static const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)slackSet;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

int64_t nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace kelto
