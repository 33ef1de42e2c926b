// Which bus a process uses, from the environment variable KELTO_CAN_BUS:
//
//   unset or ""   -> the embedded simulated bus in $XDG_STATE_HOME/kelto
//                    (fallback $HOME/.local/state/kelto)
//   "sim:/tmp/b"  -> the simulated bus stored in /tmp/b
//   "socketcan:can0" -> the Linux CAN interface can0 (socketcan.h)
//   anything else -> no bus; `problem` is the one line to show the user
//
// Each backend is one row of the table in bus_selection.cpp: its prefix,
// the form of its argument and its open function (can_backend.h).
#ifndef KELTO_PLATFORM_BUS_SELECTION_H
#define KELTO_PLATFORM_BUS_SELECTION_H

#include <cstdint>
#include <memory>
#include <string>

#include "can_backend.h"

namespace kelto::frc {

// The backend of a simulated bus.
constexpr char SIMULATED_BUS[] = "sim";

struct BusSelection {
    std::string backend;  // "sim", ...; empty when the value names no bus
    std::string where;    // the text after the prefix: a directory, an interface
    std::string problem;  // why there is no bus, as one line for standard error
};

// `value` is the variable's value, nullptr when unset.
BusSelection parseBusSelection(const char* value);

// parseBusSelection(getenv("KELTO_CAN_BUS")).
BusSelection busSelectionFromEnv();

// Opens the selected backend; null with one line in *error (the selection's
// problem when it names no bus).
std::unique_ptr<CanBackend> openSelectedBackend(const BusSelection& selection, int64_t startUs,
                                                std::string* error);

}  // namespace kelto::frc

#endif
