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

TEST(SocketCanLock, SecondHolderWaitsUntilTheFirstCloses) {
    std::string err;
    const std::string iface = "kt" + std::to_string(getpid() % 100000);
    const int first = kelto::frc::lockInterface(iface, &err);
    ASSERT_GE(first, 0) << err;
    // Another open file description of the same file cannot take it meanwhile.
    std::string path = kelto::frc::interfaceLockPath("/run/lock", iface);
    if (access(path.c_str(), F_OK) != 0) path = kelto::frc::interfaceLockPath("/tmp", iface);
    const int other = open(path.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(first);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    unlink(path.c_str());
    EXPECT_LT(kelto::frc::lockInterface("a/b", &err), 0);
    EXPECT_NE(err.find("holds no '/'"), std::string::npos) << err;
}

}  // namespace
