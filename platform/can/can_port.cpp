#include "can_port.h"

#include "CANSessionMux.h"

namespace kelto {

namespace {
constexpr int32_t SEND_ONCE = 0;  // period of every frame: no repetition
}

int32_t canSend(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(messageID, data, dataSize, SEND_ONCE,
                                                        &status);
    return status;
}

int32_t canReceive(uint32_t* messageID, uint8_t* data, uint8_t* dataSize) {
    uint32_t timeStamp = 0;
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(messageID, EXACT_MATCH, data, dataSize,
                                                           &timeStamp, &status);
    return status;
}

}  // namespace kelto
