// Simulated devices as a tool sees them through the platform CAN calls:
// presence timing, replies, writes, ID change, lighting and settings.
#include <cstring>

#include "sim_fixture.h"

namespace kelto::sim::testing {
namespace {

constexpr uint32_t kLbPing = 0x08072400;
constexpr uint32_t kLbName = 0x08073800;
constexpr uint32_t kLbSerial = 0x08074400;
constexpr uint32_t kLbVersions = 0x08073000;
constexpr uint32_t kLbBlink = 0x08074000;
constexpr uint32_t kLbId = 0x08073400;
constexpr uint32_t kTcScan = 0x02072400;
constexpr uint32_t kTcId = 0x02073400;
constexpr uint32_t kTcSerial = 0x02074400;
constexpr uint32_t kTcBrake = 0x02071CC0;
constexpr int32_t kNotFound = ERR_CANSessionMux_MessageNotFound;

using Bytes = std::vector<uint8_t>;

// --- Presence frames -------------------------------------------------------

TEST_F(SimBusTest, PresenceFrameBeforeFirstCallIsNeverHandedOver) {
    add(kLumabar, 5, {"status=7"});
    advanceMs(10);  // the frame at +0 ms went on the bus before this process's first call
    receive(kLbPing | 5);
    EXPECT_EQ(receive(kLbPing | 5).status, kNotFound);
    advanceMs(39);
    EXPECT_EQ(receive(kLbPing | 5).status, kNotFound) << "next frame is due at +50 ms";
}

TEST_F(SimBusTest, PresenceFramesArriveDuringASleepAndAreHandedOverOnce) {
    add(kLumabar, 5, {"status=7"});
    receive(kLbPing | 5);
    kelto::sleepMs(200);  // frames at +50, +100, +150 and +200 ms
    Received r = receive(kLbPing | 5);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.id, kLbPing | 5);
    EXPECT_EQ(r.data, (Bytes{7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(receive(kLbPing | 5).status, kNotFound) << "older unread frames go with the newest";
    advanceMs(49);
    EXPECT_EQ(receive(kLbPing | 5).status, kNotFound);
    advanceMs(1);
    EXPECT_EQ(receive(kLbPing | 5).status, 0) << "phase fixed from when the device was added";
}

TEST_F(SimBusTest, PresenceFollowsPeriodAndTheTimeStampIsBusTime) {
    add(kTorvexc, 9, {"period_ms=20"});
    receive(kTcScan | 9);
    advanceMs(25);
    uint32_t id = kTcScan | 9, stamp = 0;
    uint8_t buf[8];
    int32_t status = 1;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, kAllBits, buf, nullptr, &stamp,
                                                          &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(stamp, static_cast<uint32_t>((kStartUs + 20000) / 1000));
}

TEST_F(SimBusTest, NoPresenceFrameForAnotherIdOrKind) {
    add(kLumabar, 5);
    receive(kLbPing | 6);
    kelto::sleepMs(100);
    EXPECT_EQ(receive(kLbPing | 6).status, kNotFound);
    EXPECT_EQ(receive(kTcScan | 5).status, kNotFound);
}

// --- Queries and replies -----------------------------------------------------

TEST_F(SimBusTest, QueriesAreAnsweredAfterTheLatencyOnTheSameIdentifier) {
    add(kLumabar, 5,
        {"name=Front", "firmware=2.3", "hardware=1.1", "bootloader=4.5", "latency_ms=5"});
    struct Case {
        uint32_t id;
        Bytes reply;
    } cases[] = {
        {kLbName | 5, {'F', 'r', 'o', 'n', 't', 0, 0, 0}},
        {kLbSerial | 5, {'L', 'B', '0', '0', '0', '0', '0', '5'}},
        {kLbVersions | 5, {2, 3, 1, 1, 4, 5, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_EQ(send(c.id), 0);
        advanceMs(4);
        EXPECT_EQ(receive(c.id).status, kNotFound) << "not before latency_ms";
        advanceMs(1);
        Received r = receive(c.id);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.data, c.reply);
        EXPECT_EQ(receive(c.id).status, kNotFound) << "handed over once";
    }
}

TEST_F(SimBusTest, OwnFramesAreNeverHandedBack) {
    add(kLumabar, 5);
    send(kLbName | 5, {'a', 'b'});
    send(kLbBlink | 5, {3});
    advanceMs(10);
    EXPECT_EQ(receive(kLbName | 5).status, kNotFound);
    EXPECT_EQ(receive(kLbBlink | 5).status, kNotFound);
}

TEST_F(SimBusTest, MutedDeviceKeepsPresenceAndTakesWritesButAnswersNothing) {
    add(kLumabar, 5, {"mute=1"});
    receive(kLbPing | 5);
    send(kLbName | 5, {'x', 'y', 'z'});
    send(kLbSerial | 5);
    send(kLbVersions | 5);
    kelto::sleepMs(60);
    EXPECT_EQ(receive(kLbPing | 5).status, 0);
    EXPECT_EQ(receive(kLbSerial | 5).status, kNotFound);
    EXPECT_EQ(receive(kLbVersions | 5).status, kNotFound);
    set(kLumabar, 5, {"mute=0"});
    send(kLbName | 5);
    advanceMs(1);
    EXPECT_EQ(receive(kLbName | 5).data, (Bytes{'x', 'y', 'z', 0, 0, 0, 0, 0}));
}

TEST_F(SimBusTest, LostRepliesTakeTheNextAnswersOnlyAndWritesStillLand) {
    add(kTorvexc, 5, {"lose_replies=2"});
    const uint32_t brake = kTcBrake | 5;
    send(brake, {7});
    send(brake);
    advanceMs(5);
    EXPECT_EQ(receive(brake).status, kNotFound);
    send(kTcSerial | 5);
    advanceMs(5);
    EXPECT_EQ(receive(kTcSerial | 5).status, kNotFound);
    send(brake);
    advanceMs(5);
    EXPECT_EQ(receive(brake).data, Bytes{7}) << "the write landed; the third answer arrives";
}

TEST_F(SimBusTest, NameWriteStoresThePayloadPaddedWithZeros) {
    add(kTorvexc, 5, {"name=Previous"});
    struct Case {
        Bytes payload;
        const char* stored;
    } cases[] = {{{'a', 'b', ' ', 'c', 'd', 0, 0, 0}, "ab cd"},
                 {{'E', 'i', 'g', 'h', 't', 'C', 'h', 'r'}, "EightChr"},
                 {{'z'}, "z"},
                 {{0, 0, 0, 0, 0, 0, 0, 0}, ""}};
    for (const Case& c : cases) {
        send(0x02073800 | 5, c.payload);
        Device d = device(kTorvexc, 5);
        char name[9] = {};
        std::memcpy(name, d.name, 8);
        EXPECT_STREQ(name, c.stored);
    }
}

TEST_F(SimBusTest, BlinkRemembersTheSecondsOfAOneByteFrame) {
    add(kLumabar, 5);
    send(kLbBlink | 5, {42});
    EXPECT_EQ(device(kLumabar, 5).blink, 42);
    send(kLbBlink | 5, {1, 2});
    EXPECT_EQ(device(kLumabar, 5).blink, 42) << "wrong length ignored";
}

// --- ID change ---------------------------------------------------------------

TEST_F(SimBusTest, IdChangeActsOnlyOnAValidFrame) {
    struct Case {
        const char* what;
        Bytes frame;
        int idAfter;
    } cases[] = {
        {"valid", sumFrame({5, 12}), 12},
        {"byte 0 is not the current ID", sumFrame({6, 12}), 5},
        {"sum is not 0x46",
         [] {
             Bytes b = sumFrame({5, 12});
             ++b[7];
             return b;
         }(),
         5},
        {"new ID above 63", sumFrame({5, 64}), 5},
        {"new ID taken", sumFrame({5, 7}), 5},
        {"seven bytes", Bytes{5, 12, 0, 0, 0, 0, 0x29}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        add(kLumabar, 5);
        add(kLumabar, 7);
        send(kLbId | 5, c.frame);
        EXPECT_TRUE(present(kLumabar, c.idAfter));
        EXPECT_EQ(present(kLumabar, 5), c.idAfter == 5);
    }
}

TEST_F(SimBusTest, AfterAnIdChangeTheDeviceAnswersAtTheNewId) {
    add(kTorvexc, 5, {"name=Motor"});
    add(kLumabar, 12);  // another kind does not block the ID
    receive(kTcScan | 12);
    send(kTcId | 5, sumFrame({5, 12}));
    send(0x02073800 | 5);
    send(0x02073800 | 12);
    kelto::sleepMs(60);
    EXPECT_EQ(receive(0x02073800 | 5).status, kNotFound);
    EXPECT_EQ(receive(0x02073800 | 12).data, (Bytes{'M', 'o', 't', 'o', 'r', 0, 0, 0}));
    EXPECT_EQ(receive(kTcScan | 12).status, 0);
    EXPECT_EQ(receive(kTcScan | 5).status, kNotFound);
}

// --- Lighting frames -----------------------------------------------------------

TEST_F(SimBusTest, LightingFramesSetTheLedState) {
    add(kLumabar, 5);
    send(0x08070000 | 5, {0, 10, 20, 30});
    LedState led = device(kLumabar, 5).led;
    EXPECT_EQ(led.mode, kLedRgb);
    EXPECT_EQ(Bytes(led.rgb, led.rgb + 3), (Bytes{10, 20, 30}));

    send(0x08070180 | 5, {3, 1, 2, 3, 4});
    send(0x08070180 | 5, {16, 9, 9, 9, 9});  // register 16 does not exist
    send(0x08070040 | 5, {3});
    led = device(kLumabar, 5).led;
    EXPECT_EQ(led.mode, kLedRegister);
    EXPECT_EQ(led.reg, 3);
    EXPECT_EQ(Bytes(led.registers[3], led.registers[3] + 4), (Bytes{1, 2, 3, 4}));
    for (int r = 0; r < 16; ++r) {
        EXPECT_EQ(led.registers[r][0], r == 3 ? 1 : 0) << r;
    }

    send(0x08070140 | 5, {7, 8});
    EXPECT_EQ(device(kLumabar, 5).led.mode, kLedCycle);
    send(0x080700C0 | 5, {9, 10});
    led = device(kLumabar, 5).led;
    EXPECT_EQ(led.mode, kLedFade);
    EXPECT_EQ(Bytes(led.cycle, led.cycle + 2), (Bytes{7, 8}));
    EXPECT_EQ(Bytes(led.fade, led.fade + 2), (Bytes{9, 10}));

    send(0x00000040 | 5);
    led = device(kLumabar, 5).led;
    LedState fresh{};
    EXPECT_EQ(std::memcmp(&led, &fresh, sizeof led), 0) << "reset restores every LED default";
}

TEST_F(SimBusTest, LightingFramesOfWrongLengthOrOtherDeviceAreIgnored) {
    add(kLumabar, 5);
    add(kLumabar, 6);
    send(0x08070000 | 5, {0, 1, 2});
    send(0x08070000 | 5, {0, 1, 2, 3, 4});
    send(0x08070140 | 5, {1});
    send(0x08070040 | 5);
    send(0x08070000 | 6, {0, 1, 1, 1});
    send(0x08070080 | 5, {1, 2});  // "flash": not a lighting frame of the device
    EXPECT_EQ(device(kLumabar, 5).led.mode, kLedOff);
    EXPECT_EQ(device(kLumabar, 6).led.mode, kLedRgb);
    send(0x00000040 | 5, {1});  // reset takes only an empty frame
    EXPECT_EQ(device(kLumabar, 6).led.mode, kLedRgb);
}

// --- Motor-controller settings -------------------------------------------------

TEST_F(SimBusTest, EverySettingTakesAOneByteWriteAndAnswersAnEmptyFrame) {
    add(kTorvexc, 5);
    add(kLumabar, 5);  // a lighting controller with the same ID ignores them
    for (int s = 0; s < kSettingCount; ++s) {
        SCOPED_TRACE(SETTINGS[s].word);
        uint32_t id = SETTINGS[s].messageId | 5;
        uint8_t value = static_cast<uint8_t>(s == kBrake ? 255 : 10 + s);
        send(id, {value});
        EXPECT_EQ(device(kTorvexc, 5).settings[s], value);
        send(id);
        advanceMs(1);
        Received r = receive(id);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.data, (Bytes{value}));
        send(id, {1, 2});  // wrong length ignored
        EXPECT_EQ(device(kTorvexc, 5).settings[s], value);
    }
}

TEST_F(SimBusTest, EmptyFrameOnThePresenceIdentifierIsAnsweredByTheNextPresenceFrame) {
    add(kTorvexc, 5, {"status=33"});
    advanceMs(10);
    send(kTcScan | 5);
    advanceMs(1);
    EXPECT_EQ(receive(kTcScan | 5).status, kNotFound);
    advanceMs(39);
    EXPECT_EQ(receive(kTcScan | 5).data, (Bytes{33, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace kelto::sim::testing
