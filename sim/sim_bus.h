// The simulated CAN bus, embedded in each process that uses it: no daemon.
// Its state lives in files in the bus directory (bus.state, trace.log); each
// platform call reads or changes them under a file lock, so concurrent
// processes on one bus lose no update.
//
//   std::string err;
//   auto bus = openBus("/tmp/bus", &err);           // created on first use
//   FrameRec f{kelto::nowUs(), 0x08073805, 0, {}};  // name query to lumabar 5
//   busSend(*bus, f, &err);                         // the device answers 1 ms later
//   ReceiveView view;                               // one per process
//   busReceive(*bus, view, 0x08073805, 0xFFFFFFFF, now + 1000, &out, &err) == kReceived
//
// Time is always passed in (bus time, kelto::nowUs()); nothing here reads a clock.
#ifndef KELTO_SIM_SIM_BUS_H
#define KELTO_SIM_SIM_BUS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus_format.h"

namespace kelto::sim {

// A copy of the bus state: header, ring and the slots [0, header.slotCount).
struct BusImage {
    StateHeader header{};
    FrameRec ring[kRingSize]{};
    std::vector<Device> slots;  // always kMaxDevices long; only [0, slotCount) read
};

// An open bus: file descriptors and this process's cached copy of the state.
struct Bus {
    std::string dir;
    int stateFd = -1;
    int traceFd = -1;
    const void* headerMap = nullptr;  // the state file's header, mapped shared and read-only
    bool cached = false;
    BusImage cache;
    ~Bus();
};

// What one process has been handed: the session's start and, per identifier,
// the bus time of the last frame handed over.
struct ReceiveView {
    bool started = false;
    int64_t startUs = 0;
    std::unordered_map<uint32_t, int64_t> lastHandedUs;
};

std::string statePath(const std::string& dir);
std::string tracePath(const std::string& dir);

// Opens (creating with parents, mode 0700) the bus in `dir`. A new state file
// (mode 0600) starts empty. An existing file is not checked here: a corrupt
// one makes the later calls fail, and busClear recovers it.
std::unique_ptr<Bus> openBus(const std::string& dir, std::string* error);

// A frame a tool sends at frame.timeUs: delivered to the devices (which may
// queue replies) and appended to the trace. Not put on the bus for receivers.
bool busSend(Bus& bus, const FrameRec& frame, std::string* error);

enum ReceiveResult { kReceiveError = -1, kNothing = 0, kReceived = 1 };

// The newest device frame with bus time <= nowUs matching `wantId` under
// `mask` ((id & mask) == (wantId & mask)) that the view has not been handed:
// newer than the last one handed for its identifier and not older than the
// view's start (the first call starts the view at nowUs). Handing one over
// drops the older unread ones of its identifier and appends it to the trace.
ReceiveResult busReceive(Bus& bus, ReceiveView& view, uint32_t wantId, uint32_t mask, int64_t nowUs,
                         FrameRec* out, std::string* error);

// Reads the state (shared lock). Fails on a corrupt state.
bool busRead(Bus& bus, BusImage* image, std::string* error);

// Read-modify-write of the whole state under the exclusive lock: `edit`
// changes the image (slots, header, ring entries) and returns false with a
// message to change nothing.
using BusEdit = std::function<bool(BusImage& image, std::string* error)>;
bool busEdit(Bus& bus, const BusEdit& edit, std::string* error);

// Empties the bus (no devices, no frames) and its trace; recovers a corrupt state.
bool busClear(Bus& bus, std::string* error);

// Written pages of the device in `slot`: count and zlib crc32 over their 64
// bytes each, ascending page address.
bool flashSummary(Bus& bus, int slot, const Device& d, int* pages, uint32_t* crc,
                  std::string* error);

// One 64-byte page of the device in `slot`.
bool readPage(Bus& bus, int slot, int page, uint8_t* out, std::string* error);

// One trace line: "(1700000000.123456) sim 08072405#00FF0000\n".
std::string traceLine(const FrameRec& frame);
bool readTrace(Bus& bus, std::string* text, std::string* error);
bool clearTrace(Bus& bus, std::string* error);

// Slot of the device (kind, id), or -1.
int findDevice(const BusImage& image, int kind, int id);

// This process's copy of the state, brought up to date (shared lock only
// when it moved); valid until the next call on `bus`. Null on a corrupt state.
const BusImage* busView(Bus& bus, std::string* error);

// Appends a frame that went over the bus by another way (a CAN interface
// that kelto_sim serves the devices on) to the trace.
void traceFrame(Bus& bus, const FrameRec& frame);

}  // namespace kelto::sim

#endif
