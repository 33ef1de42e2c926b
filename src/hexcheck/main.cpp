// kelto_hexcheck FILE: loads an Intel HEX image with the firmware loader and
// prints what a device would hold after the update, as one compact JSON
// object with sorted keys:
//   crc32               zlib CRC-32 of every page's 64 bytes in ascending page
//                       address, 8 lower-case hex digits
//   dropped_records     data records (type 00) not 16 bytes long: checked,
//                       never flashed
//   first_page_address  lowest page address (a byte address, integer), null
//                       when there are no pages
//   last_page_address   highest page address, likewise
//   lines_after_eof     lines after the first end-of-file record (type 01):
//                       read, checked and flashed all the same
//   pages               number of 64-byte pages
//   first_page, last_page  deprecated: the same values as the *_address keys
// Each non-zero count also gets one warning line on stderr; the exit status
// stays 0.
//
//   scripts/gen_hex.py --pages 2 > image.hex; kelto_hexcheck image.hex
//     -> {"crc32":"0ac2adea","dropped_records":0,"first_page":0,"first_page_address":0,
//         "last_page":64,"last_page_address":64,"lines_after_eof":0,"pages":2}, exit 0
//   kelto_hexcheck wide.hex    (32-byte records only: nothing would be flashed)
//     -> stderr "kelto_hexcheck: 8 data records dropped: only records of exactly 16
//        bytes are flashed", {"crc32":"00000000","dropped_records":8,...,"pages":0}, exit 0
//   kelto_hexcheck bad.hex     (checksum fails on line 3)
//     -> stderr "Error in hex file #3", nothing on stdout, exit 1 (any loader error)
//   kelto_hexcheck             -> usage on stderr, exit 2
#include <zlib.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "hex_loader.h"

namespace {

constexpr int EXIT_REJECTED = 1;
constexpr int EXIT_USAGE = 2;

// CRC-32 over the pages' bytes in ascending address order.
uint32_t imageCrc(const kelto::PageMap& image) {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (const auto& entry : image)
        for (const kelto::Record& rec : entry.second.recs)
            crc = crc32(crc, rec.data, sizeof rec.data);
    return static_cast<uint32_t>(crc);
}

nlohmann::json summary(const kelto::PageMap& image, const kelto::LoadStats& stats) {
    char crcText[9];
    std::snprintf(crcText, sizeof crcText, "%08x", imageCrc(image));
    nlohmann::json doc;
    doc["crc32"] = crcText;
    doc["pages"] = image.size();
    doc["first_page_address"] =
        image.empty() ? nlohmann::json() : nlohmann::json(image.begin()->first);
    doc["last_page_address"] =
        image.empty() ? nlohmann::json() : nlohmann::json(image.rbegin()->first);
    doc["first_page"] = doc["first_page_address"];  // deprecated
    doc["last_page"] = doc["last_page_address"];    // deprecated
    doc["dropped_records"] = stats.droppedRecords;
    doc["lines_after_eof"] = stats.linesAfterEnd;
    return doc;
}

const char* plural(int n) {
    return n == 1 ? "" : "s";
}

// One line on stderr per count that means the image is not what it seems.
void warn(const kelto::LoadStats& stats) {
    const int dropped = stats.droppedRecords, after = stats.linesAfterEnd;
    if (dropped > 0)
        std::fprintf(stderr,
                     "kelto_hexcheck: %d data record%s dropped: only records of exactly 16 bytes "
                     "are flashed\n",
                     dropped, plural(dropped));
    if (after > 0)
        std::fprintf(stderr,
                     "kelto_hexcheck: %d line%s after the end-of-file record: read like any "
                     "other, and 16-byte records among them are flashed\n",
                     after, plural(after));
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: kelto_hexcheck FILE\n", stderr);
        return EXIT_USAGE;
    }
    kelto::PageMap image;
    kelto::LoadStats stats;
    if (!kelto::loadHexFile(argv[1], image, nullptr, stderr, &stats)) return EXIT_REJECTED;
    warn(stats);
    std::puts(summary(image, stats).dump().c_str());
    return 0;
}
