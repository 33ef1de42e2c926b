#include "hex_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace kelto {

PageMap pages;

namespace {

constexpr size_t FILE_BUFFER_BYTES = 1 << 20;  // stdio buffer of the image file

// Value of a hex digit, -1 for any other character.
struct HexDigits {
    int8_t value[256];
    HexDigits() {
        std::memset(value, -1, sizeof value);
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
    }
};
const HexDigits HEX;

inline int hexDigit(char c) {
    return HEX.value[static_cast<unsigned char>(c)];
}

// White space as the "%x" conversion skips it (C locale).
inline bool isScanSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline uint32_t pageOf(uint32_t address) {
    return address & ~(PAGE_BYTES - 1);
}
inline int slotOf(uint32_t address) {
    return static_cast<int>((address >> 4) & 3);
}

// Value of the hexadecimal field of `howmany` characters (2 or 4) at
// `bytes`, as the "%x" scan conversion reads it: leading white space is
// skipped, conversion stops at the first non-hex character or the field's
// end. -1 when the field holds no hex digit.
//   ScanBytes(2, "1f") == 0x1F; ScanBytes(4, " 7Az") == 0x7A; ScanBytes(2, "g1") == -1
int ScanBytes(int howmany, const char* bytes) {
    int i = 0;
    while (i < howmany && isScanSpace(bytes[i])) ++i;
    if (i == howmany || hexDigit(bytes[i]) < 0) return -1;
    int value = 0;
    for (; i < howmany && hexDigit(bytes[i]) >= 0; ++i) value = value * 16 + hexDigit(bytes[i]);
    return value;
}

// A field of two hex digits, the common case, without the general scan.
inline int scanPair(const char* p) {
    const int hi = hexDigit(p[0]);
    const int lo = hexDigit(p[1]);
    return (hi | lo) >= 0 ? hi << 4 | lo : ScanBytes(2, p);
}

inline int scanQuad(const char* p) {
    const int hi = hexDigit(p[0]) | hexDigit(p[1]);
    const int lo = hexDigit(p[2]) | hexDigit(p[3]);
    return (hi | lo) >= 0 ? scanPair(p) << 8 | scanPair(p + 2) : ScanBytes(4, p);
}

enum class LineResult { Good, BadFormat, BadChecksum };

constexpr uint8_t DATA_RECORD = 0x00;
constexpr uint8_t END_OF_FILE_RECORD = 0x01;

// Characters of the line of `length` characters before its line end
// ("\n", "\r\n" or none).
size_t contentLength(const char* line, size_t length) {
    size_t n = length;
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n > 0 && line[n - 1] == '\r') --n;
    return n;
}

// Reads one line into r. The checksum covers every byte the count
// announces; bytes past the 16th are summed but not stored.
LineResult readRecord(const char* line, size_t length, Record& r) {
    if (line[0] != ':') return LineResult::BadFormat;
    const int count = scanPair(line + 1);
    if (count < 0) return LineResult::BadChecksum;
    const int checksumAt = 9 + 2 * count;
    if (contentLength(line, length) < static_cast<size_t>(checksumAt + 2))
        return LineResult::BadChecksum;
    const int address = scanQuad(line + 3);
    const int type = scanPair(line + 7);
    const int checkSum = scanPair(line + checksumAt);
    if (address < 0 || type < 0 || checkSum < 0) return LineResult::BadChecksum;
    r.recordLength = static_cast<int8_t>(count);
    r.address = static_cast<uint32_t>(address);
    r.recordType = static_cast<int8_t>(type);
    r.checkSum = static_cast<uint8_t>(checkSum);
    unsigned extraSum = 0;  // bytes beyond the 16 that data holds
    for (int j = 0; j < count; ++j) {
        const int byte = scanPair(line + 9 + 2 * j);
        if (byte < 0) return LineResult::BadChecksum;
        if (j < RECORD_BYTES) {
            r.data[j] = static_cast<uint8_t>(byte);
        } else {
            extraSum += static_cast<unsigned>(byte);
        }
    }
    if (count <= RECORD_BYTES) return r.verify() ? LineResult::Good : LineResult::BadChecksum;
    const unsigned expected = static_cast<unsigned>(r.MakeCheckSum()) - extraSum;
    return (expected & 0xFF) == r.checkSum ? LineResult::Good : LineResult::BadChecksum;
}

void reportFormatError(const std::string& path, FILE* err) {
    std::fprintf(err, "Incorrect file format of firmware file: %s", path.c_str());
    std::fputs("Error in firmware file. File processing cancelled.\n", err);
    std::fflush(err);
}

void reportOpenError(const std::string& path, FILE* err) {
    std::fprintf(err, "Can not open the firmware hexfile: %s\n", path.c_str());
    std::fflush(err);
}

// Places r into `into`: page = address & ~0x3F, slot = (address >> 4) & 3;
// the low 4 bits of the address are not used. Creates the page if needed.
void addRecordToPage(const Record& r, PageMap& into) {
    // Images list their records in address order: with the end as the hint,
    // finding or adding the page of the record before is constant time.
    into.try_emplace(into.end(), pageOf(r.address))->second.addRecord(r, slotOf(r.address));
}

// Opens an image for reading. A FIFO or socket is refused like a file that
// cannot be opened: opening one without a writer would block for ever, and
// it is no image. The open does not block; reads do.
FILE* openImage(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) close(fd);
    return file;
}

// Characters fgets stored in `line`, NULs read from the file included: the
// buffer is filled with a non-NUL byte before each read (restoreFill), so
// the last NUL in it is the terminator fgets wrote.
constexpr char FILL = '\x01';
size_t readLength(const char* line) {
    const void* end = memrchr(line, '\0', HEX_LINE_BUFFER);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - line) : std::strlen(line);
}
void restoreFill(char* line, size_t length) {
    std::memset(line, FILL, length + 1);
}

// Counts a line that was read and passed into `stats`.
void countLine(const Record& r, bool* endSeen, LoadStats& stats) {
    if (*endSeen) ++stats.linesAfterEnd;
    const auto type = static_cast<uint8_t>(r.recordType);
    if (type == DATA_RECORD && r.recordLength != RECORD_BYTES) ++stats.droppedRecords;
    if (type == END_OF_FILE_RECORD) *endSeen = true;
}

// True when the line just read (`length` characters) filled the buffer and
// more of it follows: a line longer than the buffer. Its first part is
// checked as a line; the rest is the format error, whatever it holds (read
// as a line of its own, a remainder that starts with ':' would pass as a
// record).
bool lineOverflows(const char* line, size_t length, size_t bufferBytes, FILE* file) {
    if (length + 1 < bufferBytes || line[length - 1] == '\n') return false;
    const int next = std::getc(file);
    if (next == EOF) return false;
    std::ungetc(next, file);
    return true;
}

// Reads every line of an open file; false at the first bad line.
bool loadLines(FILE* file, const std::string& path, PageMap& into, FILE* err, LoadStats& stats) {
    char line[HEX_LINE_BUFFER];
    std::memset(line, FILL, sizeof line);
    int fileLine = 0;
    bool endSeen = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ++fileLine;
        const size_t length = readLength(line);
        Record r;
        const LineResult result = readRecord(line, length, r);
        const bool overflows = lineOverflows(line, length, sizeof line, file);
        restoreFill(line, length);
        switch (result) {
            case LineResult::BadFormat:
                reportFormatError(path, err);
                return false;
            case LineResult::BadChecksum:
                std::fprintf(err, "Error in hex file #%d\n", fileLine);
                std::fflush(err);
                return false;
            case LineResult::Good:
                if (r.recordLength == RECORD_BYTES) addRecordToPage(r, into);
                countLine(r, &endSeen, stats);
                if (overflows) {
                    reportFormatError(path, err);
                    return false;
                }
                break;
        }
    }
    return true;
}

}  // namespace

Record::Record() : recordLength(RECORD_BYTES), address(0), recordType(0), checkSum(0) {
    std::memset(data, 0xFF, sizeof data);
}

short Record::MakeCheckSum() const {
    const int n =
        recordLength > RECORD_BYTES ? RECORD_BYTES : (recordLength > 0 ? recordLength : 0);
    unsigned sum = static_cast<uint8_t>(recordLength) + (address & 0xFF) + ((address >> 8) & 0xFF) +
                   static_cast<uint8_t>(recordType);
    for (int j = 0; j < n; ++j) sum += data[j];
    return static_cast<short>((0x100 - (sum & 0xFF)) & 0xFF);
}

bool Record::verify() const {
    return (MakeCheckSum() & 0xFF) == checkSum;
}

void Page::addRecord(Record r, int recordNumber) {
    recs[recordNumber] = r;
}

bool loadHexFile(const std::string& path, PageMap& into, FILE* out, FILE* err, LoadStats* stats) {
    into.clear();
    LoadStats counted;
    FILE* file = openImage(path);
    if (file == nullptr) {
        reportOpenError(path, err);
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[FILE_BUFFER_BYTES]);
    std::setvbuf(file, buffer.get(), _IOFBF, FILE_BUFFER_BYTES);
    bool good = loadLines(file, path, into, err, counted);
    if (stats != nullptr) *stats = counted;
    // A read that fails (a directory opens but reads EISDIR) is no end of
    // file: the image is unreadable, not empty.
    if (good && std::ferror(file)) {
        reportOpenError(path, err);
        good = false;
    }
    std::fclose(file);
    if (!good) return false;
    if (out != nullptr) {
        std::fprintf(out, "Total pages: %zu\n", into.size());
        std::fflush(out);
    }
    return true;
}

bool parseFile(const std::string& path) {
    return loadHexFile(path, pages, stdout, stderr);
}

}  // namespace kelto
