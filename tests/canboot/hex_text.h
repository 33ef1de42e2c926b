// HEX image text for the loader and update tests.
//   rec(0x40, 1)      -> ":1000400001020304...0F10" + checksum (bytes 1, 2, ... 16)
//   hexLine(0, 0, 1, {}) -> ":00000001FF"
#ifndef KELTO_TESTS_CANBOOT_HEX_TEXT_H
#define KELTO_TESTS_CANBOOT_HEX_TEXT_H

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

inline std::string hexByte(unsigned v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", v & 0xFF);
    return text;
}

// One record line without line end. checksumDelta != 0 spoils the checksum.
inline std::string hexLine(unsigned count, unsigned address, unsigned type,
                           const std::vector<uint8_t>& bytes, int checksumDelta = 0) {
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    std::string line =
        ":" + hexByte(count) + hexByte(address >> 8) + hexByte(address) + hexByte(type);
    for (uint8_t b : bytes) {
        line += hexByte(b);
        sum += b;
    }
    return line + hexByte(0x100 - (sum & 0xFF) + checksumDelta);
}

// n bytes seed, seed+1, ... (mod 256).
inline std::vector<uint8_t> seeded(int seed, int n = 16) {
    std::vector<uint8_t> bytes;
    for (int j = 0; j < n; ++j) bytes.push_back(static_cast<uint8_t>(seed + j));
    return bytes;
}

// A 16-byte data record whose bytes are seed, seed+1, ..., without line end.
inline std::string rec(unsigned address, int seed) {
    return hexLine(16, address, 0, seeded(seed));
}

// Writes `text` to a file `name` in the test's temporary directory; its path.
inline std::string writeImage(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

#endif
