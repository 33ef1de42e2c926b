// kelto_sim: the simulated CAN bus's own command line. Adds, changes, shows
// and removes simulated devices and prints or clears the bus trace, on the
// bus that KELTO_CAN_BUS selects (the same one the tools use).
//
//   kelto_sim add lumabar 5 name=Front   -> {"blink":0,...,"id":5,"kind":"lumabar",...}
//   kelto_sim show torvexc 9             -> {"error":"no torvexc with ID 9"}, exit 1
//
// Exit status: 0 success; 1 failure ({"error":...}); 2 usage error (the
// command line's shape: subcommand, argument count, KIND, ID, a pair without
// '='), also with an error document.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus_selection.h"
#include "clock.h"
#include "device_json.h"
#include "device_model.h"
#include "serve.h"
#include "sim_bus.h"

using namespace kelto::sim;

namespace {

const char USAGE[] =
    "usage: kelto_sim add KIND ID [KEY=VALUE...] | set KIND ID KEY=VALUE... | show KIND ID | "
    "list | remove KIND ID | clear | trace [--clear] | serve IFACE\n"
    "  KIND: lumabar or torvexc; ID: 0 to 63; bus: KELTO_CAN_BUS (sim:PATH, or unset for the "
    "embedded bus)\n"
    "  serve IFACE: the bus's devices on a Linux CAN interface until SIGINT or SIGTERM\n"
    "  keys: name serial firmware hardware bootloader mute latency_ms period_ms status mode "
    "boot_reply flash_busy_ms blink lose_replies; torvexc also inverted potentiometer brake "
    "limit_enabled "
    "limit_forward limit_reverse fault_voltage fault_time\n";

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void print(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

int fail(int code, const std::string& message) {
    print({{"error", message}});
    return code;
}

// The device a command names: KIND and ID from argv[2], argv[3].
struct Target {
    int kind = -1;
    int id = -1;
};

bool parseTarget(char** argv, Target* t, std::string* error) {
    t->kind = kindOf(argv[2]);
    if (t->kind < 0) {
        *error = std::string("unknown kind \"") + argv[2] + "\"; use lumabar or torvexc";
        return false;
    }
    const char* s = argv[3];
    size_t n = std::strlen(s);
    bool digits = n > 0 && n <= 2 && std::strspn(s, "0123456789") == n;
    t->id = digits ? std::atoi(s) : -1;
    if (t->id < 0 || t->id > 63) {
        *error = std::string("bad device ID \"") + s + "\"; use 0 to 63";
        return false;
    }
    return true;
}

std::string deviceName(const Target& t) {
    return std::string(KINDS[t.kind].word) + " with ID " + std::to_string(t.id);
}

std::unique_ptr<Bus> openSelectedBus(std::string* error) {
    const kelto::frc::BusSelection sel = kelto::frc::busSelectionFromEnv();
    if (sel.backend.empty()) {
        *error = sel.problem;
        return nullptr;
    }
    if (sel.backend != kelto::frc::SIMULATED_BUS) {
        *error = "kelto_sim keeps simulated buses; KELTO_CAN_BUS selects the " + sel.backend +
                 " bus " + sel.where;
        return nullptr;
    }
    return openBus(sel.where, error);
}

int showDevice(Bus& bus, const Target& t) {
    std::string err;
    BusImage image;
    if (!busRead(bus, &image, &err)) return fail(kExitFailure, err);
    int slot = findDevice(image, t.kind, t.id);
    if (slot < 0) return fail(kExitFailure, "no " + deviceName(t));
    int pages = 0;
    uint32_t crc = 0;
    if (!flashSummary(bus, slot, image.slots[slot], &pages, &crc, &err))
        return fail(kExitFailure, err);
    print(deviceJson(image.slots[slot], pages, crc));
    return kExitOk;
}

// add and set: validate every pair first, then change the device in one edit.
int addOrSet(Bus& bus, const Target& t, bool add, int argc, char** argv) {
    std::vector<KeyValue> pairs;
    std::string err;
    for (int i = 4; i < argc; ++i) {
        KeyValue kv;
        bool usage = false;
        if (!parseKeyValue(argv[i], t.kind, &kv, &err, &usage))
            return fail(usage ? kExitUsage : kExitFailure, err);
        pairs.push_back(kv);
    }
    int64_t now = kelto::nowUs();
    bool ok = busEdit(
        bus,
        [&](BusImage& image, std::string* error) {
            int slot = findDevice(image, t.kind, t.id);
            if (add && slot >= 0) {
                *error = deviceName(t) + " already exists";
                return false;
            }
            if (!add && slot < 0) {
                *error = "no " + deviceName(t);
                return false;
            }
            if (add) {
                for (slot = 0; slot < kMaxDevices && image.slots[slot].used; ++slot) {
                }
                if (slot == kMaxDevices) {
                    *error = "the bus is full";
                    return false;
                }
                image.slots[slot] =
                    newDevice(static_cast<Kind>(t.kind), static_cast<uint8_t>(t.id), now);
                if (image.header.slotCount <= static_cast<uint32_t>(slot))
                    image.header.slotCount = slot + 1;
            }
            for (const KeyValue& kv : pairs) applyKeyValue(image.slots[slot], kv, now);
            return true;
        },
        &err);
    if (!ok) return fail(kExitFailure, err);
    return showDevice(bus, t);
}

// Removes the device. Its newest presence frame has already reached the bus
// and stays in the ring for a process that has not taken it yet, as on a
// real bus; no frame of it comes later.
int removeDevice(Bus& bus, const Target& t) {
    std::string err;
    int64_t now = kelto::nowUs();
    bool ok = busEdit(
        bus,
        [&](BusImage& image, std::string* error) {
            int slot = findDevice(image, t.kind, t.id);
            if (slot < 0) {
                *error = "no " + deviceName(t);
                return false;
            }
            const int64_t heard = latestPresenceUs(image.slots[slot], now);
            if (heard >= 0) {
                image.ring[image.header.ringNext] = presenceFrame(image.slots[slot], heard);
                image.header.ringNext = (image.header.ringNext + 1) % kRingSize;
            }
            image.slots[slot] = Device{};
            return true;
        },
        &err);
    if (!ok) return fail(kExitFailure, err);
    print({{"removed", {{"kind", KINDS[t.kind].word}, {"id", t.id}}}});
    return kExitOk;
}

int listDevices(Bus& bus) {
    std::string err;
    BusImage image;
    if (!busRead(bus, &image, &err)) return fail(kExitFailure, err);
    nlohmann::json devices = nlohmann::json::array();
    for (int kind = 0; kind < kKindCount; ++kind) {
        for (int id = 0; id < 64; ++id) {
            int slot = findDevice(image, kind, id);
            if (slot < 0) continue;
            int pages = 0;
            uint32_t crc = 0;
            if (!flashSummary(bus, slot, image.slots[slot], &pages, &crc, &err))
                return fail(kExitFailure, err);
            devices.push_back(deviceJson(image.slots[slot], pages, crc));
        }
    }
    print({{"devices", devices}});
    return kExitOk;
}

int trace(Bus& bus, int argc, char** argv) {
    std::string err;
    if (argc == 3) {
        if (std::strcmp(argv[2], "--clear") != 0)
            return fail(kExitUsage, std::string("unknown trace option \"") + argv[2] + "\"");
        if (!clearTrace(bus, &err)) return fail(kExitFailure, err);
        print({{"trace", "cleared"}});
        return kExitOk;
    }
    if (!streamTrace(bus, std::cout, &err)) return fail(kExitFailure, err);
    std::cout << std::flush;
    return kExitOk;
}

// Arguments each subcommand takes, counting argv[0] and the subcommand.
struct Command {
    const char* word;
    int minArgs;
    int maxArgs;  // -1: no limit
    bool target;  // KIND ID follow
};

const Command COMMANDS[] = {
    {"add", 4, -1, true},  {"set", 5, -1, true},   {"show", 4, 4, true},   {"remove", 4, 4, true},
    {"list", 2, 2, false}, {"clear", 2, 2, false}, {"trace", 2, 3, false}, {"serve", 3, 3, false},
};

int run(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << USAGE;
        return fail(kExitUsage, "missing command; see kelto_sim --help");
    }
    std::string word = argv[1];
    if (word == "--help" || word == "-h") {
        std::cout << USAGE;
        return kExitOk;
    }
    const Command* cmd = nullptr;
    for (const Command& c : COMMANDS) {
        if (word == c.word) cmd = &c;
    }
    if (!cmd) return fail(kExitUsage, "unknown command \"" + word + "\"; see kelto_sim --help");
    if (argc < cmd->minArgs || (cmd->maxArgs >= 0 && argc > cmd->maxArgs))
        return fail(kExitUsage, "wrong number of arguments for " + word + "; see kelto_sim --help");
    std::string err;
    Target t;
    if (cmd->target && !parseTarget(argv, &t, &err)) return fail(kExitUsage, err);
    std::unique_ptr<Bus> bus = openSelectedBus(&err);
    if (!bus) return fail(kExitFailure, err);
    if (word == "add" || word == "set") return addOrSet(*bus, t, word == "add", argc, argv);
    if (word == "show") return showDevice(*bus, t);
    if (word == "remove") return removeDevice(*bus, t);
    if (word == "list") return listDevices(*bus);
    if (word == "trace") return trace(*bus, argc, argv);
    if (word == "serve") return serveOnInterface(*bus, argv[2]);
    if (!busClear(*bus, &err)) return fail(kExitFailure, err);
    print({{"cleared", true}});
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
