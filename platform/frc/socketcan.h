// Raw SocketCAN access (PF_CAN / SOCK_RAW / CAN_RAW) shared by the socketcan
// backend of the stand-in and by `kelto_sim serve`: opening an interface with
// checks that name what is wrong and what to do, and one frame in or out.
//
//   std::string err;
//   int fd = openCanSocket("can0", &err);  // -1: err is one line for standard error
//   BusFrame f{};
//   readCanFrame(fd, "can0", &f, &err);    // kFrame, kNothing (nothing queued) or kError
//   writeCanFrame(fd, "can0", f, &err);    // a full transmit queue is waited out briefly
//
// Only data frames with 29-bit identifiers pass: every frame is sent with
// CAN_EFF_FLAG, even an identifier below 0x800; remote frames, error frames
// and 11-bit frames are never returned. The socket does not receive the
// frames it sent itself (other sockets of the machine on the interface do).
#ifndef KELTO_PLATFORM_SOCKETCAN_H
#define KELTO_PLATFORM_SOCKETCAN_H

#include <cstdint>
#include <string>

#include "can_backend.h"

namespace kelto::frc {

// The KELTO_CAN_BUS prefix of the backend.
constexpr char SOCKETCAN_BUS[] = "socketcan";

// Empty when `name` can name a network interface (1 to 15 bytes, not "." or
// "..", no '/', ':' or white space, as the kernel takes them); else why not.
std::string interfaceNameProblem(const std::string& name);

// A non-blocking raw CAN socket bound to the interface, or -1 with one line
// in *error: a bad name, a missing interface, one that is not CAN, one that
// is down (with the command that brings it up), a kernel without CAN.
int openCanSocket(const std::string& iface, std::string* error);

// The oldest queued frame, with the time the kernel received it (wall
// clock, microseconds). kError (with one line) when the interface failed,
// for example went down.
Received readCanFrame(int fd, const std::string& iface, BusFrame* out, std::string* error);

// Sends one data frame with a 29-bit identifier. A full transmit queue
// (ENOBUFS: no other node acknowledges, or the bus is saturated) is waited
// out in 1 ms steps for at most SEND_PATIENCE_MS; then false with one line.
constexpr int SEND_PATIENCE_MS = 50;
bool writeCanFrame(int fd, const std::string& iface, const BusFrame& frame, std::string* error);

// The update lock of bootloader kind `bootHighHalf` on the interface
// (can_backend.h): an flock, taken without waiting, on
// /run/lock/kelto-can-IFACE-update-1b07.lock (in /tmp when /run/lock cannot
// hold it), shared by every process and user of the machine on that
// interface. kHeld puts the descriptor that holds the lock in *fd.
UpdateLock lockInterfaceUpdates(const std::string& iface, uint16_t bootHighHalf, int* fd,
                                std::string* error);

// The lock file's path in `dir`.
std::string interfaceLockPath(const std::string& dir, const std::string& iface,
                              uint16_t bootHighHalf);

}  // namespace kelto::frc

#endif
