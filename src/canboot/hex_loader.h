// Intel HEX image loader: reads a firmware image into 64-byte flash pages.
//
// Only lines of exactly 16 data bytes at 16-bit addresses are placed; record
// types are not interpreted, so extended-address, start-address and
// end-of-file records are checksum-checked and then dropped.
//
//   :10004000000102030405060708090A0B0C0D0E0F68   -> page 0x40, slot 0
//   :10007000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF68   -> page 0x40, slot 3
//   :00000001FF                                   -> checked, dropped
//   => pages = {0x40: slot 0 = 00..0F, slots 1-2 = FF.., slot 3 = F0..FF}
//      stdout: "Total pages: 1\n"
#ifndef KELTO_CANBOOT_HEX_LOADER_H
#define KELTO_CANBOOT_HEX_LOADER_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace kelto {

constexpr int RECORD_BYTES = 16;      // data bytes of a placed record
constexpr int RECORDS_PER_PAGE = 4;   // slots of a page
constexpr uint32_t PAGE_BYTES = 64;   // RECORD_BYTES * RECORDS_PER_PAGE
constexpr int HEX_LINE_BUFFER = 100;  // a read takes at most 99 characters

// One parsed line of the file.
class Record {
  public:
    Record();

    // The checksum the line should carry: two's complement of the sum of the
    // count, both address bytes, the type and the first recordLength data
    // bytes (at most 16; a count above 16 is checked by the loader itself).
    short MakeCheckSum() const;

    // True when checkSum equals MakeCheckSum() modulo 256.
    bool verify() const;

    int8_t recordLength;         // byte-count field
    uint32_t address;            // 16-bit address field
    int8_t recordType;           // record-type field; only the checksum uses it
    uint8_t data[RECORD_BYTES];  // bytes the line does not supply stay 0xFF
    uint8_t checkSum;            // checksum field
};

// The image of one 64-byte flash page: slot k holds the bytes at page
// address + 16 * k.
class Page {
  public:
    // Replaces slot recordNumber (0 to 3) with a copy of r.
    void addRecord(Record r, int recordNumber);

    Record recs[RECORDS_PER_PAGE];
};

using PageMap = std::map<uint32_t, Page>;  // page address (multiple of 64) -> page

// What a load read but did not place, for an image checker to show.
struct LoadStats {
    int droppedRecords = 0;  // data records (type 00) whose count is not 16
    int linesAfterEnd = 0;   // lines after the first end-of-file record (type 01)
};

// The image loaded by parseFile, read by the page transfer.
extern PageMap pages;

// Loads the file at `path` into `into`, which is emptied first: only 16-byte
// records are placed, at page = address & ~0x3F, slot = (address >> 4) & 3
// (the low 4 bits of the address are not used); a later line for a slot
// replaces an earlier one. Messages go to `err` (each flushed);
// "Total pages: N\n" goes to `out` unless it is null. Returns false at the
// first bad line (the pages before it stay in `into`):
//   cannot open or read (a directory, a FIFO) -> "Can not open the firmware hexfile: PATH\n"
//   no ':' at start  -> "Incorrect file format of firmware file: PATH"
//                       "Error in firmware file. File processing cancelled.\n"
//   bad checksum, line shorter than its count, field without a hex digit
//                    -> "Error in hex file #LINE\n" (LINE 1-based, all lines counted)
// A byte count above 16 (0x11 to 0xFF) is checked over every byte it
// announces and never placed. A line is taken with its real length: a NUL
// byte in a field ends that field as any other non-hex character does.
// `stats`, when not null, receives the counts of the lines read.
bool loadHexFile(const std::string& path, PageMap& into, FILE* out, FILE* err,
                 LoadStats* stats = nullptr);

// loadHexFile into the global pages with stdout and stderr.
bool parseFile(const std::string& path);

}  // namespace kelto

#endif
