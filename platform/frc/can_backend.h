// The buses behind the stand-in CAN session multiplexer. The multiplexer
// (can_session_mux.cpp) opens one backend per process at its first call,
// from KELTO_CAN_BUS (bus_selection.h), and passes every frame through it.
//
// What every backend keeps, because the tools rely on it:
//   - send puts the frame on the bus at once, in the order of the calls;
//     a frame that could not be sent is reported, never dropped silently.
//   - receive returns at once, whether or not a frame is there.
//   - a process is handed only frames that reached the bus after the backend
//     was opened (the session's start).
//   - receive hands over, per identifier, the newest frame not yet handed
//     over, and drops the older unread ones of that identifier; a frame is
//     handed over once.
//   - a frame matches when (id & mask) == (wantId & mask); the tools always
//     pass the all-ones mask.
//   - frames this process sent are never handed back to it.
//   - identifiers are 29 bits wide, lengths 0 to 8: a frame longer than 8
//     bytes never leaves a backend.
//
// The update lock (lockUpdates). After its entry frame, a bootloader's frames
// carry no device ID: every device of a kind that sits in its bootloader
// takes the pages of any update of that kind. So one firmware update per
// bootloader kind runs on a bus at a time, and each backend guards it:
//   - a kind is the high half (bits 31-16) of its bootloader message IDs:
//     0x1b07 lighting controllers, 0x1a07 motor controllers. Locks of
//     different kinds are independent.
//   - the lock covers the bus the backend opened, across processes and users
//     of that bus: the simulated bus's directory, a SocketCAN interface.
//   - lockUpdates returns at once: kHeld when this backend now holds (or
//     already held) the lock, kBusy when someone else holds it, kError with
//     one line in *error when it cannot tell.
//   - the lock is held until the backend is destroyed and is released by the
//     kernel when its holder dies, however (SIGKILL included): a file lock
//     (flock, fcntl) on an open descriptor, never a file whose existence is
//     the lock. A forked child that drops its copy of the backend does not
//     release its parent's lock.
//   file_lock.h has the flock step and the file name (update-1b07.lock),
//   e.g. in the bus directory, or in /run/lock with the interface's name.
//
//   std::string err;
//   auto bus = openSimBackend("/tmp/bus", nowUs, &err);
//   bus->send({nowUs, 0x08073805, 0, {}}, &err);        // name query to device 5
//   bus->receive(0x08073805, ~0u, later, &frame, &err)  -> Received::kFrame
#ifndef KELTO_PLATFORM_CAN_BACKEND_H
#define KELTO_PLATFORM_CAN_BACKEND_H

#include <cstdint>
#include <memory>
#include <string>

namespace kelto::frc {

struct BusFrame {
    int64_t timeUs;  // when it reached the bus: microseconds since the epoch
    uint32_t id;     // 29-bit identifier
    uint8_t len;     // 0 to 8
    uint8_t data[8];
};

enum class Received { kFrame, kNothing, kError };

enum class UpdateLock { kHeld, kBusy, kError };

class CanBackend {
  public:
    virtual ~CanBackend() = default;

    // Puts one frame on the bus. False with one line in *error when it could not.
    virtual bool send(const BusFrame& frame, std::string* error) = 0;

    // The newest unread frame matching wantId under mask at bus time nowUs,
    // as the rules above say. kError comes with one line in *error.
    virtual Received receive(uint32_t wantId, uint32_t mask, int64_t nowUs, BusFrame* out,
                             std::string* error) = 0;

    // The update lock of bootloader kind `bootHighHalf` on this bus, as the
    // rules above say.
    virtual UpdateLock lockUpdates(uint16_t bootHighHalf, std::string* error) = 0;
};

// The backends this library carries. Each opens the bus that the text after
// its KELTO_CAN_BUS prefix names, with its session starting at startUs; null
// with one line in *error.
std::unique_ptr<CanBackend> openSimBackend(const std::string& dir, int64_t startUs,
                                           std::string* error);
std::unique_ptr<CanBackend> openSocketCanBackend(const std::string& iface, int64_t startUs,
                                                 std::string* error);

}  // namespace kelto::frc

#endif
