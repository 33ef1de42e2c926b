// Stand-in of the controller's CAN session multiplexer over the simulated
// bus (sim/). A process's session starts at its first platform call; from
// then on it is handed device frames with latest-value semantics per
// identifier, like the controller's multiplexer: the newest matching frame
// not yet handed over, dropping older unread ones of that identifier.
//
// The bus is chosen once per process from KELTO_CAN_BUS (sim/bus_selection.h).
// When it is unusable (bad selection, unreadable or corrupt state) every call
// fails with ERR_CANSessionMux_NotInitialized and one line on standard error
// says why, once per process.
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CANSessionMux.h"
#include "bus_selection.h"
#include "can_session_mux_internal.h"
#include "clock.h"
#include "sim_bus.h"

#define KELTO_C_API extern "C" __attribute__((visibility("default")))

namespace {

struct Session {
    bool selected = false;
    kelto::sim::BusSelection selection;
    std::unique_ptr<kelto::sim::Bus> bus;
    kelto::sim::ReceiveView view;
    bool complained = false;
};

// Set in a forked child: its first call starts a session of its own (own
// file descriptors, so that its file locks are its own).
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

// `line` is complete for a bad selection; other problems get the "kelto: " prefix.
void complainOnce(Session& s, const std::string& line, bool prefix = true) {
    if (s.complained) return;
    s.complained = true;
    std::fprintf(stderr, "%s%s\n", prefix ? "kelto: " : "", line.c_str());
    std::fflush(stderr);
}

// The open simulated bus of this process, or null (after one complaint).
kelto::sim::Bus* simulatedBus(Session& s) {
    if (!s.selected) {
        s.selected = true;
        s.selection = kelto::sim::busSelectionFromEnv();
    }
    switch (s.selection.kind) {
        case kelto::sim::kBusSimulated:
            break;
        case kelto::sim::kBusInvalid:
            complainOnce(s, s.selection.problem, false);
            return nullptr;
    }
    if (!s.bus) {
        std::string err;
        s.bus = kelto::sim::openBus(s.selection.dir, &err);
        if (!s.bus) complainOnce(s, err);
    }
    return s.bus.get();
}

int32_t sendFrame(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    Session& s = session();
    int64_t now = kelto::nowUs();
    if (!s.view.started) {
        s.view.started = true;
        s.view.startUs = now;
    }
    if (dataSize > 8 || (data == nullptr && dataSize > 0)) return ERR_CANSessionMux_InvalidBuffer;
    kelto::sim::Bus* bus = simulatedBus(s);
    if (!bus) return ERR_CANSessionMux_NotInitialized;
    kelto::sim::FrameRec f{};
    f.timeUs = now;
    f.id = messageID;
    f.len = dataSize;
    if (dataSize > 0) std::memcpy(f.data, data, dataSize);
    std::string err;
    if (!kelto::sim::busSend(*bus, f, &err)) {
        complainOnce(s, err);
        return ERR_CANSessionMux_NotInitialized;
    }
    return CAN_SESSION_MUX_OK;
}

int32_t receiveFrame(uint32_t* messageID, uint32_t mask, uint8_t* data, uint8_t* dataSize,
                     uint32_t* timeStamp) {
    Session& s = session();
    int64_t now = kelto::nowUs();
    if (!s.view.started) {
        s.view.started = true;
        s.view.startUs = now;
    }
    if (messageID == nullptr || data == nullptr) return ERR_CANSessionMux_InvalidBuffer;
    kelto::sim::Bus* bus = simulatedBus(s);
    if (!bus) return ERR_CANSessionMux_NotInitialized;
    kelto::sim::FrameRec f{};
    std::string err;
    switch (kelto::sim::busReceive(*bus, s.view, *messageID, mask, now, &f, &err)) {
        case kelto::sim::kReceiveError:
            complainOnce(s, err);
            return ERR_CANSessionMux_NotInitialized;
        case kelto::sim::kNothing:
            return ERR_CANSessionMux_MessageNotFound;
        case kelto::sim::kReceived:
            break;
    }
    std::memcpy(data, f.data, f.len);
    if (dataSize) *dataSize = f.len;
    if (timeStamp) *timeStamp = static_cast<uint32_t>(f.timeUs / 1000);  // bus time, ms
    *messageID = f.id;
    return CAN_SESSION_MUX_OK;
}

}  // namespace

namespace kelto::frc {

void forgetCanSession() {
    session() = Session{};
}

}  // namespace kelto::frc

// Periodic sending (periodMs > 0) is not simulated: the frame goes out once.
KELTO_C_API void FRC_NetworkCommunication_CANSessionMux_sendMessage(
    uint32_t messageID, const uint8_t* data, uint8_t dataSize, int32_t periodMs, int32_t* status) {
    (void)periodMs;
    int32_t st = sendFrame(messageID, data, dataSize);
    if (status) *status = st;
}

// timeStamp receives the frame's bus time in milliseconds, modulo 2^32.
KELTO_C_API void FRC_NetworkCommunication_CANSessionMux_receiveMessage(
    uint32_t* messageID, uint32_t messageIDMask, uint8_t* data, uint8_t* dataSize,
    uint32_t* timeStamp, int32_t* status) {
    int32_t st = receiveFrame(messageID, messageIDMask, data, dataSize, timeStamp);
    if (status) *status = st;
}
