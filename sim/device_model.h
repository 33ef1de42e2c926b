// What the simulated devices do with a frame a tool sends, and when they
// send their own frames. Pure functions over the device slots: the bus layer
// (sim_bus.h) loads the slots, calls deliverFrame and stores what changed.
//
//   Device d = newDevice(kLumabar, 5, now);   // serial "LB000005", presence 0x08072405
//   deliverFrame(slots, count, {now, 0x08073805, 0}, now, &fx);
//   -> fx.replies == {{now + 1000, 0x08073805, 8, name bytes}}
#ifndef KELTO_SIM_DEVICE_MODEL_H
#define KELTO_SIM_DEVICE_MODEL_H

#include <bitset>
#include <cstdint>
#include <vector>

#include "bus_format.h"

namespace kelto::sim {

// The identifiers of one device kind, device ID 0 (OR the ID for one device).
struct KindInfo {
    const char* word;  // "lumabar", "torvexc"
    const char* serialPrefix;
    uint32_t presenceId;
    uint32_t nameId;
    uint32_t serialId;
    uint32_t versionsId;
    uint32_t blinkId;
    uint32_t idId;
    uint32_t bootHigh;  // bits 31-16 of the bootloader identifiers
};
extern const KindInfo KINDS[kKindCount];

// Motor-controller settings: word and identifier (device ID 0), by Setting index.
struct SettingInfo {
    const char* word;
    uint32_t messageId;
};
extern const SettingInfo SETTINGS[kSettingCount];

// Bootloader identifiers: bootHigh << 16 | these.
constexpr uint32_t kBootData = 0x0040;
constexpr uint32_t kBootCommand = 0x0042;
constexpr uint32_t kBootReset = 0x00C2;
constexpr uint32_t kBootReply = 0x0100;
constexpr uint32_t kBootEnter = 0x0180;

// Bootloader command codes (byte 4 of a command frame).
constexpr uint8_t kCmdUnlock = 0x0A;
constexpr uint8_t kCmdLoadAddress = 0x0B;
constexpr uint8_t kCmdWrite = 0x0D;
constexpr uint8_t kCmdErase = 0x0E;
constexpr uint8_t kCmdRunApp = 0x11;

// -1 for an unknown word.
int kindOf(const char* word);

// A device as added: every default of a new device, phase starting at nowUs.
Device newDevice(Kind kind, uint8_t id, int64_t nowUs);

// Back to the start of the page sequence (nothing loaded).
void resetPageSequence(Device& d);

// Starts the application: presence frames resume from nowUs.
void enterApplication(Device& d, int64_t nowUs);

// Identifier of the device's presence frames.
inline uint32_t presenceIdOf(const Device& d) {
    return KINDS[d.kind].presenceId | d.id;
}

// Bus time of the newest presence frame at or before nowUs, or -1 when the
// device has sent none (in its bootloader, or before its first frame).
int64_t latestPresenceUs(const Device& d, int64_t nowUs);

// The presence frame of d at bus time t: byte 0 the status, bytes 1-7 zero.
FrameRec presenceFrame(const Device& d, int64_t t);

// What one delivered frame changed.
struct Effects {
    std::bitset<kMaxDevices> dirty;          // slots to store
    std::vector<std::pair<int, int>> pages;  // (slot, page index) to store from pageBuffer
    std::vector<FrameRec> replies;           // device frames to put on the bus
};

// Hands a frame a tool sent at bus time nowUs to every device in slots
// [0, count). Frames no device takes are ignored.
void deliverFrame(Device* slots, int count, const FrameRec& frame, int64_t nowUs, Effects* fx);

}  // namespace kelto::sim

#endif
