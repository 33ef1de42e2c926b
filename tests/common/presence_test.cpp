// scan and idExists: one window, the calls around it, and which frames count.
#include <gtest/gtest.h>

#include "CANSessionMux.h"
#include "presence.h"
#include "scripted_bus.h"
#include "lumabar_tables.h"

namespace {

constexpr uint32_t PING = 0x08072400;

TEST(Scan, ListsDevicesHeardDuringTheWindowInAscendingOrder) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(12);
    bus.present(3, 70);
    const Captured r = capture([] { return kelto::scan(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"scan\":[3,12]}\n");
    EXPECT_EQ(fakeCanReceiveCalls(), 128);
    EXPECT_EQ(virtualSleeps(), std::vector<int>{200});
    EXPECT_TRUE(fakeCanSent().empty()) << "a scan sends nothing";
}

TEST(Scan, ListsIdsOutsideTheCommandLineRange) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(0);
    bus.present(63);
    bus.present(60);
    EXPECT_EQ(capture([] { return kelto::scan(); }).out, "{\"scan\":[0,60,63]}\n");
}

TEST(Scan, NothingHeardReportsNoDevices) {
    ScriptedBus bus(lumabar::PROFILE);
    // A frame from before the scan is taken away by the first pass.
    fakeCanArrive(kelto::nowUs() - 1000, PING | 4, {0});
    const Captured r = capture([] { return kelto::scan(); });
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.out, "{\"error\":\"No devices found\"}\n");
}

TEST(Scan, WindowAndEntryComeFromTheToolProfile) {
    const kelto::MessageIdTable table = {{"scan", 0x02072400}};
    const kelto::ToolProfile motor = {&table, &lumabar::ERROR_MESSAGE, "scan", 1000, 0x1a07, ""};
    ScriptedBus bus(motor);
    bus.present(7);
    EXPECT_EQ(capture([] { return kelto::scan(); }).out, "{\"scan\":[7]}\n");
    EXPECT_EQ(virtualSleeps(), std::vector<int>{1000});
    EXPECT_EQ(fakeCanReceiveCalls(0x02072407), 2);
}

TEST(IdExists, HeardDeviceWritesStatusZero) {
    ScriptedBus bus(lumabar::PROFILE);
    bus.present(5);
    const Captured r = capture([] { return kelto::idExists("5") ? 1 : 0; });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "status: 0\n");
    EXPECT_EQ(fakeCanReceiveCalls(PING | 5), 2);
    EXPECT_EQ(virtualSleeps(), std::vector<int>{200});
}

TEST(IdExists, FrameFromBeforeTheWindowDoesNotCount) {
    ScriptedBus bus(lumabar::PROFILE);
    fakeCanArrive(kelto::nowUs() - 1000, PING | 5, {0});
    const Captured r = capture([] { return kelto::idExists("5") ? 1 : 0; });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "status: " + std::to_string(ERR_CANSessionMux_MessageNotFound) + "\n");
}

}  // namespace
