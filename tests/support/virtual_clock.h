// Virtual time for unit tests: links in place of the real clock. sleepMs
// advances the clock at once and records the wait; nothing really sleeps.
//
//   virtualClockReset(1000000);   // now = 1 s
//   kelto::sleepMs(10);           // returns at once
//   virtualSleeps() == {10}; kelto::nowUs() == 1010000
#ifndef KELTO_TESTS_VIRTUAL_CLOCK_H
#define KELTO_TESTS_VIRTUAL_CLOCK_H

#include <cstdint>
#include <functional>
#include <vector>

#include "clock.h"

// Sets the virtual time (microseconds since the epoch), forgets the recorded
// sleeps and removes the observer.
void virtualClockReset(int64_t startUs = 1700000000000000);

// Moves the virtual time forward without recording a sleep.
void virtualClockAdvanceUs(int64_t us);

// Every sleepMs argument since the last reset, in order.
const std::vector<int>& virtualSleeps();

// Called after each sleep with its argument (the clock has moved already).
void virtualClockOnSleep(std::function<void(int)> observer);

#endif
