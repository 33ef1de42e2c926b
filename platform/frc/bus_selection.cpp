#include "bus_selection.h"

#include <cstdlib>

#include "socketcan.h"

namespace kelto::frc {

namespace {

using OpenBackend = std::unique_ptr<CanBackend> (*)(const std::string& where, int64_t startUs,
                                                     std::string* error);

struct BackendRow {
    const char* name;   // the prefix without its colon
    const char* usage;  // the form of a value, for the error line
    OpenBackend open;
};

// One row per backend.
const BackendRow BACKENDS[] = {
    {SIMULATED_BUS, "sim:PATH", openSimBackend},
    {SOCKETCAN_BUS, "socketcan:IFACE", openSocketCanBackend},
};

BusSelection embeddedBus() {
    BusSelection s;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && state[0] == '/') {
        s.backend = SIMULATED_BUS;
        s.where = std::string(state) + "/kelto";
    } else if (home && home[0] != '\0') {
        s.backend = SIMULATED_BUS;
        s.where = std::string(home) + "/.local/state/kelto";
    } else {
        s.problem =
            "kelto: neither XDG_STATE_HOME nor HOME is set, so the embedded simulated bus has no "
            "home; set KELTO_CAN_BUS=sim:PATH";
    }
    return s;
}

const BackendRow* rowOf(const std::string& name) {
    for (const BackendRow& row : BACKENDS)
        if (name == row.name) return &row;
    return nullptr;
}

std::string usages() {
    std::string text;
    for (const BackendRow& row : BACKENDS) text += std::string(text.empty() ? "" : " or ") + row.usage;
    return text;
}

}  // namespace

BusSelection parseBusSelection(const char* value) {
    if (value == nullptr || value[0] == '\0') return embeddedBus();
    const std::string v(value);
    const size_t colon = v.find(':');
    BusSelection s;
    if (colon != std::string::npos && colon + 1 < v.size() && rowOf(v.substr(0, colon))) {
        s.backend = v.substr(0, colon);
        s.where = v.substr(colon + 1);
        if (s.backend == SIMULATED_BUS)
            while (s.where.size() > 1 && s.where.back() == '/') s.where.pop_back();
        return s;
    }
    s.problem = "kelto: KELTO_CAN_BUS=\"" + v + "\" names no bus; use " + usages() +
                ", or leave it unset for the embedded simulated bus";
    return s;
}

BusSelection busSelectionFromEnv() {
    return parseBusSelection(std::getenv("KELTO_CAN_BUS"));
}

std::unique_ptr<CanBackend> openSelectedBackend(const BusSelection& selection, int64_t startUs,
                                                std::string* error) {
    const BackendRow* row = rowOf(selection.backend);
    if (row == nullptr) {
        *error = selection.problem;
        return nullptr;
    }
    return row->open(selection.where, startUs, error);
}

}  // namespace kelto::frc
