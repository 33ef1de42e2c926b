// The one seam through which the tools and the simulated bus see time.
//
// Programs link clock_real.cpp; unit tests link a virtual clock instead
// (tests/support), so that waits cost nothing and can be counted.
//
//   int64_t t = kelto::nowUs();   // 1796859639791116: wall-clock microseconds
//   kelto::sleepMs(10);           // one wait of 10 ms
#ifndef KELTO_PLATFORM_CLOCK_H
#define KELTO_PLATFORM_CLOCK_H

#include <cstdint>

namespace kelto {

// Sleeps `ms` milliseconds once, measured on the monotonic clock, so that a
// step of the wall clock neither lengthens nor shortens a wait. A sleep cut
// short by a signal is not resumed. ms <= 0 returns at once.
//
// The first call of a process asks the scheduler for the shortest time
// slice where it takes one per task, keeping the process's policy and nice
// value, so that a pause ends on time on a loaded machine too.
void sleepMs(int ms);

// Microseconds since the Unix epoch on the wall clock (CLOCK_REALTIME): the
// bus time of the simulated bus. It is shared by every process on the
// machine, survives a reboot in the bus's state file, and prints as the
// candump time stamps of the bus trace; it is not the clock sleepMs uses.
int64_t nowUs();

}  // namespace kelto

#endif
