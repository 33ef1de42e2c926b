// The socketcan backend on a live CAN interface: the receive rules the tools
// rely on, 29-bit frames both ways, an interface going down, and a bus on
// which no other node acknowledges. Needs root and a kernel with CAN, so it
// runs in the real-kernel test (tests/realcan), not in the host's suite:
//
//   KELTO_LIVE_CAN=can0 KELTO_LIVE_PEER=can1 socketcan_live_test
//   KELTO_LIVE_CAN=vcan0 KELTO_LIVE_PEER=vcan0 socketcan_live_test
//
// The peer is a plain raw socket on the same wire (the same interface for a vcan).
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "can_backend.h"
#include "clock.h"
#include "socketcan.h"

namespace {

using kelto::frc::BusFrame;
using kelto::frc::CanBackend;
using kelto::frc::Received;

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

const std::string IFACE = env("KELTO_LIVE_CAN");
const std::string PEER = env("KELTO_LIVE_PEER");
const bool VIRTUAL = IFACE == PEER;

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

void ipLink(const std::string& iface, const std::string& state) {
    ASSERT_EQ(std::system(("ip link set " + iface + " " + state).c_str()), 0);
}

class LiveCan : public ::testing::Test {
  protected:
    void SetUp() override {
        if (IFACE.empty() || PEER.empty()) GTEST_SKIP() << "KELTO_LIVE_CAN/KELTO_LIVE_PEER unset";
        std::string err;
        peer_ = kelto::frc::openCanSocket(PEER, &err);
        ASSERT_GE(peer_, 0) << err;
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
    }

    std::unique_ptr<CanBackend> open() {
        std::string err;
        auto b = kelto::frc::openSocketCanBackend(IFACE, kelto::nowUs(), &err);
        EXPECT_TRUE(b) << err;
        return b;
    }

    // Writes a raw frame (flags included in canId) from the peer.
    void peerSend(uint32_t canId, const std::string& data) {
        can_frame cf{};
        cf.can_id = canId;
        cf.can_dlc = static_cast<uint8_t>(data.size());
        std::memcpy(cf.data, data.data(), data.size());
        ASSERT_EQ(write(peer_, &cf, sizeof cf), static_cast<ssize_t>(sizeof cf));
        settle();
    }

    // The next frame the peer reads within a second, raw.
    bool peerRead(can_frame* cf) {
        pollfd p{peer_, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) return false;
        return read(peer_, cf, sizeof *cf) == static_cast<ssize_t>(sizeof *cf);
    }

    static std::string take(CanBackend& b, uint32_t id, uint32_t mask = ~0u) {
        BusFrame f{};
        std::string err;
        const Received r = b.receive(id, mask, kelto::nowUs(), &f, &err);
        if (r == Received::kError) return "error: " + err;
        if (r == Received::kNothing) return "nothing";
        char head[16];
        std::snprintf(head, sizeof head, "%08X#", f.id);
        return head + std::string(reinterpret_cast<const char*>(f.data), f.len);
    }

    int peer_ = -1;
};

constexpr uint32_t X = 0x08073805;
constexpr uint32_t Y = 0x08074405;
constexpr uint32_t EFF = CAN_EFF_FLAG;

TEST_F(LiveCan, NothingFromBeforeTheSession) {
    peerSend(X | EFF, "old");
    auto b = open();
    settle();
    EXPECT_EQ(take(*b, X), "nothing");
    peerSend(X | EFF, "new");
    EXPECT_EQ(take(*b, X), "08073805#new");
}

TEST_F(LiveCan, NewestFramePerIdentifierOnceOlderOnesDropped) {
    auto b = open();
    peerSend(X | EFF, "1");
    peerSend(X | EFF, "2");
    peerSend(Y | EFF, "y");
    peerSend(X | EFF, "3");
    EXPECT_EQ(take(*b, X), "08073805#3");
    EXPECT_EQ(take(*b, X), "nothing");
    EXPECT_EQ(take(*b, Y), "08074405#y");
    EXPECT_EQ(take(*b, Y), "nothing");
}

TEST_F(LiveCan, MaskPicksTheNewestMatchingFrame) {
    auto b = open();
    peerSend(0x08073801 | EFF, "a");
    peerSend(0x08073802 | EFF, "b");
    peerSend(Y | EFF, "y");
    EXPECT_EQ(take(*b, 0x08073800, 0x1FFFFFC0), "08073802#b");
    EXPECT_EQ(take(*b, 0x08073800, 0x1FFFFFC0), "08073801#a");
    EXPECT_EQ(take(*b, 0x08073800, 0x1FFFFFC0), "nothing");
}

TEST_F(LiveCan, OwnFramesAreNotHandedBackOtherSessionsGetThem) {
    auto b = open();
    auto other = open();
    BusFrame f{0, X, 2, {'m', 'e'}};
    std::string err;
    ASSERT_TRUE(b->send(f, &err)) << err;
    can_frame cf{};
    ASSERT_TRUE(peerRead(&cf));
    EXPECT_EQ(cf.can_id, X | EFF);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cf.data), cf.can_dlc), "me");
    settle();
    EXPECT_EQ(take(*b, X), "nothing");
    EXPECT_EQ(take(*other, X), "08073805#me");
}

// The lighting reset's identifier is below 0x800 and still goes out as a
// 29-bit frame; 11-bit and remote frames with that number are not taken.
TEST_F(LiveCan, OnlyExtendedDataFramesBothWays) {
    auto b = open();
    std::string err;
    ASSERT_TRUE(b->send(BusFrame{0, 0x45, 0, {}}, &err)) << err;
    can_frame cf{};
    ASSERT_TRUE(peerRead(&cf));
    EXPECT_EQ(cf.can_id, 0x45 | EFF);
    EXPECT_EQ(cf.can_dlc, 0);
    peerSend(0x45, "sff");
    peerSend(0x45 | EFF | CAN_RTR_FLAG, "");
    EXPECT_EQ(take(*b, 0x45), "nothing");
    peerSend(0x45 | EFF, "eff");
    EXPECT_EQ(take(*b, 0x45), "00000045#eff");
}

TEST_F(LiveCan, InterfaceDownIsReportedNotHung) {
    auto b = open();
    ipLink(IFACE, "down");
    const std::string taken = take(*b, X);
    std::string err;
    const bool sent = b->send(BusFrame{0, X, 0, {}}, &err);
    std::string openErr;
    auto again = kelto::frc::openSocketCanBackend(IFACE, 0, &openErr);
    ipLink(IFACE, VIRTUAL ? "up" : "up type can bitrate 1000000");
    EXPECT_NE(taken.find("went down"), std::string::npos) << taken;
    EXPECT_FALSE(sent);
    EXPECT_EQ(again, nullptr);
    const std::string hint = VIRTUAL ? "'ip link set " + IFACE + " up'"
                                     : "'ip link set " + IFACE + " up type can bitrate 1000000'";
    EXPECT_EQ(openErr, "socketcan: CAN interface " + IFACE + " is down; bring it up with " + hint);
}

// A transmit queue that stays full (here a queue of length 0, which refuses
// every frame as a queue does while no other node acknowledges) ends each
// send in an error within its patience; the next send after the queue
// drains goes out. (The emulated controllers model no acknowledgement, so a
// lone controller is shown with the tools in test_interfaces.py.)
TEST_F(LiveCan, FullTransmitQueueEndsInAnErrorNotAHang) {
    auto b = open();
    ASSERT_EQ(std::system(("tc qdisc replace dev " + IFACE + " root pfifo limit 0").c_str()), 0);
    std::string err;
    const auto start = std::chrono::steady_clock::now();
    const bool sent = b->send(BusFrame{0, X, 1, {1}}, &err);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(std::system(("tc qdisc del dev " + IFACE + " root").c_str()), 0);
    EXPECT_FALSE(sent);
    EXPECT_EQ(err, "socketcan: the transmit queue of " + IFACE +
                       " stayed full for 50 ms: no other node acknowledges (check the wiring, "
                       "the termination and the bitrate) or the bus is saturated");
    EXPECT_GE(seconds, 0.050);
    EXPECT_LT(seconds, 2.0);
    std::string again;
    EXPECT_TRUE(b->send(BusFrame{0, X, 1, {2}}, &again)) << again;
}

}  // namespace
