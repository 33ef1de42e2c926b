// The eight-byte sum rule of the ID-change and bootloader-entry frames.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sum_rule.h"

namespace {

TEST(SumRule, FillKeepsTheCallersLeadingBytesAndDrawsFromTheGenerator) {
    std::srand(1);
    uint8_t data[8] = {0x12, 0x34, 0, 0, 0, 0, 0, 0};
    kelto::fillSumRule(data, 2);
    EXPECT_EQ(0x12, data[0]);
    EXPECT_EQ(0x34, data[1]);
    unsigned sum = 0;
    for (uint8_t b : data) sum += b;
    EXPECT_EQ(0x46u, sum % 256);
    std::srand(1);
    EXPECT_EQ(std::rand() % 255, data[2]);
}

}  // namespace
