#include "sum_rule.h"

#include <cstdlib>

namespace kelto {

void fillSumRule(uint8_t* data, int first) {
    for (int i = first; i < 7; ++i) data[i] = static_cast<uint8_t>(std::rand() % 255);
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += data[i];
    data[7] = static_cast<uint8_t>(SUM_RULE_TOTAL - sum);
}

}  // namespace kelto
