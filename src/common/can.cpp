#include "can.h"

#include "can_port.h"
#include "clock.h"

namespace kelto {

int32_t send(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    return canSend(messageID, data, dataSize);
}

int32_t receive(uint32_t messageID, uint8_t* data, int timeout) {
    uint8_t dataSize = 8;
    int32_t status = 0;
    int time = 0;
    do {
        sleepMs(RECEIVE_PERIOD_MS);
        status = canReceive(&messageID, data, &dataSize);
        time += RECEIVE_PERIOD_MS;
    } while (status != 0 && time < timeout);
    return status;
}

}  // namespace kelto
