// Result and error documents: every run prints one compact JSON object on
// standard output, keys in ascending order, one line, flushed.
//   printDocument({{"scan", {3, 12}}})  -> {"scan":[3,12]}
//   reportError(10)                     -> {"error":"ID not found on network"}, returns 10
#ifndef KELTO_COMMON_REPORT_H
#define KELTO_COMMON_REPORT_H

#include <nlohmann/json.hpp>

namespace kelto {

using jsonLib = nlohmann::json;

// Writes the compact serialisation and a line end to standard output and
// flushes. Bytes that are not valid UTF-8 (a device's name, a library's
// version text) are written as U+FFFD instead of aborting the run.
void printDocument(const jsonLib& json);

// Prints {"error": text of exitCode in the tool's ERROR_MESSAGE} (the empty
// text for a code without an entry) and returns exitCode unchanged.
int reportError(int exitCode);

}  // namespace kelto

#endif
