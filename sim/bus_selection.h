// Which bus a process uses, from the environment variable KELTO_CAN_BUS:
//
//   unset or ""   -> the embedded simulated bus in $XDG_STATE_HOME/kelto
//                    (fallback $HOME/.local/state/kelto)
//   "sim:/tmp/b"  -> the simulated bus stored in /tmp/b
//   anything else -> kBusInvalid; `problem` is the one line to show the user
//
// Another backend (a SocketCAN interface, say "socketcan:can0") becomes one
// more BusKind here and one more case where the selection is acted on.
#ifndef KELTO_SIM_BUS_SELECTION_H
#define KELTO_SIM_BUS_SELECTION_H

#include <string>

namespace kelto::sim {

enum BusKind { kBusSimulated, kBusInvalid };

struct BusSelection {
    BusKind kind = kBusInvalid;
    std::string dir;      // bus directory of a simulated bus
    std::string problem;  // why kBusInvalid, as one line for standard error
};

// `value` is the variable's value, nullptr when unset.
BusSelection parseBusSelection(const char* value);

// parseBusSelection(getenv("KELTO_CAN_BUS")).
BusSelection busSelectionFromEnv();

}  // namespace kelto::sim

#endif
