#include "update.h"

#include <cstdio>

#include "boot_link.h"
#include "can_port.h"
#include "clock.h"
#include "hex_loader.h"
#include "report.h"
#include "tool.h"

namespace kelto {

namespace {

// One slot: bytes 0-7, then bytes 8-15, then the pause.
void sendSlot(const Record& rec) {
    Send_data(rec.data);
    Send_data(rec.data + 8);
    sleepMs(PAGE_STEP_MS);
}

void sendPage(uint32_t pageAddress, const Page& page) {
    Load_address(pageAddress);
    for (const Record& rec : page.recs) sendSlot(rec);
    Unlock_page(pageAddress);
    sleepMs(PAGE_STEP_MS);
    Erase_page(pageAddress);
    sleepMs(PAGE_STEP_MS);
    Write_page(pageAddress);
    sleepMs(PAGE_STEP_MS);
}

void sendPages() {
    int progress = 0;
    for (const auto& [pageAddress, page] : pages) {
        sendPage(pageAddress, page);
        ++progress;
        std::printf("%d\n", progress);
        std::fflush(stdout);
    }
}

bool updateFirmware(uint32_t id, const std::string& path) {
    if (!parseFile(path)) {
        std::fputs("somethings up\n", stdout);
        std::fflush(stdout);
        return false;
    }
    // The start-application frame repeats the frame sent before it.
    Payload last = id != 0 ? Enter_Boot(id) : Recovery();
    std::fputs("\nEntered boot mode\n", stderr);
    std::fflush(stderr);
    sleepMs(BOOT_SETTLE_MS);
    sendPages();
    if (!pages.empty()) last = commandPayload(pages.rbegin()->first, CMD_WRITE_PAGE);
    sleepMs(RUN_APP_DELAY_MS);
    Run_app(last);
    return true;
}

}  // namespace

int setFirmware(uint32_t id, const std::string& path) {
    // Without a lock (kUnavailable, already explained on stderr) the update
    // still runs: the bus itself will say whether it can be used.
    if (canLockUpdates(tool().bootHighHalf) == UpdateLockStatus::kBusy)
        return reportError(FIRMWARE_UPDATE_RUNNING);
    return updateFirmware(id, path) ? 0 : FIRMWARE_FILE_REJECTED;
}

}  // namespace kelto
