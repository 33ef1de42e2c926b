#include "boot_link.h"

#include <cstdio>

#include "can_port.h"
#include "clock.h"
#include "sum_rule.h"
#include "tool.h"

namespace kelto {

namespace {

constexpr char SPINNER[] = "|/-\\";
constexpr int TURNS_PER_SPINNER_CHAR = 3;

uint32_t bootId(uint16_t low) {
    return static_cast<uint32_t>(tool().bootHighHalf) << 16 | low;
}

// One frame; the send status is not looked at.
void sendMsgBuf(uint32_t messageID, uint8_t dataSize, const uint8_t* data) {
    canSend(messageID, data, dataSize);
}

void sendCommand(long address, uint8_t command) {
    const Payload payload = commandPayload(address, command);
    sendMsgBuf(bootId(BOOT_COMMAND_LOW), 8, payload.data());
}

// One read of the reply identifier. Returns the platform status; on 0 the
// payload is in reply, and bytes a short reply does not carry read as 0.
int32_t readReply(Payload& reply) {
    reply.fill(0);
    uint32_t messageID = bootId(BOOT_REPLY_LOW);
    uint8_t dataSize = 8;
    return canReceive(&messageID, reply.data(), &dataSize);
}

// "\nb1.2 f3.4 h5.6" on stderr, no line end. Each piece fits the 10-char
// buffer: "b255.255 " is 9 characters.
void printVersionLine(const Payload& reply) {
    char piece[10];
    std::fputs("\n", stderr);
    std::snprintf(piece, sizeof piece, "b%d.%d ", reply[0], reply[1]);
    std::fputs(piece, stderr);
    std::snprintf(piece, sizeof piece, "f%d.%d ", reply[2], reply[3]);
    std::fputs(piece, stderr);
    std::snprintf(piece, sizeof piece, "h%d.%d", reply[4], reply[5]);
    std::fputs(piece, stderr);
    std::fflush(stderr);
}

// A fresh entry payload, sent to `entryId`.
Payload sendEntryFrame(uint32_t entryId) {
    Payload payload{};
    fillSumRule(payload.data(), 0);
    sendMsgBuf(entryId, 8, payload.data());
    return payload;
}

}  // namespace

Payload commandPayload(long address, uint8_t command) {
    return {static_cast<uint8_t>(address & 0xFF),
            static_cast<uint8_t>((address >> 8) & 0xFF),
            static_cast<uint8_t>((address >> 16) & 0xFF),
            COMMAND_PAGE_BYTES,
            command,
            0,
            0,
            0};
}

void Send_data(const uint8_t* buf) {
    sendMsgBuf(bootId(BOOT_DATA_LOW), 8, buf);
}

void Load_address(long address) {
    sendCommand(address, CMD_LOAD_ADDRESS);
}
void Unlock_page(long address) {
    sendCommand(address, CMD_UNLOCK_PAGE);
}
void Erase_page(long address) {
    sendCommand(address, CMD_ERASE_PAGE);
}
void Write_page(long address) {
    sendCommand(address, CMD_WRITE_PAGE);
}

void Run_app(const Payload& previous) {
    Payload payload = previous;
    payload[4] = CMD_RUN_APP;
    sendMsgBuf(bootId(BOOT_COMMAND_LOW), 8, payload.data());
}

Payload Enter_Boot(uint32_t entryId) {
    Payload reply{};
    // A reply before our entry frame comes from a device already in its
    // bootloader, which will take these pages too: say so, send the same.
    if (readReply(reply) == 0) {
        std::fputs(ALREADY_IN_BOOTLOADER, stderr);
        std::fflush(stderr);
    }
    const Payload sent = sendEntryFrame(entryId);
    sleepMs(ENTRY_WAIT_MS);
    if (readReply(reply) == 0) printVersionLine(reply);
    return sent;
}

Payload Recovery() {
    Payload reply{};
    readReply(reply);  // drops a reply left from before
    Payload sent{};
    for (unsigned printChar = 0;; ++printChar) {
        sent = sendEntryFrame(bootId(BOOT_ENTER_LOW));
        sleepMs(ENTRY_WAIT_MS);
        std::fputc('\r', stderr);
        std::fputc(SPINNER[(printChar % 12) / TURNS_PER_SPINNER_CHAR], stderr);
        std::fflush(stderr);
        if (readReply(reply) == 0) break;
    }
    printVersionLine(reply);
    return sent;
}

}  // namespace kelto
