#include "tables.h"

namespace torvexc {

// Command or field word -> message ID with device number 0. The one-byte
// settings are API indices of API class 7.
const kelto::MessageIdTable MESSAGE_ID = {
    {"scan", 0x02072400},  // presence frames; after an ID, a field read of byte 0
    {"name", 0x02073800},
    {"potentiometer", 0x02071C80},
    {"brake", 0x02071CC0},
    {"limit_enabled", 0x02071D00},
    {"limit_forward", 0x02071D40},
    {"limit_reverse", 0x02071D80},
    {"fault_voltage", 0x02071DC0},
    {"fault_time", 0x02071E00},
    {"inverted", 0x02071C00},
    {"id", 0x02073400},
    {"blink", 0x02074000},
    {"serial", 0x02074400},
    {"versions", 0x02073000},
    {"firmware", 0x1A070180},  // bootloader entry
};

const kelto::ErrorTable ERROR_MESSAGE = {
    {0, "Success (or error error)"},
    {10, "ID not found on network"},
    {11, "CAN receive timeout"},
    {12, "No devices found"},
    {13, "No response from TorvexC"},
    {14, "New ID already found on network"},
    {20, "This executable requires arguments"},
    {21, "First argument must be \"scan\" or an ID followed by a field and possibly a new value"},
    {22, "First argument must be a valid ID"},
    {23, "IDs must be greater than zero and less than sixty (0 < id < 60)."},
    {24, "Too many arguments"},
    {25, "Third argument must be blank for \"get\" or a positive numeral for \"set\""},
    {27, "This field does not allow a set value."},
    {28, "This field requires a value."},
    {29, "Firmware path must not contain spaces."},
    {30, "Unrecognized command"},
    {31, "New name longer than eight characters"},
    {99, "Reached end of program without producing an error message or result"},
};

const kelto::ToolProfile PROFILE = {
    &MESSAGE_ID, &ERROR_MESSAGE, "scan", 1000, 0x1a07, "CANTorvex_GetLibraryVersion",
};

}  // namespace torvexc
