// libFuzzer target: the simulated bus's state file, whole, as every program
// opens and uses it. The input is the head of bus.state; an input of a
// header or more is extended with zeros to the full size (so the fuzzer
// works on the fields, not on the size check), a shorter one is the whole,
// truncated file. Then, as kelto_sim does: open, read, summarise every
// device's flash, add a device; and as a tool does through the stand-in:
// receive presence and replies, send queries and a bootloader page sequence.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CANSessionMux.h"
#include "can_session_mux_internal.h"
#include "device_json.h"
#include "device_model.h"
#include "sim_bus.h"
#include "virtual_clock.h"

namespace {

using namespace kelto::sim;

std::string busDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/kelto_state_fuzz_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        std::string d = std::string(tmpl) + "/bus";
        setenv("KELTO_CAN_BUS", ("sim:" + d).c_str(), 1);
        std::string err;
        if (!openBus(d, &err)) std::abort();  // creates the directory
        return d;
    }();
    return dir;
}

void writeState(const std::string& dir, const uint8_t* data, size_t size) {
    int fd = open(statePath(dir).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    if (size >= sizeof(StateHeader) && ftruncate(fd, kStateFileBytes) != 0) std::abort();
    close(fd);
}

// What kelto_sim list and add do with the bus.
void asKeltoSim(const std::string& dir) {
    std::string err;
    auto bus = openBus(dir, &err);
    if (!bus) return;
    BusImage image;
    if (!busRead(*bus, &image, &err)) return;
    for (uint32_t i = 0; i < image.header.slotCount; ++i) {
        const Device& d = image.slots[i];
        if (!d.used) continue;
        int pages = 0;
        uint32_t crc = 0;
        if (flashSummary(*bus, static_cast<int>(i), d, &pages, &crc, &err))
            (void)deviceJson(d, pages, crc).dump(-1, ' ', false,
                                                  nlohmann::json::error_handler_t::replace);
    }
    busEdit(
        *bus,
        [](BusImage& im, std::string* e) {
            int slot = 0;
            while (slot < kMaxDevices && im.slots[slot].used) ++slot;
            if (slot == kMaxDevices || findDevice(im, kLumabar, 33) >= 0) {
                *e = "full";
                return false;
            }
            im.slots[slot] = newDevice(kLumabar, 33, kelto::nowUs());
            if (im.header.slotCount <= static_cast<uint32_t>(slot)) im.header.slotCount = slot + 1;
            return true;
        },
        &err);
}

void receive(uint32_t id) {
    uint8_t buf[8];
    uint8_t size = 8;
    uint32_t stamp = 0;
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, buf, &size, &stamp,
                                                          &status);
}

void send(uint32_t id, const uint8_t* data, uint8_t len) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(id, data, len, 0, &status);
}

// What a tool does: presence of every lighting controller, a name query
// answered, a bootloader entry and one page sequence.
void asTool() {
    kelto::frc::forgetCanSession();
    receive(0x08072400);  // starts the session
    virtualClockAdvanceUs(60000);
    for (uint32_t id = 0; id < 64; ++id) receive(0x08072400 | id);
    send(0x08073805, nullptr, 0);
    virtualClockAdvanceUs(2000);
    receive(0x08073805);
    const uint8_t enter[8] = {1, 2, 3, 4, 5, 6, 7, 0x46 - 28};
    send(0x1B070180 | 5, enter, 8);
    const uint8_t load[8] = {0x40, 0, 0, 0x40, 0x0B, 0, 0, 0};
    send(0x1B070042, load, 8);
    for (int i = 0; i < 8; ++i) send(0x1B070040, enter, 8);
    for (uint8_t cmd : {0x0A, 0x0E, 0x0D}) {
        uint8_t c[8] = {0x40, 0, 0, 0x40, cmd, 0, 0, 0};
        virtualClockAdvanceUs(10000);
        send(0x1B070042, c, 8);
    }
    virtualClockAdvanceUs(2000);
    receive(0x1B070100);
    kelto::frc::forgetCanSession();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = busDir();
    virtualClockReset();
    writeState(dir, data, size);
    asTool();
    writeState(dir, data, size);
    asKeltoSim(dir);
    return 0;
}
