// Steps of the command line that both tools take alike. Each returns the
// run's exit status: the reporter's code for a refused command, or the
// result of the operation it calls. argv is the program's own; argv[1] is
// the device ID (or "firmware"), argv[2] the command word.
//   firmwareForm(0, argc, argv, 2) with argv "firmware a b" -> 29
#ifndef KELTO_CLI_COMMANDS_H
#define KELTO_CLI_COMMANDS_H

#include <cstdint>
#include <optional>

namespace kelto {

// The steps both tools take once the run names a device: the command word
// must be a MESSAGE_ID key (30), the device ID digits (22), 1..59 (23) and
// heard on the bus (10); "name" and "firmware",
// which take free text, are carried out here. Returns the exit status when
// the run is decided, or nothing with messageID and id set for the tool's
// own steps.
std::optional<int> deviceCommand(int argc, char** argv, uint32_t* messageID, uint8_t* id);

// The actions both tools share once the values are checked: "id",
// "serial", "versions", "blink". Nothing when `word` is none of them.
std::optional<int> deviceAction(const char* word, uint32_t messageID, uint8_t id, int argc,
                                char** argv);

// The firmware forms: the image path is argv[pathIndex] and must be the
// last argument (28 without it, 29 with more). `firmwareId` is 0 for the
// recovery path, else the "firmware" entry ORed with the device ID.
int firmwareForm(uint32_t firmwareId, int argc, char** argv, int pathIndex);

}  // namespace kelto

#endif
