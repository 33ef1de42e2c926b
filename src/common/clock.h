// The one seam through which the tools and the simulated bus see time.
//
// Production code links clock_real.cpp (nanosleep on the real clock);
// unit tests link a virtual clock instead, so that waits cost nothing and
// can be counted.
#ifndef KELTO_COMMON_CLOCK_H
#define KELTO_COMMON_CLOCK_H

#include <cstdint>

namespace kelto {

// Sleeps `ms` milliseconds once; a sleep cut short by a signal is not
// resumed. ms <= 0 returns at once.
void sleepMs(int ms);

// Microseconds since the Unix epoch, on the clock that sleepMs advances.
int64_t nowUs();

}  // namespace kelto

#endif
