// Command line of kelto_lumabar. The checks run in a fixed order and the
// first that fails ends the run with its code:
//   (none) 20 | scan | version | other single word 21 | firmware PATH
//   | unknown command word 30 | ID not digits 22 | ID not 1..59 23
//   | ID not heard 10 | name... | firmware PATH | non-digit value 25
//   | id NEWID | serial | versions | blink S | lighting frames | flash, ping
#include <cstring>
#include <string>

#include "can.h"
#include "cli.h"
#include "commands.h"
#include "lumabar_tables.h"
#include "numeral.h"
#include "presence.h"
#include "report.h"

namespace lumabar {

namespace {

// A lighting frame: `values` decimal arguments placed from byte `offset`.
struct LightingFrame {
    const char* word;
    int values;
    int offset;
};

const LightingFrame LIGHTING_FRAMES[] = {
    {"showrgb", 3, 1},  // 0, R, G, B
    {"writeregister", 5, 0}, {"reset", 0, 0}, {"showregister", 1, 0},
    {"cycle", 2, 0},         {"fade", 2, 0},
};

const LightingFrame* findLightingFrame(const std::string& word) {
    for (const LightingFrame& frame : LIGHTING_FRAMES)
        if (word == frame.word) return &frame;
    return nullptr;
}

// Sends one lighting frame built from argv[3..]; 28 for a wrong count of
// values, 25 for a value outside the signed 32-bit range (nothing sent).
int sendLighting(const LightingFrame& frame, uint32_t messageID, int argc, char** argv) {
    if (argc != 3 + frame.values) return exitWithError(kelto::VALUE_REQUIRED);
    uint8_t data[8] = {0};
    for (int k = 0; k < frame.values; ++k) {
        int value = 0;
        if (!kelto::toInt32(argv[3 + k], &value)) return exitWithError(kelto::BAD_VALUE);
        data[frame.offset + k] = static_cast<uint8_t>(value);
    }
    kelto::send(messageID, data, static_cast<uint8_t>(frame.offset + frame.values));
    return kelto::NO_RESULT;
}

// The forms with a single argument. A lone "reset" is the reset command
// without its device ID: refused as a missing ID, nothing sent.
int singleWord(const std::string& word) {
    if (word == "scan") return kelto::scan();
    if (word == "version") return kelto::versionQuery();
    if (word != "reset") return exitWithError(kelto::BAD_FIRST_ARGUMENT);
    return exitWithError(kelto::ID_NOT_DIGITS);
}

// Every argument after the command word must be digits only.
bool valuesAreDigits(int argc, char** argv) {
    for (int i = 4; i <= argc; ++i)
        if (!kelto::isInt(argv[i - 1])) return false;
    return true;
}

}  // namespace

int exitWithError(int exitCode) {
    return kelto::reportError(exitCode);
}

int lumabarMain(int argc, char** argv) {
    if (argc <= 1) return exitWithError(kelto::NO_ARGUMENTS);
    if (argc == 2) return singleWord(argv[1]);
    if (std::strcmp(argv[1], "firmware") == 0) return kelto::firmwareForm(0, argc, argv, 2);

    uint32_t messageID = 0;
    uint8_t id = 0;
    if (const auto decided = kelto::deviceCommand(argc, argv, &messageID, &id)) return *decided;
    if (!valuesAreDigits(argc, argv)) return exitWithError(kelto::BAD_VALUE);
    if (const auto decided = kelto::deviceAction(argv[2], messageID, id, argc, argv))
        return *decided;
    if (const LightingFrame* frame = findLightingFrame(argv[2]))
        return sendLighting(*frame, messageID, argc, argv);
    return kelto::NO_RESULT;  // "flash", "ping": accepted, nothing sent
}

}  // namespace lumabar
