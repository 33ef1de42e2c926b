// The simulated bus as a backend of the stand-in CAN library: frames a
// tool sends go to the simulated devices (sim_bus.h); receives read the
// devices' frames with this process's view of what it has been handed.
// Update locks are flock()s on files in the bus directory, one per
// bootloader kind: update-1b07.lock, update-1a07.lock.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "can_backend.h"
#include "file_lock.h"
#include "sim_bus.h"

namespace kelto::frc {

namespace {

class SimBackend : public CanBackend {
  public:
    SimBackend(std::unique_ptr<sim::Bus> bus, int64_t startUs) : bus_(std::move(bus)) {
        view_.started = true;
        view_.startUs = startUs;
    }

    ~SimBackend() override {
        for (const auto& held : locks_) close(held.second);  // closing releases the flock
    }

    bool send(const BusFrame& frame, std::string* error) override {
        sim::FrameRec f{};
        f.timeUs = frame.timeUs;
        f.id = frame.id;
        f.len = frame.len;
        std::memcpy(f.data, frame.data, sizeof f.data);
        return sim::busSend(*bus_, f, error);
    }

    Received receive(uint32_t wantId, uint32_t mask, int64_t nowUs, BusFrame* out,
                     std::string* error) override {
        sim::FrameRec f{};
        switch (sim::busReceive(*bus_, view_, wantId, mask, nowUs, &f, error)) {
            case sim::kReceiveError:
                return Received::kError;
            case sim::kNothing:
                return Received::kNothing;
            case sim::kReceived:
                break;
        }
        out->timeUs = f.timeUs;
        out->id = f.id;
        out->len = f.len;
        std::memcpy(out->data, f.data, sizeof out->data);
        return Received::kFrame;
    }

    UpdateLock lockUpdates(uint16_t bootHighHalf, std::string* error) override {
        if (locks_.count(bootHighHalf) != 0) return UpdateLock::kHeld;
        const std::string path = bus_->dir + "/" + updateLockName(bootHighHalf);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const UpdateLock got = flockWithoutWaiting(fd, path, error);
        if (got == UpdateLock::kHeld) locks_[bootHighHalf] = fd;
        return got;
    }

  private:
    std::unique_ptr<sim::Bus> bus_;
    sim::ReceiveView view_;
    std::map<uint16_t, int> locks_;  // kind -> descriptor holding its flock
};

}  // namespace

std::unique_ptr<CanBackend> openSimBackend(const std::string& dir, int64_t startUs,
                                           std::string* error) {
    std::unique_ptr<sim::Bus> bus = sim::openBus(dir, error);
    if (!bus) return nullptr;
    return std::make_unique<SimBackend>(std::move(bus), startUs);
}

}  // namespace kelto::frc
