// Binary layout of the simulated bus's state file (`bus.state` in the bus
// directory). Fixed-size records read and written with pread/pwrite, so a
// platform call touches only the bytes it needs.
//
//   offset 0            StateHeader (64 bytes)
//   offset kRingOffset  FrameRec[kRingSize]: device frames with their bus times
//   offset kSlotOffset  Device[kMaxDevices]: one slot per simulated device
//   offset kFlashOffset 64 KiB of flash per slot (sparse until written)
//
// The layout is that of the machine that runs the tools; `version` and
// `deviceBytes` reject a file written by another build of it.
#ifndef KELTO_SIM_BUS_FORMAT_H
#define KELTO_SIM_BUS_FORMAT_H

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace kelto::sim {

constexpr int kMaxDevices = 128;  // 64 IDs of each of the two kinds
constexpr int kRingSize = 256;    // device frames kept (replies to queries)
constexpr int kPageBytes = 64;
constexpr int kPagesPerDevice = 1024;  // 16-bit page addresses: 0 to 0xFFC0
constexpr int kFlashBytes = kPageBytes * kPagesPerDevice;
constexpr uint32_t kFormatVersion = 1;
constexpr char kStateMagic[8] = {'K', 'E', 'L', 'T', 'O', 'B', 'U', 'S'};

enum Kind : uint8_t { kLumabar = 0, kTorvexc = 1, kKindCount = 2 };
enum Mode : uint8_t { kModeApp = 0, kModeBootloader = 1 };
enum LedMode : uint8_t { kLedOff, kLedRgb, kLedRegister, kLedCycle, kLedFade, kLedModeCount };

// Progress of the bootloader's page sequence: load, 8 data, unlock, erase, write.
enum PageStep : uint8_t { kStepIdle, kStepLoaded, kStepUnlocked, kStepErased, kStepCount };

// One frame on the bus. timeUs is the bus time (microseconds since the epoch
// on the clock of kelto::nowUs()); 0 marks an empty ring entry.
struct FrameRec {
    int64_t timeUs;
    uint32_t id;
    uint8_t len;
    uint8_t data[8];
    uint8_t pad[3];
};
static_assert(sizeof(FrameRec) == 24, "FrameRec layout");

struct LedState {
    uint8_t mode;  // LedMode
    uint8_t reg;   // register shown in mode "register"
    uint8_t rgb[3];
    uint8_t cycle[2];
    uint8_t fade[2];
    uint8_t pad[7];
    uint8_t registers[16][4];
};
static_assert(sizeof(LedState) == 80, "LedState layout");

// Indices into Device::settings (motor controller only).
enum Setting : uint8_t {
    kInverted,
    kPotentiometer,
    kBrake,
    kLimitEnabled,
    kLimitForward,
    kLimitReverse,
    kFaultVoltage,
    kFaultTime,
    kSettingCount
};

struct Device {
    uint8_t used;  // 0: free slot
    uint8_t kind;  // Kind
    uint8_t id;    // device ID 0-63
    uint8_t mode;  // Mode
    uint8_t mute;
    uint8_t status;  // byte 0 of the presence frame
    uint8_t bootReply;
    uint8_t blink;  // seconds of the last blink frame
    uint8_t firmware[2];
    uint8_t hardware[2];
    uint8_t bootloader[2];
    uint8_t loseReplies;  // answers to queries still to be lost (fault injection)
    uint8_t pad0;
    uint32_t latencyMs;
    uint32_t periodMs;
    uint32_t flashBusyMs;
    uint32_t pad1;
    uint8_t name[8];
    uint8_t serial[8];
    uint8_t settings[kSettingCount];
    int64_t addedUs;         // presence phase: frames at addedUs + k * periodMs
    int64_t presenceFromUs;  // no presence frame before this (entry to app, ID change)
    int64_t busyUntilUs;     // flash busy after erase/write until then
    LedState led;
    uint8_t pageStep;  // PageStep
    uint8_t pageData;  // data frames taken since the load (0-8)
    uint16_t pad2;
    uint32_t pageAddress;
    uint8_t pageBuffer[kPageBytes];
    uint8_t written[kPagesPerDevice / 8];  // bit per page: holds written data
};
static_assert(sizeof(Device) == 360, "Device layout");

struct StateHeader {
    char magic[8];
    uint32_t version;
    uint32_t deviceBytes;  // sizeof(Device)
    uint64_t generation;   // +1 on every change; readers revalidate their copy with it
    uint32_t slotCount;    // slots [0, slotCount) may be in use
    uint32_t ringNext;     // ring index the next device frame goes to
    uint8_t pad[32];
};
static_assert(sizeof(StateHeader) == 64, "StateHeader layout");

constexpr off_t kRingOffset = 64;
constexpr off_t kSlotOffset = 8192;
static_assert(kRingOffset + kRingSize * sizeof(FrameRec) <= kSlotOffset, "ring fits");
constexpr off_t kFlashOffset = 65536;
static_assert(kSlotOffset + kMaxDevices * sizeof(Device) <= kFlashOffset, "slots fit");
constexpr off_t kStateFileBytes = kFlashOffset + static_cast<off_t>(kMaxDevices) * kFlashBytes;

inline off_t slotOffset(int slot) {
    return kSlotOffset + static_cast<off_t>(slot) * sizeof(Device);
}
inline off_t pageOffset(int slot, int page) {
    return kFlashOffset + static_cast<off_t>(slot) * kFlashBytes + page * kPageBytes;
}

}  // namespace kelto::sim

#endif
