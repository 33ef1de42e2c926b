// The device settings that kelto_sim reads and writes, as KEY=VALUE pairs and
// as the JSON document of `kelto_sim show`.
//
//   KeyValue kv; parseKeyValue("latency_ms=5", kLumabar, &kv, &err) -> true
//   applyKeyValue(device, kv, now)  -> device.latencyMs == 5
//   parseKeyValue("brake=1", kLumabar, ...) -> false, "key brake applies to torvexc only"
#ifndef KELTO_SIM_DEVICE_JSON_H
#define KELTO_SIM_DEVICE_JSON_H

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "bus_format.h"

namespace kelto::sim {

// One validated pair: the text for name/serial/mode, the bytes of an "X.Y"
// version, or the number of a numeric key.
struct KeyValue {
    std::string key;
    std::string text;
    int number = 0;
    uint8_t version[2] = {0, 0};
};

// False with a message naming the key or value when the pair does not apply
// to a device of `kind`. `arg` without '=' is not a pair: *usage is set.
bool parseKeyValue(const std::string& arg, int kind, KeyValue* out, std::string* error,
                   bool* usage);

// Applies a pair accepted by parseKeyValue; nowUs is when it happens (the
// application restarts at nowUs for mode=app).
void applyKeyValue(Device& d, const KeyValue& kv, int64_t nowUs);

// The document of `kelto_sim show`: every key, kind, id, flash and, for a
// lighting controller, its LED state.
nlohmann::json deviceJson(const Device& d, int flashPages, uint32_t flashCrc);

}  // namespace kelto::sim

#endif
