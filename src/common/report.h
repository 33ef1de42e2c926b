// Result and error documents: every run prints one compact JSON object on
// standard output, keys in ascending order, one line, flushed.
//   printDocument({{"scan", {3, 12}}})  -> {"scan":[3,12]}
//   reportError(10)                     -> {"error":"ID not found on network"}, returns 10
#ifndef KELTO_COMMON_REPORT_H
#define KELTO_COMMON_REPORT_H

#include <nlohmann/json.hpp>

namespace kelto {

using jsonLib = nlohmann::json;

// Status codes: a run's exit status, and the key of its text in the tool's
// ERROR_MESSAGE (tool.h). 0 is success.
enum Status : int {
    ID_NOT_FOUND = 10,             // the device's presence frame was not heard
    RECEIVE_TIMEOUT = 11,          // in the tables, reported by no caller
    NO_DEVICES = 12,               // scan heard nobody
    NO_RESPONSE = 13,              // a query went unanswered for 1000 ms
    NEW_ID_TAKEN = 14,             // a device already answers at the new ID
    NO_ARGUMENTS = 20,             // the command line is empty
    BAD_FIRST_ARGUMENT = 21,       // not scan, version, (reset,) or an ID with a command
    ID_NOT_DIGITS = 22,            // the device ID is not digits only
    ID_OUT_OF_RANGE = 23,          // a device ID or new ID outside 1..59
    TOO_MANY_ARGUMENTS = 24,       // more than one value (motor tool)
    BAD_VALUE = 25,                // a value is not a numeral that fits 32 bits
    FIRMWARE_FILE_REJECTED = 26,   // the loader refused the image; nothing was sent
    VALUE_NOT_ALLOWED = 27,        // a value after a read-only field
    VALUE_REQUIRED = 28,           // a missing or surplus value
    PATH_WITH_SPACES = 29,         // more than one firmware path argument
    UNKNOWN_COMMAND = 30,          // the word after the ID is no command
    NAME_TOO_LONG = 31,            // a new name above 8 bytes
    FIRMWARE_UPDATE_RUNNING = 32,  // another update of the kind holds the lock; nothing sent
    NO_RESULT = 99,                // a lighting command was sent (no document)
};

// Writes the compact serialisation and a line end to standard output and
// flushes. Bytes that are not valid UTF-8 (a device's name, a library's
// version text) are written as U+FFFD instead of aborting the run.
void printDocument(const jsonLib& json);

// Prints {"error": text of exitCode in the tool's ERROR_MESSAGE} (the empty
// text for a code without an entry) and returns exitCode unchanged.
int reportError(int exitCode);

}  // namespace kelto

#endif
