// A small scripted bus for unit tests of the tools on virtual time: devices
// that send presence frames and answer empty queries, over fake_can.
//
//   ScriptedBus bus(lumabar::PROFILE);
//   bus.present(5);                          // presence frames of device 5
//   bus.answer(0x08073805, {'F','r','o','n','t',0,0,0});
//   kelto::getName(0x08073805)               -> {"name":"Front"}
#ifndef KELTO_TESTS_SCRIPTED_BUS_H
#define KELTO_TESTS_SCRIPTED_BUS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fake_can.h"
#include "tool.h"
#include "virtual_clock.h"

class ScriptedBus {
  public:
    // Resets virtual time and the fake CAN, selects `profile`.
    explicit ScriptedBus(const kelto::ToolProfile& profile);
    ~ScriptedBus();

    // Device `id` sends presence frames every periodMs for the next 10 s.
    void present(uint8_t id, int periodMs = 50);

    // Empty frames on `id` are answered after latencyUs with `reply`.
    void answer(uint32_t id, std::vector<uint8_t> reply, int64_t latencyUs = 1000);

    // A one-byte field on `id`: a 1-byte frame stores it, an empty frame is
    // answered with it after 1 ms.
    void field(uint32_t id, uint8_t value);

    // Frames the code sent on one identifier (all when id is 0).
    std::vector<FakeFrame> sentOn(uint32_t id = 0) const;

  private:
    const kelto::ToolProfile& profile_;
    std::map<uint32_t, std::pair<std::vector<uint8_t>, int64_t>> answers_;
    std::map<uint32_t, uint8_t> fields_;
};

// Runs `fn` with stdout and stderr captured.
struct Captured {
    int status;
    std::string out;
    std::string err;
};
template <typename Fn>
Captured capture(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = fn();
    Captured c{status, testing::internal::GetCapturedStdout(), ""};
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

// "08070005#00FF0000": a frame as a candump-style text, for readable asserts.
std::string frameText(const FakeFrame& frame);

// One run of a tool's command line: status, both streams, frames sent.
struct ToolRun {
    int status;
    std::string out;
    std::string err;
    std::vector<std::string> frames;
};

// Runs `toolMain` as the program `args[0]` with the rest as its arguments.
ToolRun runTool(int (*toolMain)(int, char**), std::vector<std::string> args);

// {"error":"<text>"} and a line end.
std::string errorDocument(const std::string& text);

#endif
