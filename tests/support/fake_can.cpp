#include "fake_can.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "CANSessionMux.h"
#include "clock.h"
#include "update_lock.h"

namespace {

std::vector<FakeFrame> pending;  // device frames not yet handed over
std::vector<FakeFrame> sent;
std::map<uint32_t, int> receiveCalls;
int receiveTotal = 0;
std::function<void(const FakeFrame&)> onSend;
int32_t sendStatus = 0;
int32_t lockStatus = KELTO_UPDATE_LOCK_HELD;
std::vector<FakeLockCall> lockCalls;

}  // namespace

void fakeCanReset() {
    pending.clear();
    sent.clear();
    receiveCalls.clear();
    receiveTotal = 0;
    onSend = nullptr;
    sendStatus = 0;
    lockStatus = KELTO_UPDATE_LOCK_HELD;
    lockCalls.clear();
}

void fakeCanArrive(int64_t atUs, uint32_t id, std::vector<uint8_t> data) {
    pending.push_back({atUs, id, std::move(data)});
}

const std::vector<FakeFrame>& fakeCanSent() {
    return sent;
}

int fakeCanReceiveCalls() {
    return receiveTotal;
}

int fakeCanReceiveCalls(uint32_t id) {
    const auto it = receiveCalls.find(id);
    return it == receiveCalls.end() ? 0 : it->second;
}

void fakeCanOnSend(std::function<void(const FakeFrame&)> hook) {
    onSend = std::move(hook);
}

void fakeCanSetSendStatus(int32_t status) {
    sendStatus = status;
}

void fakeCanSetLockStatus(int32_t status) {
    lockStatus = status;
}

const std::vector<FakeLockCall>& fakeCanLockCalls() {
    return lockCalls;
}

extern "C" int32_t KELTO_CANSessionMux_lockUpdates(uint32_t bootHighHalf) {
    lockCalls.push_back({bootHighHalf, sent.size()});
    return lockStatus;
}

extern "C" void FRC_NetworkCommunication_CANSessionMux_sendMessage(uint32_t messageID,
                                                                   const uint8_t* data,
                                                                   uint8_t dataSize, int32_t,
                                                                   int32_t* status) {
    FakeFrame frame{kelto::nowUs(), messageID, {}};
    if (data != nullptr) frame.data.assign(data, data + std::min<int>(dataSize, 8));
    sent.push_back(frame);
    *status = sendStatus;
    if (onSend) onSend(frame);
}

extern "C" void FRC_NetworkCommunication_CANSessionMux_receiveMessage(
    uint32_t* messageID, uint32_t messageIDMask, uint8_t* data, uint8_t* dataSize,
    uint32_t* timeStamp, int32_t* status) {
    ++receiveTotal;
    ++receiveCalls[*messageID];
    const int64_t now = kelto::nowUs();
    auto best = pending.end();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        const bool match = (it->id & messageIDMask) == (*messageID & messageIDMask);
        if (match && it->timeUs <= now && (best == pending.end() || it->timeUs >= best->timeUs))
            best = it;
    }
    if (best == pending.end()) {
        *status = ERR_CANSessionMux_MessageNotFound;
        return;
    }
    const FakeFrame frame = *best;
    // Latest-value semantics: older unread frames of that identifier go too.
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [&](const FakeFrame& f) {
                                     return f.id == frame.id && f.timeUs <= frame.timeUs;
                                 }),
                  pending.end());
    std::memcpy(data, frame.data.data(), frame.data.size());
    if (dataSize != nullptr) *dataSize = static_cast<uint8_t>(frame.data.size());
    if (timeStamp != nullptr) *timeStamp = static_cast<uint32_t>(frame.timeUs / 1000);
    *messageID = frame.id;
    *status = 0;
}
