/* A throw-away libFRC_NetworkCommunication.so for the controller-build test:
 * it exports the controller library's two C entry points and nothing else.
 * No device ever answers (every receive reports MessageNotFound). When the
 * process ends it writes "throwaway CAN: S sends, R receives" to standard
 * error, so a run shows that the tools called this very library. */
#include <stdio.h>

#include "CANSessionMux.h"

#define EXPORT __attribute__((visibility("default")))

static unsigned sends;
static unsigned receives;

__attribute__((destructor)) static void reportCalls(void) {
    if (sends + receives > 0)
        fprintf(stderr, "throwaway CAN: %u sends, %u receives\n", sends, receives);
}

EXPORT void FRC_NetworkCommunication_CANSessionMux_sendMessage(uint32_t messageID,
                                                               const uint8_t* data,
                                                               uint8_t dataSize, int32_t periodMs,
                                                               int32_t* status) {
    (void)messageID;
    (void)data;
    (void)dataSize;
    (void)periodMs;
    ++sends;
    *status = CAN_SESSION_MUX_OK;
}

EXPORT void FRC_NetworkCommunication_CANSessionMux_receiveMessage(uint32_t* messageID,
                                                                  uint32_t messageIDMask,
                                                                  uint8_t* data, uint8_t* dataSize,
                                                                  uint32_t* timeStamp,
                                                                  int32_t* status) {
    (void)messageID;
    (void)messageIDMask;
    (void)data;
    (void)dataSize;
    (void)timeStamp;
    ++receives;
    *status = ERR_CANSessionMux_MessageNotFound;
}
