// What identifies one device: its name, serial number and versions. Each
// read is an empty frame on the property's message ID and a wait of up to
// 1000 ms for the reply on the same ID; each prints one document.
//   getName(0x08073805)     -> {"name":"Front"}, 0   | {"error":"No response from ..."}, 13
//   getSerial(0x08074405)   -> {"serial":"LB000005"}, 0
//   getVersions(0x08073005) -> {"bootloader":"1.0","firmware":"2.3","hardware":"1.1"}, 0
//   setName(id, argc, argv) with argv[3..] = "ab" "cd" -> frame 61 62 20 63 64 00 00 00, 0
#ifndef KELTO_COMMON_IDENTITY_H
#define KELTO_COMMON_IDENTITY_H

#include <cstdint>

namespace kelto {

// Sleeps 100 ms first, always; then reads the name (text up to the first
// zero byte, at most 8 bytes).
int getName(uint32_t messageID);

// Joins argv[3..argc-1] with single spaces and sends it as an 8-byte frame
// padded with zeros. Prints nothing and returns 0; a name of more than 8
// bytes is refused with 31 and nothing is sent.
int setName(uint32_t messageID, int argc, char** argv);

int getSerial(uint32_t messageID);

int getVersions(uint32_t messageID);

}  // namespace kelto

#endif
