// `kelto_sim serve IFACE`: the devices of a simulated bus on a Linux CAN
// interface, so that the tools (KELTO_CAN_BUS=socketcan:...) and can-utils
// on that bus see and drive them.
//
//   KELTO_CAN_BUS=sim:/tmp/b kelto_sim serve vcan0
//   -> {"serving":"vcan0"}                     once the socket is bound
//   ... until SIGINT or SIGTERM ...
//   -> {"received":12,"sent":340,"served":"vcan0"}, exit 0
//
// Frames from the interface go to the devices as a tool's frames do on the
// embedded bus; the devices' presence frames and replies go out when their
// bus time comes. The state stays in the bus directory: kelto_sim set, add
// and remove take effect while it serves, and the trace records every frame
// received and sent.
#ifndef KELTO_SIM_SERVE_H
#define KELTO_SIM_SERVE_H

#include <string>

#include "sim_bus.h"

namespace kelto::sim {

// Runs until SIGINT or SIGTERM: 0 then; 1 with {"error":...} printed when the
// interface cannot be opened or fails, or the state cannot be read.
int serveOnInterface(Bus& bus, const std::string& iface);

}  // namespace kelto::sim

#endif
