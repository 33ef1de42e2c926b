// The loader's behaviour over a table of small HEX files: result, the exact
// text on both streams, and the pages it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "hex_loader.h"
#include "hex_text.h"

namespace {

using kelto::PageMap;

// Slot contents in an expectation: a seed s stands for the 16 bytes s, s+1,
// ... s+15 (mod 256); BLANK for sixteen 0xFF.
constexpr int BLANK = -1;
using Slots = std::array<int, 4>;
using PageExpect = std::map<uint32_t, Slots>;

const std::string EOF_LINE = ":00000001FF";

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A 16-byte record whose checksum is 0x0C, written as "C" alone: "%x" would
// read the right value, but the line is one character short of its count.
std::string oneDigitChecksum() {
    auto d = seeded(0x20);
    const unsigned checksum = std::stoul(hexLine(16, 0x10, 0, d).substr(41), nullptr, 16);
    d[15] = static_cast<uint8_t>(d[15] + checksum - 0x0C);
    return hexLine(16, 0x10, 0, d).erase(41, 1);
}

// `line` with the two-character field at `at` replaced by `head` and a NUL.
std::string withNul(std::string line, size_t at, const std::string& head) {
    return line.replace(at, 2, head + std::string(1, '\0') + std::string(1 - head.size(), '0'));
}

struct LoaderCase {
    const char* name;
    std::string file;  // content; "{missing}" for a file that does not exist
    bool ok;
    std::string out;  // "{path}" stands for the file's path
    std::string err;
    PageExpect pages;
};

const std::string FORMAT_ERROR =
    "Incorrect file format of firmware file: {path}"
    "Error in firmware file. File processing cancelled.\n";

std::vector<LoaderCase> loaderCases() {
    const std::string a = rec(0x0000, 0x10), b = rec(0x0010, 0x20), c = rec(0x0040, 0x30);
    const std::string pad55(55, 'x');
    return {
        {"data then end-of-file record",
         a + "\n" + b + "\n" + EOF_LINE + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x20, BLANK, BLANK}}}},
        {"good data line after end-of-file",
         a + "\n" + EOF_LINE + "\n" + c + "\n",
         true,
         "Total pages: 2\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}, {0x0040, {0x30, BLANK, BLANK, BLANK}}}},
        {"bad line after end-of-file",
         a + "\n" + EOF_LINE + "\n" + hexLine(16, 0x40, 0, seeded(1), 1) + "\n",
         false,
         "",
         "Error in hex file #3\n",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"short records checked and dropped",
         a + "\n" + hexLine(7, 0x0010, 0, seeded(0x50, 7)) + "\n" +
             hexLine(15, 0x80, 0, seeded(1, 15)) + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"extended and start address records ignored",
         hexLine(2, 0, 4, {0x00, 0x01}) + "\n" + hexLine(2, 0, 2, {0x10, 0x00}) + "\n" + b + "\n" +
             hexLine(4, 0, 5, {0x08, 0, 0x01, 0}) + "\n" + hexLine(4, 0, 3, {0, 0, 0x12, 0x34}) +
             "\n" + EOF_LINE,
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {BLANK, 0x20, BLANK, BLANK}}}},
        {"16-byte line placed whatever its type",
         hexLine(16, 0x0020, 1, seeded(0x60)) + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {BLANK, BLANK, 0x60, BLANK}}}},
        {"later line wins",
         rec(0x0020, 0x01) + "\n" + rec(0x0020, 0x70) + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {BLANK, BLANK, 0x70, BLANK}}}},
        {"partial page keeps 0xFF, pages ordered by address",
         rec(0x1FD0, 0x40) + "\n" + a + "\n",
         true,
         "Total pages: 2\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}, {0x1FC0, {BLANK, 0x40, BLANK, BLANK}}}},
        {"low 4 address bits unused",
         rec(0x0047, 0x33) + "\n" + rec(0xFFFF, 0x44) + "\n",
         true,
         "Total pages: 2\n",
         "",
         {{0x0040, {0x33, BLANK, BLANK, BLANK}}, {0xFFC0, {BLANK, BLANK, BLANK, 0x44}}}},
        {"empty file", "", true, "Total pages: 0\n", "", {}},
        {"no 16-byte records",
         hexLine(4, 0, 0, seeded(1, 4)) + "\n" + EOF_LINE + "\n",
         true,
         "Total pages: 0\n",
         "",
         {}},
        {"blank first line", "\n" + a + "\n", false, "", FORMAT_ERROR, {}},
        {"blank middle line",
         a + "\n\n" + c + "\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"blank last line",
         a + "\n\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"CRLF blank last line",
         a + "\r\n\r\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"leading white space", " " + a + "\n", false, "", FORMAT_ERROR, {}},
        {"CRLF line ends",
         a + "\r\n" + b + "\r\n" + EOF_LINE + "\r\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x20, BLANK, BLANK}}}},
        {"no final line end",
         a + "\n" + b,
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x20, BLANK, BLANK}}}},
        {"98 characters before LF taken whole",
         a + pad55 + "\n" + b + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x20, BLANK, BLANK}}}},
        {"97 characters before CRLF taken whole",
         a + pad55.substr(1) + "\r\n" + b + "\r\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x20, BLANK, BLANK}}}},
        {"99 characters before LF split",
         a + pad55 + "y\n" + b + "\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"record hidden after 56 junk characters of a long line",
         a + pad55 + "y" + b + "\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"99 characters without a line end at the end of the file taken whole",
         a + pad55 + "y",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"98 characters before CRLF split",
         a + pad55 + "\r\n" + b + "\r\n",
         false,
         "",
         FORMAT_ERROR,
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"lower-case digits",
         lower(a) + "\n" + lower(rec(0xABF0, 0xEA)) + "\n",
         true,
         "Total pages: 2\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}, {0xABC0, {BLANK, BLANK, BLANK, 0xEA}}}},
        {"checksum error names the line among all lines",
         hexLine(2, 0, 4, {0, 0}) + "\n" + a + "\n" + EOF_LINE + "\n" +
             hexLine(16, 0x10, 0, seeded(2), -1) + "\n" + c,
         false,
         "",
         "Error in hex file #4\n",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"count 0x11, checksum over all 17 bytes",
         hexLine(0x11, 0x10, 0, seeded(0x90, 17)) + "\n" + a + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"count 0x11, wrong checksum",
         hexLine(0x11, 0x10, 0, seeded(0x90, 17), 1) + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"count 0x11, checksum over the first 16 bytes only",
         hexLine(0x11, 0x10, 0, seeded(0x90)).insert(41, "05") + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"count 0x2B, the most a line can carry",
         hexLine(0x2B, 0x10, 0, seeded(0, 0x2B)) + "\n",
         true,
         "Total pages: 0\n",
         "",
         {}},
        {"count 0x80, correct checksum, line longer than the buffer",
         a + "\n" + hexLine(0x80, 0x10, 0, seeded(0, 0x80)) + "\n",
         false,
         "",
         "Error in hex file #2\n",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"count 0x80, no data bytes",
         hexLine(0x80, 0x10, 0, {}) + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"count 0xFF, correct checksum",
         hexLine(0xFF, 0x10, 0, seeded(0, 0xFF)) + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"count 0xFF, wrong checksum",
         hexLine(0xFF, 0x10, 0, seeded(0, 0xFF), 3) + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"line shorter than its count",
         a + "\n" + b.substr(0, 39) + b.substr(41) + "\n",
         false,
         "",
         "Error in hex file #2\n",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"checksum field missing",
         b.substr(0, 41) + "\r\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"checksum written with one digit",
         oneDigitChecksum() + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"byte count without hex digit",
         ":G0000000" + std::string(34, '0') + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"address without hex digit",
         std::string(a).replace(3, 4, "zz  ") + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"record type of blanks",
         std::string(a).replace(7, 2, "  ") + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"data byte without hex digit",
         std::string(a).replace(15, 2, "x1") + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"checksum without hex digit",
         std::string(a).replace(41, 2, "--") + "\n",
         false,
         "",
         "Error in hex file #1\n",
         {}},
        {"field read as %x: leading blank skipped, stops at a non-digit",
         hexLine(16, 0x0000, 0, seeded(1)).replace(9, 4, " 12g") + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x01, BLANK, BLANK, BLANK}}}},
        {"missing file", "{missing}", false, "", "Can not open the firmware hexfile: {path}\n", {}},
        // A NUL is read as part of the line, not as its end: "A\0" is a field
        // that stops at the NUL (0x0A), as "%x" reads it; the line's real
        // length covers its count, so it is no short line.
        {"NUL ends a field, not the line",
         withNul(rec(0x0000, 0x0A), 9, "A") + "\n" + b + "\n",
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x0A, 0x20, BLANK, BLANK}}}},
        {"NUL at the start of a field: no hex digit",
         a + "\n" + withNul(rec(0x0010, 0x20), 11, "") + "\n",
         false,
         "",
         "Error in hex file #2\n",
         {{0x0000, {0x10, BLANK, BLANK, BLANK}}}},
        {"NUL in the last line, which has no line end",
         a + "\n" + withNul(rec(0x0010, 0x0A), 9, "A"),
         true,
         "Total pages: 1\n",
         "",
         {{0x0000, {0x10, 0x0A, BLANK, BLANK}}}},
    };
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string readAll(FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) text += static_cast<char>(c);
    return text;
}

std::array<uint8_t, 16> slotBytes(int seed) {
    std::array<uint8_t, 16> bytes;
    for (int j = 0; j < 16; ++j) bytes[j] = seed == BLANK ? 0xFF : static_cast<uint8_t>(seed + j);
    return bytes;
}

void expectPages(const PageExpect& want, const PageMap& got) {
    ASSERT_EQ(want.size(), got.size());
    for (const auto& [address, slots] : want) {
        ASSERT_EQ(1u, got.count(address)) << "page 0x" << std::hex << address;
        for (int k = 0; k < 4; ++k) {
            const kelto::Record& r = got.at(address).recs[k];
            const auto bytes = slotBytes(slots[k]);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), r.data))
                << "page 0x" << std::hex << address << " slot " << k;
        }
    }
}

class HexLoaderTable : public ::testing::Test {
  protected:
    std::string pathFor(const LoaderCase& c, int index) {
        const std::string path =
            ::testing::TempDir() + "kelto_loader_" + std::to_string(index) + ".hex";
        std::remove(path.c_str());
        if (c.file != "{missing}") std::ofstream(path, std::ios::binary) << c.file;
        return path;
    }
};

TEST_F(HexLoaderTable, EveryCase) {
    const auto cases = loaderCases();
    for (size_t i = 0; i < cases.size(); ++i) {
        const LoaderCase& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string path = pathFor(c, static_cast<int>(i));
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        PageMap pages;
        EXPECT_EQ(c.ok, kelto::loadHexFile(path, pages, out, err));
        EXPECT_EQ(replaceAll(c.out, "{path}", path), readAll(out));
        EXPECT_EQ(replaceAll(c.err, "{path}", path), readAll(err));
        expectPages(c.pages, pages);
        std::fclose(out);
        std::fclose(err);
        std::remove(path.c_str());
    }
}

// What a load read but did not place: data records of another length than
// 16, and lines after the first end-of-file record.
TEST_F(HexLoaderTable, CountsWhatIsNotPlaced) {
    auto wide = [](unsigned address) { return hexLine(32, address, 0, seeded(1, 32)) + "\n"; };
    const struct {
        const char* name;
        std::string file;
        int dropped;
        int afterEnd;
        size_t pages;
    } cases[] = {
        {"plain image", rec(0, 1) + "\n" + EOF_LINE + "\n", 0, 0, 1},
        {"32-byte records: nothing to flash", wide(0) + wide(0x20) + wide(0x40) + EOF_LINE, 3, 0,
         0},
        {"short, empty and long data records",
         hexLine(7, 0, 0, seeded(1, 7)) + "\n" + hexLine(0, 0, 0, {}) + "\n" + wide(0) +
             rec(0x40, 1) + "\n",
         3, 0, 1},
        {"other record types are no data records",
         hexLine(2, 0, 4, {0, 1}) + "\n" + hexLine(4, 0, 5, {0, 0, 1, 0}) + "\n" + EOF_LINE, 0, 0,
         0},
        {"lines after the end-of-file record",
         EOF_LINE + "\n" + rec(0, 1) + "\n" + hexLine(7, 0, 0, seeded(1, 7)) + "\n" + EOF_LINE, 1,
         3, 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string path = pathFor({"", cases[i].file, true, "", "", {}}, 100 + i);
        PageMap pages;
        kelto::LoadStats stats;
        stats.droppedRecords = stats.linesAfterEnd = -1;
        EXPECT_TRUE(kelto::loadHexFile(path, pages, nullptr, stderr, &stats));
        EXPECT_EQ(cases[i].dropped, stats.droppedRecords);
        EXPECT_EQ(cases[i].afterEnd, stats.linesAfterEnd);
        EXPECT_EQ(cases[i].pages, pages.size());
        std::remove(path.c_str());
    }
}

// parseFile is the loader on the global pages with the process's streams.
TEST(ParseFile, WritesTotalToStdoutAndErrorsToStderr) {
    const std::string good = ::testing::TempDir() + "kelto_parse_good.hex";
    const std::string bad = ::testing::TempDir() + "kelto_parse_bad.hex";
    std::ofstream(good) << rec(0x40, 1) << "\n" << EOF_LINE << "\n";
    std::ofstream(bad) << rec(0x80, 1) << "\n\n";

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(kelto::parseFile(good));
    EXPECT_EQ("Total pages: 1\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(kelto::parseFile(bad));
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(replaceAll(FORMAT_ERROR, "{path}", bad), ::testing::internal::GetCapturedStderr());

    // Each load starts empty: the rejected file leaves only its own page
    // from before its bad line, nothing of the first file.
    ASSERT_EQ(1u, kelto::pages.size());
    EXPECT_EQ(0x80u, kelto::pages.begin()->first);
    std::remove(good.c_str());
    std::remove(bad.c_str());
}

// The checksum a record should carry, for the fields as a line gives them.
TEST(Record, MakeCheckSumAndVerify) {
    kelto::Record r;
    EXPECT_EQ(16, r.recordLength);
    r.recordLength = 0;
    r.recordType = 1;
    EXPECT_EQ(0xFF, r.MakeCheckSum());
    r.checkSum = 0xFF;
    EXPECT_TRUE(r.verify());
    r.recordLength = 2;
    r.address = 0x1234;
    r.recordType = 4;
    r.data[0] = 0xAB;
    r.data[1] = 0xCD;
    EXPECT_EQ((0x100 - ((2 + 0x12 + 0x34 + 4 + 0xAB + 0xCD) & 0xFF)) & 0xFF, r.MakeCheckSum());
    EXPECT_FALSE(r.verify());
}

}  // namespace
