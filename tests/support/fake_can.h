// Scripted fake of the two platform CAN calls and the stand-in's update
// lock call, for unit tests on virtual time (link `kelto_fake_can` and
// `kelto_virtual_clock`).
//
//   fakeCanArrive(kelto::nowUs() + 1000, 0x08073805, {'a','b',0,0,0,0,0,0});
//   kelto::sleepMs(10);
//   receiveMessage(0x08073805) -> status 0, payload "ab"; a second call -> -44087
#ifndef KELTO_TESTS_FAKE_CAN_H
#define KELTO_TESTS_FAKE_CAN_H

#include <cstdint>
#include <functional>
#include <vector>

struct FakeFrame {
    int64_t timeUs;
    uint32_t id;
    std::vector<uint8_t> data;
};

// Forgets all frames, counters and hooks.
void fakeCanReset();

// A device frame that reaches the bus at virtual time atUs.
void fakeCanArrive(int64_t atUs, uint32_t id, std::vector<uint8_t> data);

// Every frame the code sent, stamped with kelto::nowUs() at the call.
const std::vector<FakeFrame>& fakeCanSent();

// Receive calls since the last reset, and those of one identifier.
int fakeCanReceiveCalls();
int fakeCanReceiveCalls(uint32_t id);

// Called for each sent frame, e.g. to schedule a reply with fakeCanArrive.
void fakeCanOnSend(std::function<void(const FakeFrame&)> hook);

// The status sendMessage writes (default 0).
void fakeCanSetSendStatus(int32_t status);

// What the library's update lock call (update_lock.h) answers (default
// KELTO_UPDATE_LOCK_HELD), and the kinds (boot high halves) it was asked
// for, in order, with the number of frames sent before each call.
struct FakeLockCall {
    uint32_t bootHighHalf;
    size_t framesSentBefore;
};
void fakeCanSetLockStatus(int32_t status);
const std::vector<FakeLockCall>& fakeCanLockCalls();

#endif
