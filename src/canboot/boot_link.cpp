#include "boot_link.h"

#include <cstdio>

#include "CANSessionMux.h"
#include "clock.h"
#include "sum_rule.h"
#include "tool.h"

namespace kelto {

uint8_t stmp[8];

namespace {

constexpr uint32_t EXACT_MATCH = 0xFFFFFFFF;
constexpr char SPINNER[] = "|/-\\";
constexpr int TURNS_PER_SPINNER_CHAR = 3;

// One read of the reply identifier. Returns the platform status; on 0 the
// payload is in reply, and bytes a short reply does not carry read as 0.
int32_t readReply(uint8_t (&reply)[8]) {
    for (uint8_t& byte : reply) byte = 0;
    uint32_t messageID = bootId(BOOT_REPLY_LOW);
    uint8_t dataSize = 8;
    uint32_t timeStamp = 0;
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&messageID, EXACT_MATCH, reply, &dataSize,
                                                          &timeStamp, &status);
    return status;
}

// "\nb1.2 f3.4 h5.6" on stderr, no line end. Each piece fits the 10-char
// buffer: "b255.255 " is 9 characters.
void printVersionLine(const uint8_t (&reply)[8]) {
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

// Builds a fresh entry payload in stmp and sends it to entry identifier | id.
void sendEntryFrame(uint32_t id) {
    fillSumRule(stmp, 0);
    sendMsgBuf(bootId(BOOT_ENTER_LOW) | id, 8, stmp, 0);
}

}  // namespace

uint32_t bootId(uint16_t low) {
    return static_cast<uint32_t>(tool().bootHighHalf) << 16 | low;
}

void sendMsgBuf(uint32_t messageID, uint8_t dataSize, const uint8_t* data, int32_t period) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(messageID, data, dataSize, period, &status);
}

void Send_data(unsigned char* buf) {
    sendMsgBuf(bootId(BOOT_DATA_LOW), 8, buf, 0);
}

void send_command(long address, uint8_t command) {
    stmp[0] = static_cast<uint8_t>(address & 0xFF);
    stmp[1] = static_cast<uint8_t>((address >> 8) & 0xFF);
    stmp[2] = static_cast<uint8_t>((address >> 16) & 0xFF);
    stmp[3] = COMMAND_PAGE_BYTES;
    stmp[4] = command;
    stmp[5] = 0;
    stmp[6] = 0;
    stmp[7] = 0;
    sendMsgBuf(bootId(BOOT_COMMAND_LOW), 8, stmp, 0);
}

void Load_address(long address) {
    send_command(address, CMD_LOAD_ADDRESS);
}
void Unlock_page(long address) {
    send_command(address, CMD_UNLOCK_PAGE);
}
void Erase_page(long address) {
    send_command(address, CMD_ERASE_PAGE);
}
void Write_page(long address) {
    send_command(address, CMD_WRITE_PAGE);
}

void Run_app() {
    stmp[4] = CMD_RUN_APP;
    sendMsgBuf(bootId(BOOT_COMMAND_LOW), 8, stmp, 0);
}

void Btl_reset() {
    sendMsgBuf(bootId(BOOT_RESET_LOW), 0, stmp, 0);
}

void Enter_Boot(uint32_t id) {
    uint8_t reply[8] = {};
    readReply(reply);  // drops a reply left from before
    sendEntryFrame(id);
    sleepMs(ENTRY_WAIT_MS);
    if (readReply(reply) == 0) printVersionLine(reply);
}

void Recovery() {
    uint8_t reply[8] = {};
    readReply(reply);  // drops a reply left from before
    for (unsigned printChar = 0;; ++printChar) {
        sendEntryFrame(0);
        sleepMs(ENTRY_WAIT_MS);
        std::fputc('\r', stderr);
        std::fputc(SPINNER[(printChar % 12) / TURNS_PER_SPINNER_CHAR], stderr);
        std::fflush(stderr);
        if (readReply(reply) == 0) break;
    }
    printVersionLine(reply);
}

}  // namespace kelto
