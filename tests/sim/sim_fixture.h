// A fresh simulated bus in a temporary directory per test, on virtual time,
// driven through the platform CAN calls as a tool drives it.
#ifndef KELTO_TESTS_SIM_FIXTURE_H
#define KELTO_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "CANSessionMux.h"
#include "can_session_mux_internal.h"
#include "device_json.h"
#include "device_model.h"
#include "sim_bus.h"
#include "virtual_clock.h"

namespace kelto::sim::testing {

constexpr uint32_t kAllBits = 0xFFFFFFFF;
constexpr int64_t kStartUs = 1700000000000000;

struct Received {
    int32_t status = 1;
    uint32_t id = 0;
    std::vector<uint8_t> data;
};

class SimBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelto-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/bus";
        setenv("KELTO_CAN_BUS", ("sim:" + dir_).c_str(), 1);
        virtualClockReset(kStartUs);
        kelto::frc::forgetCanSession();
        std::string err;
        admin_ = openBus(dir_, &err);
        ASSERT_TRUE(admin_) << err;
    }

    void TearDown() override {
        kelto::frc::forgetCanSession();
        admin_.reset();
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    // Adds a device as `kelto_sim add KIND ID KEY=VALUE...` does, at the current virtual time.
    void add(Kind kind, int id, std::initializer_list<const char*> pairs = {}) {
        std::string err;
        bool ok = busEdit(
            *admin_,
            [&](BusImage& image, std::string*) {
                int slot = 0;
                while (image.slots[slot].used) ++slot;
                image.slots[slot] = newDevice(kind, static_cast<uint8_t>(id), kelto::nowUs());
                if (image.header.slotCount <= static_cast<uint32_t>(slot))
                    image.header.slotCount = slot + 1;
                applyPairs(image.slots[slot], kind, pairs);
                return true;
            },
            &err);
        ASSERT_TRUE(ok) << err;
    }

    // Changes a device as `kelto_sim set` does.
    void set(Kind kind, int id, std::initializer_list<const char*> pairs) {
        std::string err;
        bool ok = busEdit(
            *admin_,
            [&](BusImage& image, std::string* e) {
                int slot = findDevice(image, kind, id);
                if (slot < 0) *e = "no such device";
                if (slot < 0) return false;
                applyPairs(image.slots[slot], kind, pairs);
                return true;
            },
            &err);
        ASSERT_TRUE(ok) << err;
    }

    // The device's state; fails the test when it is not on the bus.
    Device device(Kind kind, int id) {
        BusImage image;
        std::string err;
        EXPECT_TRUE(busRead(*admin_, &image, &err)) << err;
        int slot = findDevice(image, kind, id);
        EXPECT_GE(slot, 0) << "no device " << id;
        return slot < 0 ? Device{} : image.slots[slot];
    }

    bool present(Kind kind, int id) {
        BusImage image;
        std::string err;
        return busRead(*admin_, &image, &err) && findDevice(image, kind, id) >= 0;
    }

    static int32_t send(uint32_t id, std::vector<uint8_t> data = {}) {
        int32_t status = 1;
        FRC_NetworkCommunication_CANSessionMux_sendMessage(id, data.empty() ? nullptr : data.data(),
                                                           static_cast<uint8_t>(data.size()), 0,
                                                           &status);
        return status;
    }

    static Received receive(uint32_t id) {
        Received r;
        r.id = id;
        uint8_t buf[8] = {};
        uint8_t size = 8;
        uint32_t stamp = 0;
        FRC_NetworkCommunication_CANSessionMux_receiveMessage(&r.id, kAllBits, buf, &size, &stamp,
                                                              &r.status);
        if (r.status == 0) r.data.assign(buf, buf + size);
        return r;
    }

    static void advanceMs(int ms) { virtualClockAdvanceUs(static_cast<int64_t>(ms) * 1000); }

    // An 8-byte frame from `head` (bytes 0..) with the last byte set so the
    // eight bytes add up to 0x46 modulo 256.
    static std::vector<uint8_t> sumFrame(std::vector<uint8_t> head) {
        head.resize(7, 0x11);
        unsigned sum = 0;
        for (uint8_t b : head) sum += b;
        head.push_back(static_cast<uint8_t>(0x46 - sum));
        return head;
    }

    std::string root_;
    std::string dir_;
    std::unique_ptr<Bus> admin_;

  private:
    static void applyPairs(Device& d, Kind kind, std::initializer_list<const char*> pairs) {
        for (const char* p : pairs) {
            KeyValue kv;
            std::string err;
            bool usage = false;
            ASSERT_TRUE(parseKeyValue(p, kind, &kv, &err, &usage)) << p << ": " << err;
            applyKeyValue(d, kv, kelto::nowUs());
        }
    }
};

}  // namespace kelto::sim::testing

#endif
