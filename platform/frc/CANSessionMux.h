// CAN session multiplexer of the FRC network-communication library.
//
// These are the only entry points to the CAN bus. The declarations follow
// the controller library's C interface exactly, so the tools link against
// our stand-in (libFRC_NetworkCommunication.so, built from this folder) or
// against the controller's own library without a change.
//
//   uint8_t d[1] = {7}; int32_t st;
//   FRC_NetworkCommunication_CANSessionMux_sendMessage(0x02071CC5, d, 1, 0, &st);
//   -> one frame 02071CC5#07 on the bus, st == 0
#ifndef KELTO_PLATFORM_CANSESSIONMUX_H
#define KELTO_PLATFORM_CANSESSIONMUX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Status values written by both calls.
#define CAN_SESSION_MUX_OK 0
#define ERR_CANSessionMux_InvalidBuffer (-44086)
#define ERR_CANSessionMux_MessageNotFound (-44087)
#define ERR_CANSessionMux_NotAllowed (-44088)
#define ERR_CANSessionMux_NotInitialized (-44089)

// Queues one frame with the 29-bit identifier `messageID` and `dataSize`
// (0 to 8) bytes from `data` (may be null when dataSize is 0). `periodMs` 0
// sends it once. `*status` is always written: 0 when the frame was accepted.
void FRC_NetworkCommunication_CANSessionMux_sendMessage(uint32_t messageID, const uint8_t* data,
                                                        uint8_t dataSize, int32_t periodMs,
                                                        int32_t* status);

// Returns at once. Hands over the newest frame not yet handed over whose
// identifier matches `*messageID` under `messageIDMask`: its payload goes
// to `data` (8 bytes), its length to `*dataSize` when that pointer is not
// null, its identifier to `*messageID`, and `*status` becomes 0. Without
// such a frame `*status` becomes ERR_CANSessionMux_MessageNotFound and the
// buffer is left unchanged. A frame is handed over once; frames this
// process sent are never handed back.
void FRC_NetworkCommunication_CANSessionMux_receiveMessage(uint32_t* messageID,
                                                           uint32_t messageIDMask, uint8_t* data,
                                                           uint8_t* dataSize, uint32_t* timeStamp,
                                                           int32_t* status);

#ifdef __cplusplus
}
#endif

#endif
