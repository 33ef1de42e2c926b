// The two CAN operations every device exchange goes through.
//
// A query is send(id, nullptr, 0) followed by receive(id, data, 1000): the
// device answers with a frame of the same identifier.
//   send(0x08073805, nullptr, 0)            -> frame 08073805# on the bus
//   receive(0x08073805, data, 1000) == 0    -> the reply's payload in data
// Message IDs are 29-bit identifiers: a table entry (device number 0) ORed
// with the device ID in bits 5-0.
#ifndef KELTO_COMMON_CAN_H
#define KELTO_COMMON_CAN_H

#include <cstdint>

namespace kelto {

// Wait before each receive attempt, and the time counted per attempt (ms).
constexpr int RECEIVE_PERIOD_MS = 10;
// Timeout of every field and identity query (ms).
constexpr int RECEIVE_TIMEOUT_MS = 1000;

// Sends one frame once (period 0). `data` may be null when dataSize is 0.
// Returns the platform status: 0 when the frame was accepted.
int32_t send(uint32_t messageID, const uint8_t* data, uint8_t dataSize);

// Polls for one frame whose identifier is exactly messageID: sleeps 10 ms
// before each attempt, max(1, ceil(timeout / 10)) attempts. Returns 0 with
// the payload in `data` (8 bytes), else the last attempt's non-zero status.
int32_t receive(uint32_t messageID, uint8_t* data, int timeout);

}  // namespace kelto

#endif
