// A Linux CAN interface as a backend of the stand-in CAN library
// (KELTO_CAN_BUS=socketcan:IFACE). The socket is bound when the session
// opens, so the kernel queues only frames that reached the bus after that;
// each receive drains the queue into the newest unread frame per identifier.
#include <unistd.h>

#include <map>
#include <unordered_map>

#include "can_backend.h"
#include "socketcan.h"

namespace kelto::frc {

namespace {

// Identifiers held at once: past it the oldest unread frame is dropped, so
// that a flood of distinct identifiers cannot grow the table without bound.
constexpr size_t MAX_PENDING_IDS = 4096;

class SocketCanBackend : public CanBackend {
  public:
    SocketCanBackend(int fd, std::string iface) : fd_(fd), iface_(std::move(iface)) {}
    ~SocketCanBackend() override {
        close(fd_);
        for (const auto& [kind, lockFd] : locks_) close(lockFd);
    }
    SocketCanBackend(const SocketCanBackend&) = delete;
    SocketCanBackend& operator=(const SocketCanBackend&) = delete;

    bool send(const BusFrame& frame, std::string* error) override {
        return writeCanFrame(fd_, iface_, frame, error);
    }

    UpdateLock lockUpdates(uint16_t bootHighHalf, std::string* error) override {
        if (locks_.count(bootHighHalf) != 0) return UpdateLock::kHeld;
        int lockFd = -1;
        const UpdateLock got = lockInterfaceUpdates(iface_, bootHighHalf, &lockFd, error);
        if (got == UpdateLock::kHeld) locks_[bootHighHalf] = lockFd;
        return got;
    }

    Received receive(uint32_t wantId, uint32_t mask, int64_t nowUs, BusFrame* out,
                     std::string* error) override {
        (void)nowUs;  // frames carry the kernel's receive time; all queued ones are past
        if (!drain(error)) return Received::kError;
        auto best = pending_.end();
        if (mask == ~0u) {
            best = pending_.find(wantId);
        } else {
            for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                if ((it->first & mask) != (wantId & mask)) continue;
                if (best == pending_.end() || it->second.timeUs > best->second.timeUs) best = it;
            }
        }
        if (best == pending_.end()) return Received::kNothing;
        *out = best->second;
        pending_.erase(best);
        return Received::kFrame;
    }

  private:
    // Moves every queued frame into pending_, a newer frame of an identifier
    // replacing the unread older one.
    bool drain(std::string* error) {
        BusFrame f{};
        for (;;) {
            switch (readCanFrame(fd_, iface_, &f, error)) {
                case Received::kError:
                    return false;
                case Received::kNothing:
                    return true;
                case Received::kFrame:
                    keep(f);
                    break;
            }
        }
    }

    void keep(const BusFrame& f) {
        if (pending_.size() >= MAX_PENDING_IDS && pending_.find(f.id) == pending_.end()) {
            auto oldest = pending_.begin();
            for (auto it = pending_.begin(); it != pending_.end(); ++it)
                if (it->second.timeUs < oldest->second.timeUs) oldest = it;
            pending_.erase(oldest);
        }
        pending_[f.id] = f;
    }

    int fd_;
    std::string iface_;
    std::unordered_map<uint32_t, BusFrame> pending_;
    std::map<uint16_t, int> locks_;  // kind -> descriptor holding its flock
};

}  // namespace

std::unique_ptr<CanBackend> openSocketCanBackend(const std::string& iface, int64_t startUs,
                                                 std::string* error) {
    (void)startUs;  // the session starts when the socket is bound, just now
    const int fd = openCanSocket(iface, error);
    if (fd < 0) return nullptr;
    return std::make_unique<SocketCanBackend>(fd, iface);
}

}  // namespace kelto::frc
