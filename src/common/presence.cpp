#include "presence.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "can_port.h"
#include "clock.h"
#include "report.h"
#include "tool.h"

namespace kelto {

namespace {

// One receive call on the presence frame of `deviceId`; size not wanted.
int32_t listenOnce(uint32_t deviceId) {
    uint32_t messageID = messageIdOf(tool().presenceKey) | deviceId;
    uint8_t data[8];
    return canReceive(&messageID, data, nullptr);
}

}  // namespace

int scan() {
    std::vector<int> ids;
    for (uint8_t i = 0; i < 64; ++i) listenOnce(i);
    sleepMs(tool().presenceWindowMs);
    for (uint8_t i = 0; i < 64; ++i)
        if (listenOnce(i) == 0) ids.push_back(i);
    if (ids.empty()) return reportError(NO_DEVICES);
    jsonLib json = jsonLib::object();
    json["scan"] = ids;
    printDocument(json);
    return 0;
}

bool idExists(const char* id) {
    const uint32_t deviceId = static_cast<uint32_t>(std::atoi(id));
    listenOnce(deviceId);
    sleepMs(tool().presenceWindowMs);
    const int32_t status = listenOnce(deviceId);
    std::cerr << "status: " << status << std::endl;
    return status == 0;
}

}  // namespace kelto
