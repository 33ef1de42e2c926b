#include "bus_selection.h"

#include <cstdlib>

namespace kelto::sim {

namespace {

const char kSimPrefix[] = "sim:";

BusSelection embeddedBus() {
    BusSelection s;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && state[0] == '/') {
        s.kind = kBusSimulated;
        s.dir = std::string(state) + "/kelto";
    } else if (home && home[0] != '\0') {
        s.kind = kBusSimulated;
        s.dir = std::string(home) + "/.local/state/kelto";
    } else {
        s.problem =
            "kelto: neither XDG_STATE_HOME nor HOME is set, so the embedded simulated bus has no "
            "home; set KELTO_CAN_BUS=sim:PATH";
    }
    return s;
}

}  // namespace

BusSelection parseBusSelection(const char* value) {
    if (value == nullptr || value[0] == '\0') return embeddedBus();
    std::string v(value);
    BusSelection s;
    if (v.rfind(kSimPrefix, 0) == 0 && v.size() > sizeof kSimPrefix - 1) {
        s.kind = kBusSimulated;
        s.dir = v.substr(sizeof kSimPrefix - 1);
        while (s.dir.size() > 1 && s.dir.back() == '/') s.dir.pop_back();
        return s;
    }
    s.problem = "kelto: KELTO_CAN_BUS=\"" + v +
                "\" names no bus; use sim:PATH, or leave it unset for the embedded simulated bus";
    return s;
}

BusSelection busSelectionFromEnv() {
    return parseBusSelection(std::getenv("KELTO_CAN_BUS"));
}

}  // namespace kelto::sim
