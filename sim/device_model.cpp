#include "device_model.h"

#include <cstdio>
#include <cstring>

namespace kelto::sim {

const KindInfo KINDS[kKindCount] = {
    {"lumabar", "LB", 0x08072400, 0x08073800, 0x08074400, 0x08073000, 0x08074000, 0x08073400,
     0x1b07},
    {"torvexc", "TC", 0x02072400, 0x02073800, 0x02074400, 0x02073000, 0x02074000, 0x02073400,
     0x1a07},
};

const SettingInfo SETTINGS[kSettingCount] = {
    {"inverted", 0x02071C00},      {"potentiometer", 0x02071C80}, {"brake", 0x02071CC0},
    {"limit_enabled", 0x02071D00}, {"limit_forward", 0x02071D40}, {"limit_reverse", 0x02071D80},
    {"fault_voltage", 0x02071DC0}, {"fault_time", 0x02071E00},
};

namespace {

// LED state of a new lighting controller and after its reset frame.
void resetLed(LedState& led) {
    led = LedState{};
}

// True when the eight bytes add up to 0x46 modulo 256 (ID change, bootloader entry).
bool sumRuleHolds(const uint8_t* data, uint8_t len) {
    unsigned sum = 0;
    for (int i = 0; i < len; ++i) sum += data[i];
    return len == 8 && (sum & 0xFF) == 0x46;
}

// Lighting frames of the lighting controller (OR its ID).
constexpr uint32_t kShowRgb = 0x08070000;
constexpr uint32_t kWriteRegister = 0x08070180;
constexpr uint32_t kShowRegister = 0x08070040;
constexpr uint32_t kCycle = 0x08070140;
constexpr uint32_t kFade = 0x080700C0;
constexpr uint32_t kLedReset = 0x00000040;

constexpr int64_t kUsPerMs = 1000;

void reply(const Device& d, uint32_t id, const uint8_t* data, uint8_t len, int64_t nowUs,
           Effects* fx) {
    FrameRec f{};
    f.timeUs = nowUs + static_cast<int64_t>(d.latencyMs) * kUsPerMs;
    f.id = id;
    f.len = len;
    if (len > 0) std::memcpy(f.data, data, len);
    fx->replies.push_back(f);
}

// Queues an answer to a query, unless it is one the device is set to lose.
// True when the device changed (one fewer answer to lose).
bool answer(Device& d, uint32_t id, const uint8_t* data, uint8_t len, int64_t nowUs,
            Effects* fx) {
    if (d.loseReplies > 0) {
        --d.loseReplies;
        return true;
    }
    reply(d, id, data, len, nowUs, fx);
    return false;
}

bool idTaken(const Device* slots, int count, uint8_t kind, uint8_t id) {
    for (int i = 0; i < count; ++i) {
        if (slots[i].used && slots[i].kind == kind && slots[i].id == id) return true;
    }
    return false;
}

// ID change: 8 bytes, byte 0 the current ID, byte 1 the new one, sum rule.
bool changeId(Device* slots, int count, Device& d, const FrameRec& f, int64_t nowUs) {
    if (f.len != 8 || f.data[0] != d.id || !sumRuleHolds(f.data, f.len)) return false;
    uint8_t newId = f.data[1];
    if (newId > 63 || newId == d.id || idTaken(slots, count, d.kind, newId)) return false;
    d.id = newId;
    d.presenceFromUs = nowUs;
    return true;
}

bool lightingFrame(Device& d, uint32_t api, const FrameRec& f) {
    LedState& led = d.led;
    if (api == kShowRgb && f.len == 4) {
        led.mode = kLedRgb;
        std::memcpy(led.rgb, f.data + 1, 3);
    } else if (api == kWriteRegister && f.len == 5) {
        if (f.data[0] >= 16) return false;
        std::memcpy(led.registers[f.data[0]], f.data + 1, 4);
    } else if (api == kShowRegister && f.len == 1) {
        led.mode = kLedRegister;
        led.reg = f.data[0];
    } else if (api == kCycle && f.len == 2) {
        led.mode = kLedCycle;
        std::memcpy(led.cycle, f.data, 2);
    } else if (api == kFade && f.len == 2) {
        led.mode = kLedFade;
        std::memcpy(led.fade, f.data, 2);
    } else {
        return false;
    }
    return true;
}

// A frame to a device in its application. True when the device changed.
bool applicationFrame(Device* slots, int count, Device& d, const FrameRec& f, int64_t nowUs,
                      Effects* fx) {
    const KindInfo& k = KINDS[d.kind];
    uint8_t buf[8] = {};
    if (f.id == (k.nameId | d.id)) {
        if (f.len == 0) {
            return !d.mute && answer(d, f.id, d.name, 8, nowUs, fx);
        }
        std::memset(d.name, 0, 8);
        std::memcpy(d.name, f.data, f.len);
        return true;
    }
    if (f.id == (k.serialId | d.id)) {
        return f.len == 0 && !d.mute && answer(d, f.id, d.serial, 8, nowUs, fx);
    }
    if (f.id == (k.versionsId | d.id)) {
        if (f.len != 0 || d.mute) return false;
        uint8_t v[8] = {d.firmware[0],
                        d.firmware[1],
                        d.hardware[0],
                        d.hardware[1],
                        d.bootloader[0],
                        d.bootloader[1],
                        0,
                        0};
        return answer(d, f.id, v, 8, nowUs, fx);
    }
    if (f.id == (k.blinkId | d.id)) {
        if (f.len != 1) return false;
        d.blink = f.data[0];
        return true;
    }
    if (f.id == (k.idId | d.id)) return changeId(slots, count, d, f, nowUs);
    if (d.kind == kLumabar) {
        if (f.id == (kLedReset | d.id) && f.len == 0) {
            resetLed(d.led);
            return true;
        }
        if ((f.id & 0x3F) == d.id) return lightingFrame(d, f.id & ~0x3Fu, f);
        return false;
    }
    for (int s = 0; s < kSettingCount; ++s) {
        if (f.id != (SETTINGS[s].messageId | d.id)) continue;
        if (f.len == 1) {
            d.settings[s] = f.data[0];
            return true;
        }
        buf[0] = d.settings[s];
        return f.len == 0 && !d.mute && answer(d, f.id, buf, 1, nowUs, fx);
    }
    return false;
}

// Bootloader entry (both modes): switch to the bootloader and answer with the versions.
void bootEntry(Device& d, int64_t nowUs, Effects* fx) {
    d.mode = kModeBootloader;
    resetPageSequence(d);
    if (!d.bootReply) return;
    uint8_t v[8] = {d.bootloader[0],
                    d.bootloader[1],
                    d.firmware[0],
                    d.firmware[1],
                    d.hardware[0],
                    d.hardware[1],
                    0,
                    0};
    reply(d, KINDS[d.kind].bootHigh << 16 | kBootReply, v, 8, nowUs, fx);
}

uint32_t pageAddressOf(const uint8_t* data) {
    return data[0] | static_cast<uint32_t>(data[1]) << 8 | static_cast<uint32_t>(data[2]) << 16;
}

// One page command. The sequence for an address A is
//   load(A), 8 data frames, unlock(A), erase(A), write(A);
// A load of a valid address (a multiple of 64 up to 0xFFC0, byte 3 0x40)
// always starts it anew, with the page buffer reset to 0xFF. Sent back to the
// start, with nothing written, by: a command that is not the next step or
// names another address, an unlock before all 8 data frames, a load of an
// invalid address, an unknown command code, and (bootloaderFrame) a data
// frame outside the 8 after a load. Write completes the sequence. A command
// arriving while the flash is busy (flash_busy_ms after an erase or write) is
// lost: it changes nothing, so the sequence still waits for it. Run
// application (0x11) is taken whatever bytes 0-3 hold.
void pageCommand(Device& d, int slot, const FrameRec& f, int64_t nowUs, Effects* fx) {
    if (nowUs < d.busyUntilUs) return;
    uint8_t code = f.data[4];
    if (code == kCmdRunApp) {
        enterApplication(d, nowUs);
        return;
    }
    uint32_t address = pageAddressOf(f.data);
    bool validAddress = f.data[3] == 0x40 && address % kPageBytes == 0 && address <= 0xFFC0;
    bool sameAddress = validAddress && address == d.pageAddress;
    int64_t busyUntil = nowUs + static_cast<int64_t>(d.flashBusyMs) * kUsPerMs;
    int page = static_cast<int>(address / kPageBytes);
    if (code == kCmdLoadAddress && validAddress) {
        d.pageStep = kStepLoaded;
        d.pageData = 0;
        d.pageAddress = address;
        std::memset(d.pageBuffer, 0xFF, kPageBytes);
    } else if (code == kCmdUnlock && sameAddress && d.pageStep == kStepLoaded && d.pageData == 8) {
        d.pageStep = kStepUnlocked;
    } else if (code == kCmdErase && sameAddress && d.pageStep == kStepUnlocked) {
        d.pageStep = kStepErased;
        d.written[page / 8] &= static_cast<uint8_t>(~(1u << (page % 8)));
        d.busyUntilUs = busyUntil;
    } else if (code == kCmdWrite && sameAddress && d.pageStep == kStepErased) {
        d.written[page / 8] |= static_cast<uint8_t>(1u << (page % 8));
        d.busyUntilUs = busyUntil;
        fx->pages.emplace_back(slot, page);
        resetPageSequence(d);
    } else {
        resetPageSequence(d);
    }
}

// A frame to a device in its bootloader. True when the device changed.
bool bootloaderFrame(Device& d, int slot, const FrameRec& f, int64_t nowUs, Effects* fx) {
    uint32_t high = KINDS[d.kind].bootHigh << 16;
    if (f.id == (high | kBootEnter) || f.id == (high | kBootEnter | d.id)) {
        if (f.len != 8 || !sumRuleHolds(f.data, f.len)) return false;
        bootEntry(d, nowUs, fx);
        return true;
    }
    if (f.id == (high | kBootCommand)) {
        if (f.len != 8) return false;
        pageCommand(d, slot, f, nowUs, fx);
        return true;
    }
    if (f.id == (high | kBootData)) {
        if (f.len != 8) return false;
        if (d.pageStep == kStepLoaded && d.pageData < 8) {
            std::memcpy(d.pageBuffer + d.pageData * 8, f.data, 8);
            ++d.pageData;
        } else {
            resetPageSequence(d);
        }
        return true;
    }
    if (f.id == (high | kBootReset) && f.len == 0) {
        enterApplication(d, nowUs);
        return true;
    }
    return false;
}

}  // namespace

int kindOf(const char* word) {
    for (int k = 0; k < kKindCount; ++k) {
        if (std::strcmp(word, KINDS[k].word) == 0) return k;
    }
    return -1;
}

void resetPageSequence(Device& d) {
    d.pageStep = kStepIdle;
    d.pageData = 0;
    d.pageAddress = 0;
}

void enterApplication(Device& d, int64_t nowUs) {
    d.mode = kModeApp;
    d.presenceFromUs = nowUs;
    resetPageSequence(d);
}

Device newDevice(Kind kind, uint8_t id, int64_t nowUs) {
    Device d{};
    d.used = 1;
    d.kind = kind;
    d.id = id;
    d.mode = kModeApp;
    d.bootReply = 1;
    d.firmware[0] = d.hardware[0] = d.bootloader[0] = 1;
    d.latencyMs = 1;
    d.periodMs = 50;
    d.flashBusyMs = 5;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%s%06u", KINDS[kind].serialPrefix, id);
    std::memcpy(d.serial, serial, 8);
    d.addedUs = nowUs;
    d.presenceFromUs = nowUs;
    resetLed(d.led);
    return d;
}

int64_t latestPresenceUs(const Device& d, int64_t nowUs) {
    if (d.mode != kModeApp || nowUs < d.addedUs || d.periodMs == 0) return -1;
    int64_t period = static_cast<int64_t>(d.periodMs) * kUsPerMs;
    int64_t t = d.addedUs + (nowUs - d.addedUs) / period * period;
    return t >= d.presenceFromUs ? t : -1;
}

FrameRec presenceFrame(const Device& d, int64_t t) {
    FrameRec f{};
    f.timeUs = t;
    f.id = presenceIdOf(d);
    f.len = 8;
    f.data[0] = d.status;
    return f;
}

void deliverFrame(Device* slots, int count, const FrameRec& frame, int64_t nowUs, Effects* fx) {
    for (int i = 0; i < count; ++i) {
        Device& d = slots[i];
        if (!d.used) continue;
        bool changed = false;
        if (d.mode == kModeBootloader) {
            changed = bootloaderFrame(d, i, frame, nowUs, fx);
        } else {
            uint32_t enter = KINDS[d.kind].bootHigh << 16 | kBootEnter | d.id;
            if (frame.id == enter && sumRuleHolds(frame.data, frame.len)) {
                bootEntry(d, nowUs, fx);
                changed = true;
            } else {
                changed = applicationFrame(slots, count, d, frame, nowUs, fx);
            }
        }
        if (changed) fx->dirty.set(i);
    }
}

}  // namespace kelto::sim
