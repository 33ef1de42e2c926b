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

class CanBackend {
  public:
    virtual ~CanBackend() = default;

    // Puts one frame on the bus. False with one line in *error when it could not.
    virtual bool send(const BusFrame& frame, std::string* error) = 0;

    // The newest unread frame matching wantId under mask at bus time nowUs,
    // as the rules above say. kError comes with one line in *error.
    virtual Received receive(uint32_t wantId, uint32_t mask, int64_t nowUs, BusFrame* out,
                             std::string* error) = 0;
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
