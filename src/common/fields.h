// One-frame actions on one device.
//   get(0x02071CC5, "brake")     -> {"brake":1}, 0   | {"error":"No response from ..."}, 13
//   set(0x02071CC5, "300")       -> frame 02071CC5#2C (low 8 bits), nothing printed
//   blink(0x08074005, 3)         -> frame 08074005#03, {"blink":3}, send status
//   setID(0x08073405, 5, 12)     -> frame 05 0C r r r r r c (sum 0x46), 200 ms, then scan()
#ifndef KELTO_COMMON_FIELDS_H
#define KELTO_COMMON_FIELDS_H

#include <cstdint>

namespace kelto {

// Reads a one-byte field; byte 0 of the reply is its value. 255 doubles as
// the no-reply marker: a missing reply or a value of 255 reports 13.
// `field` becomes the document's key, as typed.
int get(uint32_t messageID, char* field);

// Writes the low 8 bits of the decimal `arg` in a 1-byte frame; no reply
// is awaited and nothing is printed. The caller has checked that `arg`
// converts (toInt32, numeral.h); an argument that does not is not sent.
void set(uint32_t messageID, char* arg);

// Sends `seconds` in a 1-byte frame and prints {"blink":seconds} whatever
// the send status, which it returns.
int blink(uint32_t messageID, uint8_t seconds);

// Moves the device from oldID to newID with the eight-byte ID-change frame
// (the generator seeded with the time in seconds), waits 200 ms and returns
// the bus scan. Equal IDs: nothing is sent, only the scan runs.
int setID(uint32_t messageID, uint8_t oldID, uint8_t newID);

}  // namespace kelto

#endif
