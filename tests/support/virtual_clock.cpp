#include "virtual_clock.h"

#include <utility>

namespace {
int64_t nowValue = 1700000000000000;
std::vector<int> sleeps;
std::function<void(int)> observer;
}  // namespace

void virtualClockReset(int64_t startUs) {
    nowValue = startUs;
    sleeps.clear();
    observer = nullptr;
}

void virtualClockAdvanceUs(int64_t us) {
    nowValue += us;
}

const std::vector<int>& virtualSleeps() {
    return sleeps;
}

void virtualClockOnSleep(std::function<void(int)> fn) {
    observer = std::move(fn);
}

namespace kelto {

void sleepMs(int ms) {
    sleeps.push_back(ms);
    if (ms > 0) nowValue += static_cast<int64_t>(ms) * 1000;
    if (observer) observer(ms);
}

int64_t nowUs() {
    return nowValue;
}

}  // namespace kelto
