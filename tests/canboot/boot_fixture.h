// Shared set-up of the bootloader tests: virtual time, the fake CAN calls,
// the lighting tool's profile (boot identifiers 0x1b07xxxx), an empty page
// table and the C generator in its start-up state.
#ifndef KELTO_TESTS_CANBOOT_BOOT_FIXTURE_H
#define KELTO_TESTS_CANBOOT_BOOT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "fake_can.h"
#include "hex_loader.h"
#include "tool.h"
#include "virtual_clock.h"

constexpr uint32_t DATA_ID = 0x1B070040;
constexpr uint32_t COMMAND_ID = 0x1B070042;
constexpr uint32_t REPLY_ID = 0x1B070100;
constexpr uint32_t ENTER_ID = 0x1B070180;

using Bytes = std::vector<uint8_t>;

class BootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        virtualClockReset();
        fakeCanReset();
        kelto::setTool(profile);
        kelto::pages.clear();
        std::srand(1);  // the state a process starts in
    }

    // Each entry frame is answered on the reply identifier 2 ms later.
    static void answerEntryFrames(const Bytes& reply) {
        fakeCanOnSend([reply](const FakeFrame& f) {
            if ((f.id & ~0x3Fu) == ENTER_ID) fakeCanArrive(f.timeUs + 2000, REPLY_ID, reply);
        });
    }

    // The entry payloads a process that never seeds rand() sends first.
    static std::vector<Bytes> expectedEntryPayloads(int count) {
        std::srand(1);
        std::vector<Bytes> payloads;
        for (int n = 0; n < count; ++n) {
            Bytes p;
            unsigned sum = 0;
            for (int i = 0; i < 7; ++i) {
                p.push_back(static_cast<uint8_t>(std::rand() % 255));
                sum += p.back();
            }
            p.push_back(static_cast<uint8_t>(0x46 - sum));
            payloads.push_back(p);
        }
        return payloads;
    }

    kelto::ToolProfile profile{nullptr, nullptr, "ping", 200, 0x1b07, "Lumabar_GetLibraryVersion"};
};

#endif
