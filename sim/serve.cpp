#include "serve.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "clock.h"
#include "device_model.h"
#include "socketcan.h"

namespace kelto::sim {

namespace {

// Longest sleep between two looks at the state: a change made with
// kelto_sim set reaches the bus within it.
constexpr int64_t MAX_WAIT_US = 5000;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

void catchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll returns at the signal
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void printJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

struct Server {
    Server(Bus& b, std::string i) : bus(b), iface(std::move(i)) {}
    Bus& bus;
    std::string iface;
    int fd = -1;
    int64_t startUs = 0;
    int64_t sentUpToUs = 0;  // device frames with bus times up to this have gone out
    std::unordered_map<uint32_t, int64_t> presenceSentUs;  // per presence identifier
    uint64_t received = 0;
    uint64_t sent = 0;
    bool sendFailing = false;  // the last send failed; said once until one succeeds
};

// Bus time of the device's next presence frame after nowUs, or -1.
int64_t nextPresenceUs(const Device& d, int64_t nowUs) {
    if (d.mode != kModeApp || d.periodMs == 0) return -1;
    if (nowUs < d.addedUs) return d.addedUs;
    const int64_t period = static_cast<int64_t>(d.periodMs) * 1000;
    return std::max(d.addedUs + ((nowUs - d.addedUs) / period + 1) * period, d.presenceFromUs);
}

// Hands every frame queued on the interface to the devices. Their bus time
// is never at or before sentUpToUs, so that a reply without latency is still
// ahead of what has gone out.
bool takeFrames(Server& s, std::string* error) {
    frc::BusFrame in{};
    for (;;) {
        switch (frc::readCanFrame(s.fd, s.iface, &in, error)) {
            case frc::Received::kError:
                return false;
            case frc::Received::kNothing:
                return true;
            case frc::Received::kFrame:
                break;
        }
        FrameRec f{};
        f.timeUs = std::max(in.timeUs, s.sentUpToUs + 1);
        f.id = in.id;
        f.len = in.len;
        std::memcpy(f.data, in.data, sizeof f.data);
        if (!busSend(s.bus, f, error)) return false;
        ++s.received;
    }
}

void putOnBus(Server& s, const FrameRec& f) {
    frc::BusFrame out{};
    out.timeUs = f.timeUs;
    out.id = f.id;
    out.len = f.len;
    std::memcpy(out.data, f.data, sizeof out.data);
    std::string err;
    if (!frc::writeCanFrame(s.fd, s.iface, out, &err)) {
        if (!s.sendFailing) std::fprintf(stderr, "kelto_sim serve: %s\n", err.c_str());
        s.sendFailing = true;
        return;
    }
    s.sendFailing = false;
    ++s.sent;
    traceFrame(s.bus, f);
}

// Sends the device frames whose bus time has come, oldest first; returns the
// bus time of the next one due (at most MAX_WAIT_US ahead), or 0 on error.
int64_t sendDue(Server& s, int64_t nowUs, std::string* error) {
    const BusImage* image = busView(s.bus, error);
    if (image == nullptr) return 0;
    std::vector<FrameRec> due;
    int64_t next = nowUs + MAX_WAIT_US;
    for (const FrameRec& f : image->ring) {
        if (f.timeUs > s.sentUpToUs && f.timeUs <= nowUs) due.push_back(f);
        if (f.timeUs > nowUs) next = std::min(next, f.timeUs);
    }
    for (uint32_t i = 0; i < image->header.slotCount; ++i) {
        const Device& d = image->slots[i];
        if (!d.used) continue;
        const int64_t t = latestPresenceUs(d, nowUs);
        int64_t& last = s.presenceSentUs[presenceIdOf(d)];
        if (t >= s.startUs && t > last) {
            due.push_back(presenceFrame(d, t));
            last = t;
        }
        const int64_t n = nextPresenceUs(d, nowUs);
        if (n > nowUs) next = std::min(next, n);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const FrameRec& a, const FrameRec& b) { return a.timeUs < b.timeUs; });
    s.sentUpToUs = nowUs;
    for (const FrameRec& f : due) putOnBus(s, f);
    return next;
}

int failed(const std::string& message) {
    printJson({{"error", message}});
    return 1;
}

}  // namespace

int serveOnInterface(Bus& bus, const std::string& iface) {
    Server s{bus, iface};
    std::string err;
    s.fd = frc::openCanSocket(iface, &err);
    if (s.fd < 0) return failed(err);
    catchStopSignals();
    s.startUs = kelto::nowUs();
    s.sentUpToUs = s.startUs;
    printJson({{"serving", iface}});
    int status = 0;
    while (!stopRequested) {
        if (!takeFrames(s, &err)) {
            status = failed(err);
            break;
        }
        const int64_t now = kelto::nowUs();
        const int64_t next = sendDue(s, now, &err);
        if (next == 0) {
            status = failed(err);
            break;
        }
        pollfd p{s.fd, POLLIN, 0};
        const int64_t waitUs = std::clamp<int64_t>(next - kelto::nowUs(), 0, MAX_WAIT_US);
        poll(&p, 1, static_cast<int>((waitUs + 999) / 1000));
    }
    // Frames that reached the interface before the stop still reach the devices.
    if (status == 0 && !takeFrames(s, &err)) status = failed(err);
    close(s.fd);
    if (status == 0) printJson({{"served", iface}, {"received", s.received}, {"sent", s.sent}});
    return status;
}

}  // namespace kelto::sim
