// libFuzzer target: the HEX loader on arbitrary file contents. The input is
// written to a file and loaded as a firmware image; the sanitizers catch any
// read or write out of bounds, whatever the byte counts, line lengths or
// characters. Invariant checked: every page address is a multiple of 64
// inside the 16-bit address space, whether the file was accepted or not.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hex_loader.h"

namespace {

std::string imagePath() {
    static const std::string path = [] {
        char name[] = "/tmp/kelto_hex_fuzz_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    return path;
}

FILE* sink() {
    static FILE* devnull = std::fopen("/dev/null", "w");
    return devnull;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(imagePath().c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    kelto::PageMap image;
    kelto::loadHexFile(imagePath(), image, sink(), sink());
    for (const auto& entry : image)
        if (entry.first % 64 != 0 || entry.first > 0xFFC0) std::abort();
    return 0;
}
