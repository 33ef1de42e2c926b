#include "can.h"

#include "CANSessionMux.h"
#include "clock.h"

namespace kelto {

int32_t send(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(messageID, data, dataSize, 0, &status);
    return status;
}

int32_t receive(uint32_t messageID, uint8_t* data, int timeout) {
    uint8_t dataSize = 8;
    uint32_t timeStamp = 0;
    int32_t status = 0;
    int time = 0;
    do {
        sleepMs(RECEIVE_PERIOD_MS);
        FRC_NetworkCommunication_CANSessionMux_receiveMessage(&messageID, 0xFFFFFFFF, data,
                                                              &dataSize, &timeStamp, &status);
        time += RECEIVE_PERIOD_MS;
    } while (status != 0 && time < timeout);
    return status;
}

}  // namespace kelto
