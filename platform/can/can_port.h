// The CAN port: the tools' only way to the bus. Each call is exactly one
// call of the controller's CAN session multiplexer (CANSessionMux.h), with
// the arguments the tools always pass: period 0 (sent once) and the
// all-ones mask (the identifier must match exactly). The library behind it
// is the controller's own or our stand-in, chosen when a program is linked.
//
//   uint8_t d[8] = {1};
//   canSend(0x02071CC5, d, 1)              -> frame 02071CC5#01, status 0
//   uint32_t id = 0x02071CC5;
//   canReceive(&id, d, &size)              -> 0 and the reply's payload, or a non-zero status
#ifndef KELTO_PLATFORM_CAN_PORT_H
#define KELTO_PLATFORM_CAN_PORT_H

#include <cstdint>

namespace kelto {

// Every receive matches the identifier exactly.
constexpr uint32_t EXACT_MATCH = 0xFFFFFFFF;

// Sends one frame once. `data` may be null when dataSize is 0. Returns the
// library's status: 0 when the frame was accepted.
int32_t canSend(uint32_t messageID, const uint8_t* data, uint8_t dataSize);

// One receive call for *messageID; returns at once. Status 0: the payload is
// in `data` (8 bytes), its length in *dataSize when that is not null, and
// *messageID holds the frame's identifier. Otherwise `data` is unchanged.
// The frame's time stamp is not handed back.
int32_t canReceive(uint32_t* messageID, uint8_t* data, uint8_t* dataSize);

}  // namespace kelto

#endif
