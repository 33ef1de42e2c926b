#include "commands.h"

#include <cstring>

#include "cli.h"
#include "fields.h"
#include "identity.h"
#include "presence.h"
#include "report.h"
#include "tool.h"
#include "update.h"

namespace kelto {

namespace {

// Checks the device ID (digits 22, range 23, presence 10) and composes the
// message ID of the command word whose table value is `entry`.
int addressDevice(char** argv, uint32_t entry, uint32_t* messageID, uint8_t* id) {
    if (!isInt(argv[1])) return reportError(ID_NOT_DIGITS);
    if (!validDeviceId(argv[1])) return reportError(ID_OUT_OF_RANGE);
    *id = lowByte(argv[1]);
    if (!idExists(argv[1])) return reportError(ID_NOT_FOUND);
    *messageID = entry | *id;
    return 0;
}

// ID name [WORD...]: getName, or setName and on success getName.
int nameCommand(uint32_t messageID, int argc, char** argv) {
    if (argc == 3) return getName(messageID);
    const int status = setName(messageID, argc, argv);
    if (status != 0) return status;
    return getName(messageID);
}

// ID id NEWID: 28 without NEWID, 23 outside 1..59, 14 when a device already
// answers at NEWID; otherwise setID.
int idCommand(uint32_t messageID, uint8_t id, int argc, char** argv) {
    if (argc <= 3) return reportError(VALUE_REQUIRED);
    if (!validDeviceId(argv[3])) return reportError(ID_OUT_OF_RANGE);
    if (idExists(argv[3])) return reportError(NEW_ID_TAKEN);
    return setID(messageID, id, lowByte(argv[3]));
}

// ID serial / ID versions: the read, or 27 when a value follows.
int readCommand(int (*read)(uint32_t), uint32_t messageID, int argc) {
    if (argc != 3) return reportError(VALUE_NOT_ALLOWED);
    return read(messageID);
}

// ID blink SECONDS: blink, or 28 for a missing or surplus value.
int blinkCommand(uint32_t messageID, int argc, char** argv) {
    if (argc != 4) return reportError(VALUE_REQUIRED);
    return blink(messageID, lowByte(argv[3]));
}

}  // namespace

int firmwareForm(uint32_t firmwareId, int argc, char** argv, int pathIndex) {
    if (argc <= pathIndex) return reportError(VALUE_REQUIRED);
    if (argc > pathIndex + 1) return reportError(PATH_WITH_SPACES);
    return setFirmware(firmwareId, argv[pathIndex]);
}

std::optional<int> deviceCommand(int argc, char** argv, uint32_t* messageID, uint8_t* id) {
    const uint32_t entry = messageIdOf(argv[2]);
    if (entry == 0) return reportError(UNKNOWN_COMMAND);
    if (const int refused = addressDevice(argv, entry, messageID, id)) return refused;
    if (std::strcmp(argv[2], "name") == 0) return nameCommand(*messageID, argc, argv);
    if (std::strcmp(argv[2], "firmware") == 0) return firmwareForm(*messageID, argc, argv, 3);
    return std::nullopt;
}

std::optional<int> deviceAction(const char* word, uint32_t messageID, uint8_t id, int argc,
                                char** argv) {
    if (std::strcmp(word, "id") == 0) return idCommand(messageID, id, argc, argv);
    if (std::strcmp(word, "serial") == 0) return readCommand(getSerial, messageID, argc);
    if (std::strcmp(word, "versions") == 0) return readCommand(getVersions, messageID, argc);
    if (std::strcmp(word, "blink") == 0) return blinkCommand(messageID, argc, argv);
    return std::nullopt;
}

}  // namespace kelto
