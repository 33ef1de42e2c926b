// The update lock entry point of our stand-in CAN library, beside the two
// calls of the controller's interface (CANSessionMux.h). The controller's
// own library has no such call, so the CAN port never links against it: it
// looks the name up at run time (dlsym) and keeps a lock of its own when the
// library lacks it.
//
//   int32_t st = KELTO_CANSessionMux_lockUpdates(0x1b07);
//   -> KELTO_UPDATE_LOCK_HELD: this process now updates lighting controllers
//      on this bus; KELTO_UPDATE_LOCK_BUSY: another process already does
#ifndef KELTO_PLATFORM_UPDATE_LOCK_H
#define KELTO_PLATFORM_UPDATE_LOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KELTO_UPDATE_LOCK_SYMBOL "KELTO_CANSessionMux_lockUpdates"

// Results; any other value is the library's status for a bus it cannot use.
#define KELTO_UPDATE_LOCK_HELD 0
#define KELTO_UPDATE_LOCK_BUSY 1

// Takes, without waiting, the update lock of the bootloaders whose message
// IDs have the high half (bits 31-16) `bootHighHalf` on this process's bus,
// as CanBackend::lockUpdates (can_backend.h) describes. Held until the
// process ends.
int32_t KELTO_CANSessionMux_lockUpdates(uint32_t bootHighHalf);

typedef int32_t (*KeltoLockUpdatesFn)(uint32_t bootHighHalf);

#ifdef __cplusplus
}
#endif

#endif
