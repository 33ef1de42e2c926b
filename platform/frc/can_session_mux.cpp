// Stand-in of the controller's CAN session multiplexer over our own buses
// (can_backend.h). A process's session starts at its first platform call,
// which opens the bus that KELTO_CAN_BUS selects (bus_selection.h); every
// call after it goes to that backend. When the bus is unusable (a bad
// selection, a bus that cannot be opened or read) every call fails with
// ERR_CANSessionMux_NotInitialized and one line on standard error says why,
// once per process.
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CANSessionMux.h"
#include "bus_selection.h"
#include "can_backend.h"
#include "can_session_mux_internal.h"
#include "clock.h"
#include "update_lock.h"

#define KELTO_C_API extern "C" __attribute__((visibility("default")))

namespace {

using kelto::frc::BusFrame;
using kelto::frc::Received;

constexpr uint8_t MAX_PAYLOAD = 8;

struct Session {
    bool opened = false;  // the first call has tried to open the bus
    std::unique_ptr<kelto::frc::CanBackend> bus;
    bool complained = false;
};

// Set in a forked child: its first call starts a session of its own (own
// file descriptors, so that its file locks and sockets are its own).
bool forked = false;

void onForkChild() {
    forked = true;
}

Session& session() {
    static Session s;
    static const bool registered = pthread_atfork(nullptr, nullptr, onForkChild) == 0;
    (void)registered;
    if (forked) {
        forked = false;
        s = Session{};
    }
    return s;
}

void complainOnce(Session& s, const std::string& line) {
    if (s.complained) return;
    s.complained = true;
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// The bus of this process, opened at its first call; null (after one
// complaint) when it cannot be used.
kelto::frc::CanBackend* bus(Session& s, int64_t nowUs) {
    if (!s.opened) {
        s.opened = true;
        const kelto::frc::BusSelection selection = kelto::frc::busSelectionFromEnv();
        std::string err;
        s.bus = kelto::frc::openSelectedBackend(selection, nowUs, &err);
        if (!s.bus) complainOnce(s, selection.backend.empty() ? err : "kelto: " + err);
    }
    return s.bus.get();
}

int32_t sendFrame(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    Session& s = session();
    const int64_t now = kelto::nowUs();
    kelto::frc::CanBackend* b = bus(s, now);
    if (dataSize > MAX_PAYLOAD || (data == nullptr && dataSize > 0))
        return ERR_CANSessionMux_InvalidBuffer;
    if (!b) return ERR_CANSessionMux_NotInitialized;
    BusFrame f{};
    f.timeUs = now;
    f.id = messageID;
    f.len = dataSize;
    if (dataSize > 0) std::memcpy(f.data, data, dataSize);
    std::string err;
    if (!b->send(f, &err)) {
        complainOnce(s, "kelto: " + err);
        return ERR_CANSessionMux_NotInitialized;
    }
    return CAN_SESSION_MUX_OK;
}

int32_t receiveFrame(uint32_t* messageID, uint32_t mask, uint8_t* data, uint8_t* dataSize,
                     uint32_t* timeStamp) {
    Session& s = session();
    const int64_t now = kelto::nowUs();
    kelto::frc::CanBackend* b = bus(s, now);
    if (messageID == nullptr || data == nullptr) return ERR_CANSessionMux_InvalidBuffer;
    if (!b) return ERR_CANSessionMux_NotInitialized;
    BusFrame f{};
    std::string err;
    switch (b->receive(*messageID, mask, now, &f, &err)) {
        case Received::kError:
            complainOnce(s, "kelto: " + err);
            return ERR_CANSessionMux_NotInitialized;
        case Received::kNothing:
            return ERR_CANSessionMux_MessageNotFound;
        case Received::kFrame:
            break;
    }
    if (f.len > MAX_PAYLOAD) {
        complainOnce(s, "kelto: the bus handed over a frame of " + std::to_string(f.len) +
                            " bytes; a CAN frame holds at most 8");
        return ERR_CANSessionMux_NotInitialized;
    }
    std::memcpy(data, f.data, f.len);
    if (dataSize) *dataSize = f.len;
    if (timeStamp) *timeStamp = static_cast<uint32_t>(f.timeUs / 1000);  // bus time, ms
    *messageID = f.id;
    return CAN_SESSION_MUX_OK;
}

int32_t lockUpdates(uint32_t bootHighHalf) {
    Session& s = session();
    kelto::frc::CanBackend* b = bus(s, kelto::nowUs());
    if (!b) return ERR_CANSessionMux_NotInitialized;
    std::string err;
    switch (b->lockUpdates(static_cast<uint16_t>(bootHighHalf), &err)) {
        case kelto::frc::UpdateLock::kHeld:
            return KELTO_UPDATE_LOCK_HELD;
        case kelto::frc::UpdateLock::kBusy:
            return KELTO_UPDATE_LOCK_BUSY;
        case kelto::frc::UpdateLock::kError:
            break;
    }
    complainOnce(s, "kelto: " + err);
    return ERR_CANSessionMux_NotInitialized;
}

}  // namespace

namespace kelto::frc {

void forgetCanSession() {
    session() = Session{};
}

}  // namespace kelto::frc

// Periodic sending (periodMs > 0) is not offered: the frame goes out once.
KELTO_C_API void FRC_NetworkCommunication_CANSessionMux_sendMessage(
    uint32_t messageID, const uint8_t* data, uint8_t dataSize, int32_t periodMs, int32_t* status) {
    (void)periodMs;
    const int32_t st = sendFrame(messageID, data, dataSize);
    if (status) *status = st;
}

// timeStamp receives the frame's bus time in milliseconds, modulo 2^32.
KELTO_C_API void FRC_NetworkCommunication_CANSessionMux_receiveMessage(
    uint32_t* messageID, uint32_t messageIDMask, uint8_t* data, uint8_t* dataSize,
    uint32_t* timeStamp, int32_t* status) {
    const int32_t st = receiveFrame(messageID, messageIDMask, data, dataSize, timeStamp);
    if (status) *status = st;
}

// Not part of the controller's library: the CAN port finds it at run time.
KELTO_C_API int32_t KELTO_CANSessionMux_lockUpdates(uint32_t bootHighHalf) {
    return lockUpdates(bootHighHalf);
}
