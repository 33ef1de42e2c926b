// kelto_hexcheck FILE: loads an Intel HEX image with the firmware loader and
// prints what a device would hold after the update, as one compact JSON
// object with sorted keys:
//   crc32       zlib CRC-32 of every page's 64 bytes in ascending page
//               address, 8 lower-case hex digits
//   first_page  lowest page address (integer), null when there are no pages
//   last_page   highest page address (integer), null when there are no pages
//   pages       number of 64-byte pages
//
//   scripts/gen_hex.py --pages 2 > image.hex; kelto_hexcheck image.hex
//     -> {"crc32":"0ac2adea","first_page":0,"last_page":64,"pages":2}, exit 0
//   kelto_hexcheck empty.hex   (no 16-byte records; crc32 of no bytes is 0)
//     -> {"crc32":"00000000","first_page":null,"last_page":null,"pages":0}, exit 0
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

nlohmann::json summary(const kelto::PageMap& image) {
    char crcText[9];
    std::snprintf(crcText, sizeof crcText, "%08x", imageCrc(image));
    nlohmann::json doc;
    doc["crc32"] = crcText;
    doc["pages"] = image.size();
    doc["first_page"] = image.empty() ? nlohmann::json() : nlohmann::json(image.begin()->first);
    doc["last_page"] = image.empty() ? nlohmann::json() : nlohmann::json(image.rbegin()->first);
    return doc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: kelto_hexcheck FILE\n", stderr);
        return EXIT_USAGE;
    }
    kelto::PageMap image;
    if (!kelto::loadHexFile(argv[1], image, nullptr, stderr)) return EXIT_REJECTED;
    std::puts(summary(image).dump().c_str());
    return 0;
}
