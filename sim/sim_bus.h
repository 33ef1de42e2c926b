// The simulated CAN bus, embedded in each process that uses it: no daemon.
// Its state lives in files in the bus directory (bus.state, trace.log and
// its one older part trace.log.1); each platform call reads or changes them
// under a file lock, so concurrent processes on one bus lose no update.
//
// The files are the input of every program on the bus and are treated as
// such: every field is validated where it is read (a bad one makes the bus
// "corrupt"), links are not followed, the directory must belong to the
// running user (or root) and be writable by nobody else, a lock held by a
// stopped or hung process is given up after kLockWaitMs, and a state file
// truncated or replaced while in use is reported as corrupt.
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
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

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
    int dirFd = -1;  // the bus directory: every file is opened relative to it
    int stateFd = -1;
    ino_t stateIno = 0;  // the state file opened: a file of another inode at its name replaced it
    dev_t stateDev = 0;
    int traceFd = -1;
    int64_t traceEnd = -1;     // trace size after this process's last line; -1: unknown
    int64_t traceLastUs = 0;   // bus time of that line
    bool traceWarned = false;  // a lost trace line has been reported on standard error
    bool lockGaveUp = false;   // a lock wait ran out: later calls do not wait again
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

// How long a lock held by another process is waited for before the call
// fails with a message. Every legitimate holder keeps the lock for well under
// a millisecond (one frame, one edit; clearing a bus writes 64 KiB), so even
// a loaded machine under sanitizers stays far below it; a holder past it is
// stopped (SIGSTOP, a debugger) or hung, and a tool then ends with one line
// that says so instead of hanging with no message.
constexpr int kLockWaitMs = 5000;

// The trace is rotated when a line would take it past this size: trace.log
// is copied to trace.log.1 (replacing the older one) and emptied.
constexpr int64_t kTraceMaxBytes = int64_t{64} << 20;

// Bus times and device times stored in the state file lie in [0, kMaxBusTimeUs]
// (0: none); the limit, far in the future, keeps every sum of a stored time
// and a period or latency inside int64_t.
constexpr int64_t kMaxBusTimeUs = int64_t{1} << 60;

std::string statePath(const std::string& dir);
std::string tracePath(const std::string& dir);
std::string oldTracePath(const std::string& dir);  // trace.log.1

// Opens (creating with parents, mode 0700) the bus in `dir`. A new state file
// (mode 0600) is built under a temporary name and renamed into place, so no
// program ever sees a half-made one. An existing file is not checked here: a
// corrupt one makes the later calls fail, and busClear recovers it. Refuses a
// directory that belongs to another user (root's is accepted) or that others
// may write to, and a state or trace file that is a symbolic link.
//
// Ignores SIGXFSZ in the calling process: a write past the file-size limit
// fails with EFBIG and is reported like any other failed write.
std::unique_ptr<Bus> openBus(const std::string& dir, std::string* error);

// A frame a tool sends at frame.timeUs: delivered to the devices (which may
// queue replies) and appended to the trace. Not put on the bus for receivers.
bool busSend(Bus& bus, const FrameRec& frame, std::string* error);

enum ReceiveResult { kReceiveError = -1, kNothing = 0, kReceived = 1 };

// The newest device frame with bus time <= nowUs matching `wantId` under
// `mask` ((id & mask) == (wantId & mask)) that the view has not been handed:
// newer than the last one handed for its identifier and not older than the
// view's start (the first call starts the view at nowUs). Handing one over
// drops the older unread ones of its identifier and appends it to the trace
// under the trace's lock only: a reader holding the state's shared lock
// does not hold it up, and the search needs no lock while the cached copy
// is current.
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

// One trace line: "(1700000000.123456) sim 08072405#00FF0000\n".
//
// The trace is a candump log in time order. Each frame is appended as one
// write of its whole line when it is sent or handed over, under the trace's
// lock (byte 1 of bus.state), which every trace write takes; a frame handed over
// after a line with a later time (frames of two devices with their own
// phases, a reply taken after the next query went out) is stamped with that
// line's time. A line that could not be written whole is cut off again, and
// the first lost line of a process is reported on standard error (the frame
// itself still counts as sent).
std::string traceLine(const FrameRec& frame);

// The same line written into `out`, which holds kTraceLineMax bytes; returns
// its length. Allocates nothing.
constexpr size_t kTraceLineMax = 64;
size_t formatTraceLine(const FrameRec& frame, char* out);

// Writes the trace (trace.log.1, then trace.log) to `out` in pieces: memory
// use does not grow with its size.
bool streamTrace(Bus& bus, std::ostream& out, std::string* error);
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
