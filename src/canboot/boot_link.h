// Bootloader link: the CAN frames through which the updater talks to a
// device's bootloader. Each operation is one frame, or one frame and one
// read; nothing is acknowledged, and no operation returns a result.
//
// Identifiers are (tool().bootHighHalf << 16) | low half, e.g. for the
// lighting tool (high half 0x1b07):
//   Write_page(0x1FC0) -> 1B070042#C0.1F.00.40.0D.00.00.00
//   Run_app() after it -> 1B070042#C0.1F.00.40.11.00.00.00
//   Enter_Boot(0x1B070185) -> 1B070185#<7 filler bytes><check byte>, sum 0x46
#ifndef KELTO_CANBOOT_BOOT_LINK_H
#define KELTO_CANBOOT_BOOT_LINK_H

#include <cstdint>

namespace kelto {

// Low halves of the bootloader message IDs.
constexpr uint16_t BOOT_DATA_LOW = 0x0040;     // to the device, 8 bytes of a page
constexpr uint16_t BOOT_COMMAND_LOW = 0x0042;  // to the device, command payload
constexpr uint16_t BOOT_RESET_LOW = 0x00C2;    // to the device, empty
constexpr uint16_t BOOT_REPLY_LOW = 0x0100;    // from the device, version reply
constexpr uint16_t BOOT_ENTER_LOW = 0x0180;    // to the device (OR device ID), entry payload

// Full identifier of a bootloader frame for the selected tool.
uint32_t bootId(uint16_t low);

// Command codes, byte 4 of the command payload.
constexpr uint8_t CMD_UNLOCK_PAGE = 0x0A;
constexpr uint8_t CMD_LOAD_ADDRESS = 0x0B;
constexpr uint8_t CMD_WRITE_PAGE = 0x0D;
constexpr uint8_t CMD_ERASE_PAGE = 0x0E;
constexpr uint8_t CMD_RUN_APP = 0x11;

constexpr uint8_t COMMAND_PAGE_BYTES = 0x40;  // byte 3 of every command payload
constexpr int ENTRY_WAIT_MS = 20;             // pause after each entry frame

// Scratch payload of every frame the link builds (entry, command, run,
// reset). Keeps its contents between calls; Run_app relies on that.
extern uint8_t stmp[8];

// Sends one frame; the platform status is dropped. Every caller passes
// period 0 (sent once).
void sendMsgBuf(uint32_t messageID, uint8_t dataSize, const uint8_t* data, int32_t period);

// The 8 bytes at buf to the data identifier.
void Send_data(unsigned char* buf);

// stmp = address bits 0-7, 8-15, 16-23, 0x40, command, 0, 0, 0; sent to
// the command identifier.
void send_command(long address, uint8_t command);

void Load_address(long address);  // command 0x0B
void Unlock_page(long address);   // command 0x0A
void Erase_page(long address);    // command 0x0E
void Write_page(long address);    // command 0x0D

// Sets stmp[4] to 0x11 and sends all of stmp to the command identifier; the
// other seven bytes are whatever the last built frame left.
void Run_app();

// An empty frame to the reset identifier.
void Btl_reset();

// Drops a stale reply, sends an entry payload to the entry identifier OR id,
// pauses 20 ms and reads once: a reply prints the version line on stderr,
// no reply prints nothing.
void Enter_Boot(uint32_t id);

// Sends an entry payload to the entry identifier (device 0) every 20 ms,
// writing "\r" and a spinner character to stderr each turn, until a reply
// comes; then prints the version line. Never gives up.
void Recovery();

}  // namespace kelto

#endif
