// The socketcan backend where no CAN interface is needed: the values of
// KELTO_CAN_BUS it refuses and the line each refusal gives, through the
// selection and through the stand-in's C calls, and the per-interface lock.
// Its receive semantics on a live interface are tested on a real kernel
// (tests/realcan).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "CANSessionMux.h"
#include "bus_selection.h"
#include "can_session_mux_internal.h"
#include "socketcan.h"

namespace {

using kelto::frc::openSelectedBackend;
using kelto::frc::parseBusSelection;

struct BadBus {
    const char* value;
    const char* says;  // a part of the one line
};

// "nosuch0" is missing on any machine; "lo" exists everywhere and is no CAN.
const BadBus BAD_BUSES[] = {
    {"socketcan:", "names no bus; use sim:PATH or socketcan:IFACE"},
    {"socketcan:abcdefghijklmnop", "longer than 15 bytes"},
    {"socketcan:a/b", "holds no '/'"},
    {"socketcan:can 0", "holds no '/', ':', blank"},
    {"socketcan:can0 ", "holds no '/', ':', blank"},
    {"socketcan:can\t0", "blank or control character"},
    {"socketcan:a:b", "holds no '/', ':'"},
    {"socketcan:..", "is not an interface name"},
    {"socketcan:nosuch0", "no network interface \"nosuch0\""},
    {"socketcan:lo", "\"lo\" is not a CAN interface"},
    {"SOCKETCAN:can0", "names no bus"},
};

TEST(SocketCanSelection, EachBadValueIsRefusedWithItsReason) {
    for (const BadBus& bad : BAD_BUSES) {
        SCOPED_TRACE(bad.value);
        std::string err;
        EXPECT_EQ(openSelectedBackend(parseBusSelection(bad.value), 0, &err), nullptr);
        EXPECT_NE(err.find(bad.says), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    }
}

TEST(SocketCanSelection, ValidValueNamesTheInterface) {
    const kelto::frc::BusSelection s = parseBusSelection("socketcan:vcan0");
    EXPECT_EQ(s.backend, "socketcan");
    EXPECT_EQ(s.where, "vcan0");
}

TEST(SocketCanSelection, InterfaceNameRulesFollowTheKernel) {
    using kelto::frc::interfaceNameProblem;
    EXPECT_EQ(interfaceNameProblem("can0"), "");
    EXPECT_EQ(interfaceNameProblem("abcdefghijklmno"), "");  // 15 bytes: the longest
    EXPECT_EQ(interfaceNameProblem("can-usb.1_x"), "");
    EXPECT_NE(interfaceNameProblem(std::string("ca\0n", 4)), "");
    EXPECT_NE(interfaceNameProblem("can\x7f"), "");
    EXPECT_NE(interfaceNameProblem("."), "");
}

// Every call of a process on a refused interface fails; the reason is said once.
TEST(SocketCanSession, RefusedInterfaceFailsEveryCallWithOneLine) {
    setenv("KELTO_CAN_BUS", "socketcan:lo", 1);
    kelto::frc::forgetCanSession();
    testing::internal::CaptureStderr();
    int32_t status = 0;
    uint8_t data[8] = {};
    for (int i = 0; i < 3; ++i) {
        FRC_NetworkCommunication_CANSessionMux_sendMessage(0x08073805, data, 0, 0, &status);
        EXPECT_EQ(status, ERR_CANSessionMux_NotInitialized);
        uint32_t id = 0x08073805;
        uint8_t len = 0;
        FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, ~0u, data, &len, nullptr,
                                                              &status);
        EXPECT_EQ(status, ERR_CANSessionMux_NotInitialized);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "kelto: socketcan: \"lo\" is not a CAN interface; name one that 'ip link show "
              "type can' or 'ip link show type vcan' lists\n");
    unsetenv("KELTO_CAN_BUS");
    kelto::frc::forgetCanSession();
}

// The update lock is per interface and per bootloader kind, and a second
// holder is refused at once until the first descriptor closes.
TEST(SocketCanLock, OneHolderPerInterfaceAndKind) {
    using kelto::frc::UpdateLock;
    std::string err;
    const std::string iface = "kt" + std::to_string(getpid() % 100000);
    int first = -1;
    ASSERT_EQ(kelto::frc::lockInterfaceUpdates(iface, 0x1b07, &first, &err), UpdateLock::kHeld)
        << err;
    int other = -1;
    EXPECT_EQ(kelto::frc::lockInterfaceUpdates(iface, 0x1b07, &other, &err), UpdateLock::kBusy);
    int motor = -1;
    EXPECT_EQ(kelto::frc::lockInterfaceUpdates(iface, 0x1a07, &motor, &err), UpdateLock::kHeld);
    int elsewhere = -1;
    EXPECT_EQ(kelto::frc::lockInterfaceUpdates(iface + "x", 0x1b07, &elsewhere, &err),
              UpdateLock::kHeld);
    close(first);
    EXPECT_EQ(kelto::frc::lockInterfaceUpdates(iface, 0x1b07, &other, &err), UpdateLock::kHeld);
    for (int fd : {other, motor, elsewhere}) close(fd);
    for (const std::string& name : {iface, iface + "x"})
        for (uint16_t kind : {0x1b07, 0x1a07})
            for (const char* dir : {"/run/lock", "/tmp"})
                unlink(kelto::frc::interfaceLockPath(dir, name, kind).c_str());
    int bad = -1;
    EXPECT_EQ(kelto::frc::lockInterfaceUpdates("a/b", 0x1b07, &bad, &err), UpdateLock::kError);
    EXPECT_NE(err.find("holds no '/'"), std::string::npos) << err;
}

}  // namespace
