// The CAN port's own update lock, used when the CAN library has no lock call;
// exposed for its tests.
#ifndef KELTO_PLATFORM_CAN_PORT_INTERNAL_H
#define KELTO_PLATFORM_CAN_PORT_INTERNAL_H

#include <string>

#include "can_port.h"

namespace kelto {

// An exclusive flock on the file at `path` (created 0644 when missing),
// taken without waiting and kept for the rest of the process (the
// descriptor is never closed; taking it again is kHeld). kUnavailable with
// the reason in *error when the file cannot be opened or locked.
UpdateLockStatus lockUpdateFile(const std::string& path, std::string* error);

}  // namespace kelto

#endif
