#include "cli_fuzz.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "can_session_mux_internal.h"
#include "device_json.h"
#include "device_model.h"
#include "sim_bus.h"
#include "virtual_clock.h"

namespace {

constexpr size_t MAX_ARGS = 12;
constexpr int64_t BUDGET_US = 60LL * 1000000;

struct TimeBudgetSpent {};

// Once per process: a bus directory of our own. (The tools' output is
// discarded by running the target with -close_fd_mask=3.)
void setUpOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    char dir[] = "/tmp/kelto_cli_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    setenv("KELTO_CAN_BUS", (std::string("sim:") + dir + "/bus").c_str(), 1);
}

// The same devices before every run: lighting controllers 3 and 5, motor
// controller 5, and a lighting controller 9 that never answers a query.
void resetBus() {
    using namespace kelto::sim;
    const std::string dir = std::string(getenv("KELTO_CAN_BUS")).substr(4);
    std::string error;
    auto bus = openBus(dir, &error);
    if (!bus || !busClear(*bus, &error)) std::abort();
    const bool ok = busEdit(
        *bus,
        [](BusImage& image, std::string* err) {
            const int64_t now = kelto::nowUs();
            const struct {
                Kind kind;
                uint8_t id;
                const char* setting;
            } devices[] = {{kLumabar, 3, nullptr},
                           {kLumabar, 5, "name=Front"},
                           {kTorvexc, 5, "brake=1"},
                           {kLumabar, 9, "mute=1"}};
            int slot = 0;
            for (const auto& d : devices) {
                image.slots[slot] = newDevice(d.kind, d.id, now);
                KeyValue kv;
                bool usage = false;
                if (d.setting != nullptr && !parseKeyValue(d.setting, d.kind, &kv, err, &usage))
                    return false;
                if (d.setting != nullptr) applyKeyValue(image.slots[slot], kv, now);
                ++slot;
            }
            image.header.slotCount = slot;
            return true;
        },
        &error);
    if (!ok) std::abort();
}

}  // namespace

int runCliFuzz(const kelto::ToolProfile& profile, int (*toolMain)(int, char**), const uint8_t* data,
               size_t size) {
    setUpOnce();
    virtualClockReset();
    kelto::frc::forgetCanSession();
    resetBus();
    kelto::setTool(profile);

    std::vector<std::string> args{"kelto_tool"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < MAX_ARGS; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < MAX_ARGS && (size == 0 || data[size - 1] != 0)) args.push_back(current);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int64_t start = kelto::nowUs();
    virtualClockOnSleep([start](int) {
        if (kelto::nowUs() - start > BUDGET_US) throw TimeBudgetSpent{};
    });
    try {
        toolMain(static_cast<int>(args.size()), argv.data());
    } catch (const TimeBudgetSpent&) {
    }
    return 0;
}
