#include "torvexc_tables.h"

#include "report.h"

namespace torvexc {

// Command or field word -> message ID with device number 0. The one-byte
// settings are API indices of API class 7.
const kelto::MessageIdTable MESSAGE_ID = {
    {"scan", 0x02072400},  // presence frames; after an ID, a field read of byte 0
    {"name", 0x02073800},          {"potentiometer", 0x02071C80},
    {"brake", 0x02071CC0},         {"limit_enabled", 0x02071D00},
    {"limit_forward", 0x02071D40}, {"limit_reverse", 0x02071D80},
    {"fault_voltage", 0x02071DC0}, {"fault_time", 0x02071E00},
    {"inverted", 0x02071C00},      {"id", 0x02073400},
    {"blink", 0x02074000},         {"serial", 0x02074400},
    {"versions", 0x02073000},      {"firmware", 0x1A070180},  // bootloader entry
};

// The texts of this tool; the other codes are shared (tool.h).
const kelto::ErrorTable ERROR_MESSAGE = kelto::withSharedErrors({
    {kelto::NO_RESPONSE, "No response from TorvexC"},
    {kelto::BAD_FIRST_ARGUMENT,
     "First argument must be \"scan\" or an ID followed by a field and possibly a new value"},
    {kelto::BAD_VALUE,
     "Third argument must be blank for \"get\" or a positive numeral for \"set\""},
    {kelto::FIRMWARE_UPDATE_RUNNING, "Another TorvexC firmware update is running on this bus"},
});

const kelto::ToolProfile PROFILE = {
    &MESSAGE_ID, &ERROR_MESSAGE, "scan", 1000, 0x1a07, "CANTorvex_GetLibraryVersion",
};

}  // namespace torvexc
