// Hooks into the stand-in CAN session multiplexer for tests and for a fuzzer
// that run many "processes" in one: each call of forgetCanSession makes the
// next platform call behave like the first one of a new process.
#ifndef KELTO_PLATFORM_CAN_SESSION_MUX_INTERNAL_H
#define KELTO_PLATFORM_CAN_SESSION_MUX_INTERNAL_H

namespace kelto::frc {

// Drops the bus selection (KELTO_CAN_BUS is read again), the open bus, the
// receive view (what was handed over, when the session started) and the
// once-per-process error notice.
void forgetCanSession();

}  // namespace kelto::frc

#endif
