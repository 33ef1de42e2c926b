#include "lumabar_tables.h"

#include "report.h"

namespace lumabar {

// Command word -> message ID with device number 0.
const kelto::MessageIdTable MESSAGE_ID = {
    {"showrgb", 0x08070000},        // 4-byte lighting frame: 0, R, G, B
    {"writeregister", 0x08070180},  // 5-byte lighting frame
    {"reset", 0x00000040},          // empty lighting frame; zero high half
    {"showregister", 0x08070040},   // 1-byte lighting frame
    {"flash", 0x08070080},          // accepted, nothing sent
    {"cycle", 0x08070140},          // 2-byte lighting frame
    {"fade", 0x080700C0},           // 2-byte lighting frame
    {"ping", 0x08072400},           // presence frames
    {"blink", 0x08074000},         {"id", 0x08073400},
    {"versions", 0x08073000},      {"name", 0x08073800},
    {"serial", 0x08074400},        {"firmware", 0x1B070180},  // bootloader entry
};

// The texts of this tool; the other codes are shared (tool.h).
const kelto::ErrorTable ERROR_MESSAGE = kelto::withSharedErrors({
    {kelto::NO_RESPONSE, "No response from Lumabar"},
    {kelto::BAD_FIRST_ARGUMENT,
     "First argument must be \"scan\", \"reset\", or an ID followed by a field and possibly "
     "a new value"},
    {kelto::BAD_VALUE, "Further argument must be positive numerals"},
    {kelto::FIRMWARE_UPDATE_RUNNING, "Another Lumabar firmware update is running on this bus"},
});

const kelto::ToolProfile PROFILE = {
    &MESSAGE_ID, &ERROR_MESSAGE, "ping", 200, 0x1b07, "Lumabar_GetLibraryVersion",
};

}  // namespace lumabar
