#include "fields.h"

#include <cstdlib>

#include "can.h"
#include "clock.h"
#include "numeral.h"
#include "presence.h"
#include "report.h"
#include "sum_rule.h"

namespace kelto {

namespace {
constexpr uint8_t NO_VALUE = 255;
constexpr int ID_CHANGE_PAUSE_MS = 200;
}  // namespace

int get(uint32_t messageID, char* field) {
    uint8_t data[8];
    send(messageID, nullptr, 0);
    data[0] = NO_VALUE;
    const int32_t status = receive(messageID, data, RECEIVE_TIMEOUT_MS);
    if (data[0] == NO_VALUE) return reportError(NO_RESPONSE);
    jsonLib json = jsonLib::object();
    json[field] = static_cast<unsigned>(data[0]);
    printDocument(json);
    return status;
}

void set(uint32_t messageID, char* arg) {
    int value = 0;
    if (!toInt32(arg, &value)) return;
    uint8_t data[8] = {static_cast<uint8_t>(value)};
    send(messageID, data, 1);
}

int blink(uint32_t messageID, uint8_t seconds) {
    uint8_t data[8] = {seconds};
    const int32_t status = send(messageID, data, 1);
    jsonLib json = jsonLib::object();
    json["blink"] = static_cast<unsigned>(seconds);
    printDocument(json);
    return status;
}

int setID(uint32_t messageID, uint8_t oldID, uint8_t newID) {
    if (oldID == newID) return scan();
    std::srand(static_cast<unsigned>(nowUs() / 1000000));  // time(NULL): whole seconds
    uint8_t data[8] = {oldID, newID};
    fillSumRule(data, 2);
    send(messageID, data, 8);
    sleepMs(ID_CHANGE_PAUSE_MS);
    return scan();
}

}  // namespace kelto
