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
//   canLockUpdates(0x1b07)                 -> kHeld, or kBusy while another process
//                                             updates lighting controllers on this bus
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

enum class UpdateLockStatus {
    kHeld,        // this process holds the lock until it ends
    kBusy,        // another process holds it
    kUnavailable  // no lock can be taken; one line on stderr said why
};

// Takes, without waiting, the update lock of the bootloaders whose message
// IDs have the high half `bootHighHalf` (bits 31-16), held until the process
// ends or dies. The stand-in library locks per bus (update_lock.h, can_backend.h);
// with a library that has no lock call (the controller's own), the port
// flocks a file of its own, /run/lock/kelto-update-XXXX.lock (/tmp when
// /run/lock cannot be used), which covers every process on this machine.
UpdateLockStatus canLockUpdates(uint16_t bootHighHalf);

}  // namespace kelto

#endif
