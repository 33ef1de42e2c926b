// Bootloader link: the CAN frames through which the updater talks to a
// device's bootloader. Each operation is one frame, or one frame and one
// read; nothing is acknowledged.
//
// Identifiers are (tool().bootHighHalf << 16) | low half, e.g. for the
// lighting tool (high half 0x1b07):
//   Write_page(0x1FC0)            -> 1B070042#C01F00400D000000
//   Run_app(commandPayload(0x1FC0, CMD_WRITE_PAGE))
//                                 -> 1B070042#C01F004011000000
//   Enter_Boot(0x1B070185)        -> 1B070185#<7 filler bytes><check byte>, sum 0x46
#ifndef KELTO_CANBOOT_BOOT_LINK_H
#define KELTO_CANBOOT_BOOT_LINK_H

#include <array>
#include <cstdint>

namespace kelto {

// Low halves of the bootloader message IDs.
constexpr uint16_t BOOT_DATA_LOW = 0x0040;     // to the device, 8 bytes of a page
constexpr uint16_t BOOT_COMMAND_LOW = 0x0042;  // to the device, command payload
constexpr uint16_t BOOT_REPLY_LOW = 0x0100;    // from the device, version reply
constexpr uint16_t BOOT_ENTER_LOW = 0x0180;    // to the device (OR device ID), entry payload

// Command codes, byte 4 of the command payload.
constexpr uint8_t CMD_UNLOCK_PAGE = 0x0A;
constexpr uint8_t CMD_LOAD_ADDRESS = 0x0B;
constexpr uint8_t CMD_WRITE_PAGE = 0x0D;
constexpr uint8_t CMD_ERASE_PAGE = 0x0E;
constexpr uint8_t CMD_RUN_APP = 0x11;

constexpr uint8_t COMMAND_PAGE_BYTES = 0x40;  // byte 3 of every command payload
constexpr int ENTRY_WAIT_MS = 20;             // pause after each entry frame

// The 8 bytes of a frame the link builds.
using Payload = std::array<uint8_t, 8>;

// Address bits 0-7, 8-15, 16-23, 0x40, command, 0, 0, 0.
Payload commandPayload(long address, uint8_t command);

// The 8 bytes at buf to the data identifier.
void Send_data(const uint8_t* buf);

// commandPayload(address, code) to the command identifier.
void Load_address(long address);  // code 0x0B
void Unlock_page(long address);   // code 0x0A
void Erase_page(long address);    // code 0x0E
void Write_page(long address);    // code 0x0D

// The start-application frame: `previous`, the payload of the frame the
// update sent last before it (its last Write_page, or its entry frame when
// no page was sent), with byte 4 set to 0x11; the other bytes repeat it.
void Run_app(const Payload& previous);

// What Enter_Boot writes to stderr when a bootloader reply was already
// waiting before its entry frame.
constexpr char ALREADY_IN_BOOTLOADER[] =
    "kelto: a device is already in its bootloader and will also take these pages\n";

// `entryId` is the bootloader-entry identifier with the device ID in bits
// 5-0 (the "firmware" entry ORed with the device ID). Drops a stale reply
// (writing ALREADY_IN_BOOTLOADER when there was one), sends a fresh entry
// payload to entryId, pauses 20 ms and reads once: a reply prints the
// version line on stderr, no reply prints nothing. Returns the payload sent.
Payload Enter_Boot(uint32_t entryId);

// Sends a fresh entry payload to the entry identifier (device 0) every
// 20 ms, writing "\r" and a spinner character to stderr each turn, until a
// reply comes; then prints the version line. Never gives up. Returns the
// last payload sent.
Payload Recovery();

}  // namespace kelto

#endif
