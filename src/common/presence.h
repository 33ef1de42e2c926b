// Who is on the bus: listen for the devices' own presence frames (the
// tool's presence entry ORed with the device ID). Nothing is sent. A frame
// waiting from before is taken away first; only one that arrives during
// the presence window (200 ms lighting tool, 1000 ms motor tool) counts.
//   scan()          -> {"scan":[3,12]}, 0   | {"error":"No devices found"}, 12
//   idExists("5")   -> true; stderr "status: 0"
#ifndef KELTO_COMMON_PRESENCE_H
#define KELTO_COMMON_PRESENCE_H

namespace kelto {

// Lists device IDs 0 to 63 heard during one window. 128 platform calls and
// one sleep. Returns 0, or the reporter's 12 when none was heard.
int scan();

// `id`: decimal digits of a device ID, checked by the caller to be 1..59.
// Writes "status: N" (the second call's platform status) to stderr.
bool idExists(const char* id);

}  // namespace kelto

#endif
