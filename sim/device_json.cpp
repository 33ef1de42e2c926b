#include "device_json.h"

#include <cstdio>
#include <cstring>

#include "device_model.h"

namespace kelto::sim {

namespace {

// Numeric keys that every device kind has, with the values they accept.
struct NumberKey {
    const char* key;
    int min;
    int max;
};

const NumberKey NUMBER_KEYS[] = {
    {"mute", 0, 1},       {"latency_ms", 0, 60000},    {"period_ms", 1, 60000}, {"status", 0, 255},
    {"boot_reply", 0, 1}, {"flash_busy_ms", 0, 60000}, {"blink", 0, 255},
    {"lose_replies", 0, 255},
};

const char* const TEXT_KEYS[] = {"name", "serial"};
const char* const VERSION_KEYS[] = {"firmware", "hardware", "bootloader"};
const char* const LED_MODES[kLedModeCount] = {"off", "rgb", "register", "cycle", "fade"};

int settingIndex(const std::string& key) {
    for (int s = 0; s < kSettingCount; ++s) {
        if (key == SETTINGS[s].word) return s;
    }
    return -1;
}

// Decimal digits only, at most 9 of them: "" and "+1" are refused.
bool parseNumber(const std::string& text, int* out) {
    if (text.empty() || text.size() > 9) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

bool parseVersion(const std::string& text, uint8_t out[2]) {
    size_t dot = text.find('.');
    int major = 0, minor = 0;
    if (dot == std::string::npos || !parseNumber(text.substr(0, dot), &major) ||
        !parseNumber(text.substr(dot + 1), &minor) || major > 255 || minor > 255)
        return false;
    out[0] = static_cast<uint8_t>(major);
    out[1] = static_cast<uint8_t>(minor);
    return true;
}

bool parseValue(KeyValue& kv, std::string* error) {
    const std::string& k = kv.key;
    const std::string& v = kv.text;
    auto bad = [&](const std::string& expected) {
        *error = "bad value \"" + v + "\" for " + k + ": expected " + expected;
        return false;
    };
    for (const char* t : TEXT_KEYS) {
        if (k == t) return v.size() <= 8 || bad("text of at most 8 bytes");
    }
    for (const char* t : VERSION_KEYS) {
        if (k == t) return parseVersion(v, kv.version) || bad("X.Y with X and Y from 0 to 255");
    }
    if (k == "mode") return v == "app" || v == "bootloader" || bad("app or bootloader");
    int lo = 0, hi = 255;
    for (const NumberKey& n : NUMBER_KEYS) {
        if (k == n.key) lo = n.min, hi = n.max;
    }
    if (!parseNumber(v, &kv.number) || kv.number < lo || kv.number > hi)
        return bad("an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    return true;
}

bool knownKey(const std::string& k) {
    for (const char* t : TEXT_KEYS)
        if (k == t) return true;
    for (const char* t : VERSION_KEYS)
        if (k == t) return true;
    for (const NumberKey& n : NUMBER_KEYS)
        if (k == n.key) return true;
    return k == "mode" || settingIndex(k) >= 0;
}

void setText(uint8_t field[8], const std::string& text) {
    std::memset(field, 0, 8);
    std::memcpy(field, text.data(), text.size());
}

std::string textOf(const uint8_t field[8]) {
    size_t n = 0;
    while (n < 8 && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

std::string versionOf(const uint8_t v[2]) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]);
}

nlohmann::json ledJson(const LedState& led) {
    nlohmann::json registers = nlohmann::json::array();
    for (const auto& r : led.registers) registers.push_back({r[0], r[1], r[2], r[3]});
    return {{"cycle", {led.cycle[0], led.cycle[1]}},
            {"fade", {led.fade[0], led.fade[1]}},
            {"mode", LED_MODES[led.mode < kLedModeCount ? led.mode : 0]},
            {"register", led.reg},
            {"registers", registers},
            {"rgb", {led.rgb[0], led.rgb[1], led.rgb[2]}}};
}

}  // namespace

bool parseKeyValue(const std::string& arg, int kind, KeyValue* out, std::string* error,
                   bool* usage) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
        *usage = true;
        *error = "expected KEY=VALUE, got \"" + arg + "\"";
        return false;
    }
    out->key = arg.substr(0, eq);
    out->text = arg.substr(eq + 1);
    if (!knownKey(out->key)) {
        *error = "unknown key \"" + out->key + "\"";
        return false;
    }
    if (settingIndex(out->key) >= 0 && kind != kTorvexc) {
        *error = "key " + out->key + " applies to torvexc only";
        return false;
    }
    return parseValue(*out, error);
}

void applyKeyValue(Device& d, const KeyValue& kv, int64_t nowUs) {
    const std::string& k = kv.key;
    auto n = static_cast<uint8_t>(kv.number);
    if (k == "name")
        setText(d.name, kv.text);
    else if (k == "serial")
        setText(d.serial, kv.text);
    else if (k == "firmware")
        std::memcpy(d.firmware, kv.version, 2);
    else if (k == "hardware")
        std::memcpy(d.hardware, kv.version, 2);
    else if (k == "bootloader")
        std::memcpy(d.bootloader, kv.version, 2);
    else if (k == "mute")
        d.mute = n;
    else if (k == "latency_ms")
        d.latencyMs = static_cast<uint32_t>(kv.number);
    else if (k == "period_ms")
        d.periodMs = static_cast<uint32_t>(kv.number);
    else if (k == "status")
        d.status = n;
    else if (k == "boot_reply")
        d.bootReply = n;
    else if (k == "flash_busy_ms")
        d.flashBusyMs = static_cast<uint32_t>(kv.number);
    else if (k == "blink")
        d.blink = n;
    else if (k == "lose_replies")
        d.loseReplies = n;
    else if (k == "mode" && kv.text == "app")
        enterApplication(d, nowUs);
    else if (k == "mode") {
        d.mode = kModeBootloader;
        resetPageSequence(d);
    } else if (settingIndex(k) >= 0)
        d.settings[settingIndex(k)] = n;
}

nlohmann::json deviceJson(const Device& d, int flashPages, uint32_t flashCrc) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(flashCrc));
    nlohmann::json j = {
        {"kind", KINDS[d.kind].word},
        {"id", d.id},
        {"name", textOf(d.name)},
        {"serial", textOf(d.serial)},
        {"firmware", versionOf(d.firmware)},
        {"hardware", versionOf(d.hardware)},
        {"bootloader", versionOf(d.bootloader)},
        {"mute", d.mute},
        {"latency_ms", d.latencyMs},
        {"period_ms", d.periodMs},
        {"status", d.status},
        {"mode", d.mode == kModeApp ? "app" : "bootloader"},
        {"boot_reply", d.bootReply},
        {"flash_busy_ms", d.flashBusyMs},
        {"blink", d.blink},
        {"lose_replies", d.loseReplies},
        {"flash", {{"pages", flashPages}, {"crc32", crc}}},
    };
    if (d.kind == kLumabar) j["led"] = ledJson(d.led);
    for (int s = 0; s < kSettingCount && d.kind == kTorvexc; ++s)
        j[SETTINGS[s].word] = d.settings[s];
    return j;
}

}  // namespace kelto::sim
