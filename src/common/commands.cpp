#include "commands.h"

#include "canboot/update.h"
#include "cli.h"
#include "fields.h"
#include "identity.h"
#include "presence.h"
#include "report.h"

namespace kelto {

int addressDevice(char** argv, uint32_t entry, uint32_t* messageID, uint8_t* id) {
    if (!isInt(argv[1])) return reportError(22);
    if (!validDeviceId(argv[1])) return reportError(23);
    *id = lowByte(argv[1]);
    if (!idExists(argv[1])) return reportError(10);
    *messageID = entry | *id;
    return 0;
}

int nameCommand(uint32_t messageID, int argc, char** argv) {
    if (argc == 3) return getName(messageID);
    const int status = setName(messageID, argc, argv);
    if (status != 0) return status;
    return getName(messageID);
}

int firmwareForm(uint32_t id, int argc, char** argv, int pathIndex) {
    if (argc <= pathIndex) return reportError(28);
    if (argc > pathIndex + 1) return reportError(29);
    return setFirmware(id, argv[pathIndex]);
}

int idCommand(uint32_t messageID, uint8_t id, int argc, char** argv) {
    if (argc <= 3) return reportError(28);
    if (!validDeviceId(argv[3])) return reportError(23);
    if (idExists(argv[3])) return reportError(14);
    return setID(messageID, id, lowByte(argv[3]));
}

int readCommand(int (*read)(uint32_t), uint32_t messageID, int argc) {
    if (argc != 3) return reportError(27);
    return read(messageID);
}

int blinkCommand(uint32_t messageID, int argc, char** argv) {
    if (argc != 4) return reportError(28);
    return blink(messageID, lowByte(argv[3]));
}

}  // namespace kelto
