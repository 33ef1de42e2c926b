// Page transfer and update sequence: the engine of the "firmware" command.
//
//   setFirmware(0x1B070185, "image.hex") with a 2-page image, device answering:
//     stdout: "Total pages: 2\n" "1\n" "2\n"            -> returns 0
//     stderr: "\nb1.2 f3.4 h5.6" "\nEntered boot mode\n"
//   setFirmware(0x1B070185, "missing.hex"):
//     stderr: "Can not open the firmware hexfile: missing.hex\n"
//     stdout: "somethings up\n", no frame sent            -> returns 26
#ifndef KELTO_CANBOOT_UPDATE_H
#define KELTO_CANBOOT_UPDATE_H

#include <cstdint>
#include <string>

#include "report.h"  // FIRMWARE_FILE_REJECTED, FIRMWARE_UPDATE_RUNNING

namespace kelto {

constexpr int BOOT_SETTLE_MS = 200;     // after entering the bootloader
constexpr int PAGE_STEP_MS = 10;        // after each slot and each page command
constexpr int RUN_APP_DELAY_MS = 1000;  // before the start-application frame

// The whole update: load the image (parseFile), enter the bootloader,
// "\nEntered boot mode\n" on stderr, 200 ms, every page in ascending address
// order (Load_address, the four slots as pairs of data frames with 10 ms
// after each pair, Unlock_page, Erase_page, Write_page with 10 ms after
// each, then the page count so far on stdout), 1000 ms, Run_app.
//
// First of all it takes the update lock of the tool's bootloader kind
// (canLockUpdates) and holds it until the process ends: every device of a
// kind in its bootloader takes every page, so two updates of one kind must
// never overlap. When the lock is taken elsewhere, it prints the error
// document of FIRMWARE_UPDATE_RUNNING and returns it; nothing was sent.
//
// `id` is 0 for the recovery path (Recovery, no device named), otherwise
// the "firmware" entry ORed with the device ID (Enter_Boot). Returns 0 once
// the device has been addressed; FIRMWARE_FILE_REJECTED, after
// "somethings up\n" on stdout, when the loader rejected the file, and then
// no frame was sent.
int setFirmware(uint32_t id, const std::string& path);

}  // namespace kelto

#endif
