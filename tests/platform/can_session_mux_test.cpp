// The stand-in CAN session multiplexer's contract: status values, bus
// selection from KELTO_CAN_BUS, and the trace lines of the frames it carries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "CANSessionMux.h"
#include "can_session_mux_internal.h"
#include "device_model.h"
#include "sim_bus.h"
#include "virtual_clock.h"

namespace {

using kelto::frc::forgetCanSession;

constexpr int64_t kStartUs = 1700000000000000;

class CanSessionMuxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelto-mux-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("KELTO_CAN_BUS", ("sim:" + root_ + "/bus").c_str(), 1);
        virtualClockReset(kStartUs);
        forgetCanSession();
    }
    void TearDown() override {
        unsetenv("KELTO_CAN_BUS");
        forgetCanSession();
        ASSERT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    // Adds a device through the bus library, as kelto_sim does.
    void addDevice(kelto::sim::Kind kind, int id) {
        std::string err;
        auto bus = kelto::sim::openBus(root_ + "/bus", &err);
        ASSERT_TRUE(bus) << err;
        ASSERT_TRUE(kelto::sim::busEdit(
            *bus,
            [&](kelto::sim::BusImage& image, std::string*) {
                image.slots[0] = kelto::sim::newDevice(kind, static_cast<uint8_t>(id), kStartUs);
                image.header.slotCount = 1;
                return true;
            },
            &err))
            << err;
    }

    std::string trace() {
        std::ifstream in(root_ + "/bus/trace.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string root_;
};

int32_t sendStatus(uint32_t id, const uint8_t* data, uint8_t size) {
    int32_t status = 12345;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(id, data, size, 0, &status);
    return status;
}

TEST_F(CanSessionMuxTest, StatusValues) {
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct SendCase {
        const char* what;
        const uint8_t* data;
        uint8_t size;
        int32_t status;
    } sends[] = {
        {"empty frame without buffer", nullptr, 0, 0},
        {"eight bytes", data, 8, 0},
        {"null buffer with a size", nullptr, 3, ERR_CANSessionMux_InvalidBuffer},
        {"size above 8", data, 9, ERR_CANSessionMux_InvalidBuffer},
    };
    for (const SendCase& c : sends) {
        EXPECT_EQ(sendStatus(0x08073805, c.data, c.size), c.status) << c.what;
    }

    uint32_t id = 0x08073805;
    int32_t status = 12345;
    uint8_t buf[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, nullptr, nullptr,
                                                          nullptr, &status);
    EXPECT_EQ(status, ERR_CANSessionMux_InvalidBuffer) << "null data pointer";
    status = 12345;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, buf, nullptr, nullptr,
                                                          &status);
    EXPECT_EQ(status, ERR_CANSessionMux_MessageNotFound) << "size and time stamp pointers null";
    EXPECT_EQ(buf[0], 9) << "buffer unchanged without a frame";
    EXPECT_EQ(id, 0x08073805u);
}

TEST_F(CanSessionMuxTest, MaskSelectsWhichIdentifierBitsMustMatch) {
    addDevice(kelto::sim::kLumabar, 5);
    virtualClockAdvanceUs(1);
    uint32_t id = 0x08072400;  // device number masked out
    int32_t status = 1;
    uint8_t buf[8];
    uint8_t size = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFC0, buf, &size, nullptr,
                                                          &status);
    virtualClockAdvanceUs(50000);
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFC0, buf, &size, nullptr,
                                                          &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(id, 0x08072405u) << "the identifier of the frame handed over";
    EXPECT_EQ(size, 8);
}

TEST_F(CanSessionMuxTest, BadBusSelectionFailsEveryCallWithOneLine) {
    setenv("KELTO_CAN_BUS", "foo", 1);
    forgetCanSession();
    ::testing::internal::CaptureStderr();
    uint8_t buf[8];
    uint32_t id = 0x08072405;
    int32_t status = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sendStatus(0x08073805, nullptr, 0), ERR_CANSessionMux_NotInitialized);
        status = 0;
        FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, buf, nullptr,
                                                              nullptr, &status);
        EXPECT_EQ(status, ERR_CANSessionMux_NotInitialized);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "kelto: KELTO_CAN_BUS=\"foo\" names no bus; use sim:PATH or socketcan:IFACE, or "
              "leave it unset for the embedded simulated bus\n");
}

TEST_F(CanSessionMuxTest, SelectionIsReadOncePerProcess) {
    sendStatus(0x08073805, nullptr, 0);
    setenv("KELTO_CAN_BUS", "foo", 1);
    EXPECT_EQ(sendStatus(0x08073805, nullptr, 0), 0);
}

// Sets or (value null) unsets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) old_ = old;
        hadOld_ = old != nullptr;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

TEST_F(CanSessionMuxTest, UnsetSelectionUsesTheEmbeddedBusInXdgStateHome) {
    const std::string home = root_ + "/home", state = root_ + "/state";
    struct Case {
        const char* what;
        const char* xdg;  // value of XDG_STATE_HOME, null: unset
        std::string dir;  // where the bus must be
    } cases[] = {
        {"unset", nullptr, home + "/.local/state/kelto"},
        {"empty", "", home + "/.local/state/kelto"},
        {"relative, so ignored", "state", home + "/.local/state/kelto"},
        {"absolute", state.c_str(), state + "/kelto"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv bus("KELTO_CAN_BUS", nullptr), h("HOME", home.c_str()),
            x("XDG_STATE_HOME", c.xdg);
        forgetCanSession();
        EXPECT_EQ(sendStatus(0x08073805, nullptr, 0), 0);
        struct stat st {};
        ASSERT_EQ(stat((c.dir + "/bus.state").c_str(), &st), 0) << c.dir;
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(std::system(("rm -rf '" + home + "' '" + state + "'").c_str()), 0);
    }
}

TEST_F(CanSessionMuxTest, TraceHasACandumpLineForEveryFrameSentAndHandedOver) {
    addDevice(kelto::sim::kLumabar, 5);
    uint8_t led[4] = {0x00, 0xFF, 0x00, 0x0A};
    sendStatus(0x08070005, led, 4);
    virtualClockAdvanceUs(123456);
    sendStatus(0x08074405, nullptr, 0);  // serial query: answered 1 ms later
    virtualClockAdvanceUs(1000);
    uint32_t id = 0x08074405;
    uint8_t buf[8];
    int32_t status = 1;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, buf, nullptr, nullptr,
                                                          &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(trace(),
              "(1700000000.000000) sim 08070005#00FF000A\n"
              "(1700000000.123456) sim 08074405#\n"
              "(1700000000.124456) sim 08074405#4C42303030303035\n");
}

}  // namespace
