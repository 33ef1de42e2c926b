// The eight-byte sum rule of the frames that carry pseudo-random filler: the
// ID-change frame and the bootloader-entry frame. All eight bytes add up to
// 0x46 (70) modulo 256.
//
//   uint8_t d[8] = {5, 7};
//   fillSumRule(d, 2);  // d[2..6] = rand() % 255 each, d[7] = 0x46 - (d[0] + ... + d[6])
#ifndef KELTO_COMMON_SUM_RULE_H
#define KELTO_COMMON_SUM_RULE_H

#include <cstdint>

namespace kelto {

constexpr uint8_t SUM_RULE_TOTAL = 0x46;

// Fills data[first..6] with draws of the C library's rand() modulo 255 (0 to
// 254), in order, and data[7] with the check byte over data[0..6]. Bytes
// before `first` are the caller's and count in the sum. Does not seed rand().
void fillSumRule(uint8_t* data, int first);

}  // namespace kelto

#endif
