// Argument checks, conversions and the version query of both command lines.
//   isInt("059") -> true   isInt("") -> true   isInt("+5") -> false
//   lowByte("300") -> 44
//   validDeviceId("59") -> true   validDeviceId("261") -> false
#ifndef KELTO_CLI_CLI_H
#define KELTO_CLI_CLI_H

#include <cstdint>
#include <string>

namespace kelto {

// Equal length and equal bytes after ASCII case folding (C locale tolower).
//   strEq("SCAN", "scan") -> true   strEq("", "") -> true
bool strEq(const std::string& str1, const std::string& str2);

// True when every byte is an ASCII digit; the empty text is true.
bool isInt(const char* in);

// Low 8 bits of atoi(text): device IDs and blink seconds.
uint8_t lowByte(const char* text);

// A digit string whose whole value lies in 1..59. Values whose low 8 bits
// alone would fall inside (261 would address device 5) are refused.
bool validDeviceId(const char* digits);

// Prints {"version": text of the driver library's entry point}, or
// {"version":"-1"} when libcorvaneDriver.so or the entry point is missing.
// Returns 0 in both cases. The library is never closed.
int versionQuery();

}  // namespace kelto

#endif
