#include "identity.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "can.h"
#include "clock.h"
#include "report.h"

namespace kelto {

namespace {

constexpr int NAME_READ_PAUSE_MS = 100;
constexpr size_t TEXT_BYTES = 8;

// Sends the empty read request and waits for the reply. Bytes the reply
// does not carry read as zero.
int32_t query(uint32_t messageID, uint8_t* data) {
    send(messageID, nullptr, 0);
    std::memset(data, 0, 8);
    return receive(messageID, data, RECEIVE_TIMEOUT_MS);
}

// Text of an 8-byte payload: up to the first zero byte, at most 8 bytes.
std::string payloadText(const uint8_t* data) {
    size_t n = 0;
    while (n < TEXT_BYTES && data[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

// Reads one text property and prints it under `key`.
int getText(uint32_t messageID, const char* key) {
    uint8_t data[8];
    if (query(messageID, data) != 0) return reportError(NO_RESPONSE);
    jsonLib json = jsonLib::object();
    json[key] = payloadText(data);
    printDocument(json);
    return 0;
}

std::string versionText(uint8_t major, uint8_t minor) {
    char s[16];
    std::snprintf(s, sizeof s, "%d.%d", major, minor);
    return s;
}

}  // namespace

int getName(uint32_t messageID) {
    sleepMs(NAME_READ_PAUSE_MS);
    return getText(messageID, "name");
}

int setName(uint32_t messageID, int argc, char** argv) {
    std::string value;
    for (int i = 3; i < argc; ++i) {
        if (i > 3) value += ' ';
        value += argv[i];
    }
    if (value.size() > TEXT_BYTES) return reportError(NAME_TOO_LONG);
    uint8_t data[8] = {0};
    std::memcpy(data, value.data(), value.size());
    send(messageID, data, 8);
    return 0;
}

int getSerial(uint32_t messageID) {
    return getText(messageID, "serial");
}

int getVersions(uint32_t messageID) {
    uint8_t data[8];
    if (query(messageID, data) != 0) return reportError(NO_RESPONSE);
    jsonLib json = jsonLib::object();
    json["firmware"] = versionText(data[0], data[1]);
    json["hardware"] = versionText(data[2], data[3]);
    json["bootloader"] = versionText(data[4], data[5]);
    printDocument(json);
    return 0;
}

}  // namespace kelto
