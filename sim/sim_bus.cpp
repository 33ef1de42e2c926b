#include "sim_bus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>

#include "device_model.h"

namespace kelto::sim {

namespace {

constexpr char kStateName[] = "bus.state";
constexpr char kStateNewName[] = "bus.state.new";  // a state file being built
constexpr char kTraceName[] = "trace.log";
constexpr char kOldTraceName[] = "trace.log.1";

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Kill points of the test builds: with KELTO_SIM_KILL_AT=N in the
// environment, the process raises SIGKILL just before its Nth change of the
// state file (a write, a size change, the creating rename), so a test can
// stop a program at every such step in turn. Without the variable nothing
// happens; builds without KELTO_SIM_KILL_POINTS have no such code.
void killPoint() {
#ifdef KELTO_SIM_KILL_POINTS
    static long left = [] {
        const char* at = std::getenv("KELTO_SIM_KILL_AT");
        return at != nullptr ? std::atol(at) : 0L;
    }();
    if (left > 0 && --left == 0) raise(SIGKILL);
#endif
}

// What a lock covers. The directory is locked whole with flock (while a
// state file is created). The state file carries two locks as one-byte
// ranges of open-file-description locks (fcntl F_OFD_SETLK), which the
// kernel, like flock's, drops when the file's last descriptor closes, a
// killed holder's included: byte 0 for the state (shared to read,
// exclusive to change), byte 1 for the trace (every trace write, so that
// lines go out in time order). A send takes both with one call; a receive
// that hands a frame over takes only the trace's, so a reader of the state
// does not hold it up.
struct LockSpan {
    off_t start;
    off_t len;  // 0: flock of the whole file
};
constexpr LockSpan kDirectoryLock{0, 0};
constexpr LockSpan kStateLock{0, 1};
constexpr LockSpan kTraceLock{1, 1};
constexpr LockSpan kStateAndTraceLock{0, 2};

// One attempt, without waiting. op: LOCK_SH, LOCK_EX or LOCK_UN. A lock
// held by another fails with EWOULDBLOCK.
bool tryLock(int fd, int op, LockSpan span) {
    if (span.len == 0) return flock(fd, op | LOCK_NB) == 0;
    struct flock range {};
    range.l_type = static_cast<short>(op == LOCK_UN ? F_UNLCK : op == LOCK_SH ? F_RDLCK : F_WRLCK);
    range.l_whence = SEEK_SET;
    range.l_start = span.start;
    range.l_len = span.len;
    if (fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
    if (errno == EACCES || errno == EAGAIN) errno = EWOULDBLOCK;
    return false;
}

// tryLock with a bounded wait: polls with growing sleeps for up to `waitMs`,
// so a holder that never lets go ends the wait. EWOULDBLOCK after the wait.
bool lockBounded(int fd, int op, LockSpan span, long waitMs) {
    long waitedUs = 0;
    long stepUs = 50;
    for (;;) {
        if (tryLock(fd, op, span)) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waitedUs >= waitMs * 1000L) return false;
        struct timespec pause {
            0, stepUs * 1000
        };
        nanosleep(&pause, nullptr);
        waitedUs += stepUs;
        stepUs = std::min(stepUs * 2, 2000L);
    }
}

std::string lockError(const std::string& path) {
    if (errno == EWOULDBLOCK) {
        return "simulated bus " + path + " stayed locked by another process for " +
               std::to_string(kLockWaitMs / 1000) +
               " s (a stopped or hung program holds it); giving up";
    }
    return errnoText("cannot lock " + path);
}

// Holds a lock of the bus for its lifetime. op: LOCK_SH or LOCK_EX. Waits
// kLockWaitMs at most, and once a wait of this process has run out, not at
// all: a program that polls the bus does not wait again at every call for
// the holder that made it give up.
class FileLock {
  public:
    FileLock(Bus& bus, int fd, int op, LockSpan span) : fd_(fd), span_(span) {
        ok_ = lockBounded(fd_, op, span_, bus.lockGaveUp ? 0 : kLockWaitMs);
        if (!ok_ && errno == EWOULDBLOCK) bus.lockGaveUp = true;
    }
    ~FileLock() {
        if (ok_) tryLock(fd_, LOCK_UN, span_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool ok() const { return ok_; }

  private:
    int fd_;
    LockSpan span_;
    bool ok_ = false;
};

bool readAll(int fd, void* buf, size_t n, off_t at) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

// Writes every piece of `iov` from `at` on, retrying after a short write. A
// write that makes no progress (a full file system, the file-size limit)
// sets errno from the retry that fails. Changes `iov`.
bool writevAll(int fd, iovec* iov, int count, off_t at) {
    killPoint();
    for (;;) {
        while (count > 0 && iov->iov_len == 0) {
            ++iov;
            --count;
        }
        if (count == 0) return true;
        ssize_t r = pwritev(fd, iov, count, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) {
            errno = ENOSPC;
            return false;
        }
        at += r;
        for (auto left = static_cast<size_t>(r); left > 0; ++iov, --count) {
            const size_t n = std::min(left, iov->iov_len);
            iov->iov_base = static_cast<char*>(iov->iov_base) + n;
            iov->iov_len -= n;
            left -= n;
            if (iov->iov_len != 0) break;
        }
    }
}

bool writeAll(int fd, const void* buf, size_t n, off_t at) {
    iovec piece{const_cast<void*>(buf), n};
    return writevAll(fd, &piece, 1, at);
}

bool makeDirs(const std::string& dir, std::string* error) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = errnoText("cannot create bus directory " + part);
            return false;
        }
    }
    return true;
}

bool ownedByUs(uid_t owner) {
    return owner == geteuid() || owner == 0;
}

// Opens the bus directory, refusing one that another user could use to make
// this process write elsewhere: a link or a directory of another user, or a
// directory others may write to.
int openDirectory(const std::string& dir, std::string* error) {
    struct stat link {};
    if (lstat(dir.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !ownedByUs(link.st_uid)) {
        *error = "bus directory " + dir + " is a symbolic link of another user; refusing it";
        return -1;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENOTDIR ? "bus directory " + dir + " is not a directory"
                                  : errnoText("cannot open bus directory " + dir);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = errnoText("cannot open bus directory " + dir);
    } else if (!ownedByUs(st.st_uid)) {
        *error = "bus directory " + dir + " belongs to another user (uid " +
                 std::to_string(st.st_uid) + "); use a directory of your own";
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = "bus directory " + dir + " is writable by other users; use a directory " +
                 "only you can write to (chmod go-w)";
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// Opens a file of the bus directory without following a link.
int openInDir(const Bus& bus, const char* name, int flags) {
    return openat(bus.dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
}

std::string openError(const std::string& path) {
    if (errno == ELOOP)
        return path + " is a symbolic link; the simulated bus does not follow links";
    return errnoText("cannot open " + path);
}

std::string corrupt(const Bus& bus, const std::string& why) {
    return "simulated bus state " + statePath(bus.dir) + " is corrupt (" + why +
           "); run 'kelto_sim clear' to reset it";
}

bool validTime(int64_t t) {
    return t >= 0 && t <= kMaxBusTimeUs;
}

bool validFrame(const FrameRec& f) {
    return validTime(f.timeUs) && f.id <= 0x1FFFFFFF && f.len <= 8;
}

bool validDevice(const Device& d, std::string* why) {
    if (d.used > 1)
        *why = "slot flag";
    else if (!d.used)
        return true;
    else if (d.kind >= kKindCount)
        *why = "device kind";
    else if (d.id > 63)
        *why = "device ID";
    else if (d.mode > kModeBootloader)
        *why = "device mode";
    else if (d.periodMs < 1 || d.periodMs > 60000)
        *why = "period_ms";
    else if (d.latencyMs > 60000 || d.flashBusyMs > 60000)
        *why = "latency_ms or flash_busy_ms";
    else if (!validTime(d.addedUs) || !validTime(d.presenceFromUs) || !validTime(d.busyUntilUs))
        *why = "device time";
    else if (d.led.mode >= kLedModeCount || d.led.reg >= 16)
        *why = "LED mode";
    else if (d.pageStep >= kStepCount || d.pageData > 8 || d.pageAddress > 0xFFC0 ||
             d.pageAddress % kPageBytes != 0)
        *why = "page sequence";
    else
        return true;
    return false;
}

bool validHeader(const StateHeader& h, std::string* why) {
    if (std::memcmp(h.magic, kStateMagic, sizeof h.magic) != 0)
        *why = "bad magic";
    else if (h.version != kFormatVersion)
        *why = "unknown format version";
    else if (h.deviceBytes != sizeof(Device))
        *why = "device record size";
    else if (h.slotCount > kMaxDevices)
        *why = "slot count";
    else if (h.ringNext >= kRingSize)
        *why = "ring index";
    else
        return true;
    return false;
}

bool validImage(const BusImage& image, std::string* why) {
    for (int i = 0; i < kRingSize; ++i) {
        if (!validFrame(image.ring[i])) {
            *why = "frame " + std::to_string(i) + " of the frame store";
            return false;
        }
    }
    bool seen[kKindCount][64] = {};
    for (uint32_t i = 0; i < image.header.slotCount; ++i) {
        const Device& d = image.slots[i];
        if (!validDevice(d, why)) {
            *why += " in slot " + std::to_string(i);
            return false;
        }
        if (!d.used) continue;
        if (seen[d.kind][d.id]) {
            *why = "two devices with one ID";
            return false;
        }
        seen[d.kind][d.id] = true;
    }
    return true;
}

// The open state file is still the bus's and still whole: not replaced
// (renamed over, removed) and not cut short since it was opened. One look at
// the name: when it still names the open file, its size is that file's.
bool stillOurs(Bus& bus, std::string* error) {
    struct stat named {};
    if (fstatat(bus.dirFd, kStateName, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_ino != bus.stateIno || named.st_dev != bus.stateDev) {
        *error = corrupt(bus, "replaced or removed while in use");
        return false;
    }
    if (named.st_size < kStateFileBytes) {
        *error = corrupt(bus, "truncated file");
        return false;
    }
    return true;
}

// Lock-free check that the cached copy is still the current state: the
// header read again, and the file still the bus's and whole. Writers store
// the header last, so a header with the cached generation means no change has
// completed since the copy was taken; a torn or moved header, a truncated or
// replaced file sends the caller to load() under the lock, which reports it.
bool cacheCurrent(Bus& bus) {
    if (!bus.cached) return false;
    StateHeader h;
    std::string ignored;
    return readAll(bus.stateFd, &h, sizeof h, 0) &&
           std::memcmp(&h, &bus.cache.header, sizeof h) == 0 && stillOurs(bus, &ignored);
}

// Brings bus.cache up to date; the caller holds a lock. Rereads the ring and
// the slots only when the header moved. Every change made through this file
// moves it; bytes scribbled over a slot by an outside hand are found by the
// next process that reads the state afresh, not by one with a cached copy.
bool load(Bus& bus, std::string* error) {
    StateHeader h{};
    std::string why;
    bool ok = false;
    if (!readAll(bus.stateFd, &h, sizeof h, 0))
        *error = corrupt(bus, "truncated header");
    else if (!validHeader(h, &why))
        *error = corrupt(bus, why);
    else
        ok = stillOurs(bus, error);
    if (!ok) {
        bus.cached = false;
        return false;
    }
    if (bus.cached && std::memcmp(&h, &bus.cache.header, sizeof h) == 0) return true;
    bus.cached = false;
    BusImage& c = bus.cache;
    c.header = h;
    c.slots.assign(kMaxDevices, Device{});
    if (!readAll(bus.stateFd, c.ring, sizeof c.ring, kRingOffset) ||
        !readAll(bus.stateFd, c.slots.data(), h.slotCount * sizeof(Device), kSlotOffset)) {
        *error = corrupt(bus, "short read");
        return false;
    }
    if (!validImage(c, &why)) {
        *error = corrupt(bus, why);
        return false;
    }
    bus.cached = true;
    return true;
}

// The lock is held and the cached copy is current; false with a message
// when the lock could not be taken or the state is unreadable.
bool lockedAndLoaded(Bus& bus, const FileLock& lock, std::string* error) {
    if (!lock.ok()) {
        *error = lockError(statePath(bus.dir));
        return false;
    }
    return load(bus, error);
}

// Writes a fresh, empty state over the file `fd` of the bus: full size, the
// header (no slots, generation `generation`), then zeros over the frame
// store and the slots, which also reserves their blocks so that later stores
// there cannot run out of space. Stopped anywhere after the header, the
// file is a valid empty bus.
bool writeFresh(Bus& bus, int fd, uint64_t generation, std::string* error) {
    StateHeader h{};
    std::memcpy(h.magic, kStateMagic, sizeof kStateMagic);
    h.version = kFormatVersion;
    h.deviceBytes = sizeof(Device);
    h.generation = generation;
    std::vector<char> zeros(kFlashOffset - kRingOffset, 0);
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && st.st_size < kStateFileBytes) {
        killPoint();
        ok = ftruncate(fd, kStateFileBytes) == 0;
    }
    ok = ok && writeAll(fd, &h, sizeof h, 0) &&
         writeAll(fd, zeros.data(), zeros.size(), kRingOffset);
    bus.cached = false;
    if (!ok) *error = errnoText("cannot write " + statePath(bus.dir));
    return ok;
}

// Creates bus.state when there is none: built whole as bus.state.new, then
// renamed into place, under a lock on the directory so that two first uses
// do not build it at once. Whatever stops it leaves either no state file or
// a valid one (and at worst a bus.state.new that the next creation replaces).
bool createState(Bus& bus, std::string* error) {
    FileLock dirLock(bus, bus.dirFd, LOCK_EX, kDirectoryLock);
    if (!dirLock.ok()) {
        *error = lockError(bus.dir);
        return false;
    }
    struct stat st {};
    if (fstatat(bus.dirFd, kStateName, &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    killPoint();
    int fd = openInDir(bus, kStateNewName, O_RDWR | O_CREAT | O_TRUNC);
    if (fd < 0) {
        *error = openError(bus.dir + "/" + kStateNewName);
        return false;
    }
    // A new bus's generation differs from any a process may have cached of
    // an earlier state file of the same path.
    uint64_t generation = static_cast<uint64_t>(std::time(nullptr)) << 32;
    bool ok = writeFresh(bus, fd, generation, error);
    close(fd);
    if (ok) {
        killPoint();
        ok = renameat(bus.dirFd, kStateNewName, bus.dirFd, kStateName) == 0;
        if (!ok) *error = errnoText("cannot create " + statePath(bus.dir));
    }
    if (!ok) unlinkat(bus.dirFd, kStateNewName, 0);
    return ok;
}

// A state file left all zeros (by a creation of an older build that was
// interrupted) holds nothing and is taken as a new bus.
bool initialiseIfBlank(Bus& bus, std::string* error) {
    StateHeader h{}, zero{};
    if (readAll(bus.stateFd, &h, sizeof h, 0) && std::memcmp(&h, &zero, sizeof h) != 0) return true;
    FileLock lock(bus, bus.stateFd, LOCK_EX, kStateLock);
    if (!lock.ok()) {
        *error = lockError(statePath(bus.dir));
        return false;
    }
    struct stat st {};
    bool blank = fstat(bus.stateFd, &st) == 0 &&
                 (st.st_size == 0 ||
                  (readAll(bus.stateFd, &h, sizeof h, 0) && std::memcmp(&h, &zero, sizeof h) == 0));
    return !blank || writeFresh(bus, bus.stateFd, uint64_t{1} << 32, error);
}

// Stores the cached header (its generation moved on), the frame store and
// the slots [0, lastSlot] in one write from the start of the file: one
// system call per change whatever it touched. The header goes first; a
// reader that sees it change before the rest is written turns to load(),
// whose lock waits for this writer, so no one acts on half a change.
bool storeState(Bus& bus, int lastSlot, std::string* error) {
    static const char kGap[kSlotOffset - kRingOffset - sizeof(BusImage::ring)] = {};
    BusImage& c = bus.cache;
    ++c.header.generation;
    iovec iov[] = {{&c.header, sizeof c.header},
                   {c.ring, sizeof c.ring},
                   {const_cast<char*>(kGap), sizeof kGap},
                   {c.slots.data(), static_cast<size_t>(lastSlot + 1) * sizeof(Device)}};
    if (writevAll(bus.stateFd, iov, lastSlot >= 0 ? 4 : 2, 0)) return true;
    bus.cached = false;
    *error = errnoText("cannot write " + statePath(bus.dir));
    return false;
}

// Stores written flash pages before the slots that mark them written: a page
// is never marked written without its data. A page whose data could not be
// stored is dropped, as by a device that lost power while writing it: its
// mark is cleared and the call fails with the reason.
bool storePages(Bus& bus, Effects& fx, std::string* error) {
    bool ok = true;
    for (const auto& [slot, page] : fx.pages) {
        Device& d = bus.cache.slots[slot];
        if (writeAll(bus.stateFd, d.pageBuffer, kPageBytes, pageOffset(slot, page))) continue;
        if (ok) *error = errnoText("cannot write flash in " + statePath(bus.dir));
        ok = false;
        d.written[page / 8] &= static_cast<uint8_t>(~(1u << (page % 8)));
    }
    return ok;
}

// Stores what deliverFrame changed: flash pages, then slots, new ring
// entries and header.
bool storeEffects(Bus& bus, Effects& fx, std::string* error) {
    BusImage& c = bus.cache;
    std::string pageError;
    bool pagesOk = storePages(bus, fx, &pageError);
    int lastSlot = -1;
    for (int i = 0; i < static_cast<int>(c.header.slotCount); ++i)  // deliverFrame's range
        if (fx.dirty.test(i)) lastSlot = i;
    for (const FrameRec& r : fx.replies) {
        c.ring[c.header.ringNext] = r;
        c.header.ringNext = (c.header.ringNext + 1) % kRingSize;
    }
    if (!storeState(bus, lastSlot, error)) return false;
    if (!pagesOk) *error = pageError;
    return pagesOk;
}

// --- trace ---------------------------------------------------------------

void warnTrace(Bus& bus, int err) {
    if (bus.traceWarned) return;
    bus.traceWarned = true;
    std::fprintf(stderr, "kelto: cannot write the bus trace %s: %s; trace lines are lost\n",
                 tracePath(bus.dir).c_str(), std::strerror(err));
    std::fflush(stderr);
}

bool openTrace(Bus& bus) {
    if (bus.traceFd >= 0) return true;
    bus.traceFd = openInDir(bus, kTraceName, O_RDWR | O_APPEND | O_CREAT);
    bus.traceEnd = -1;
    return bus.traceFd >= 0;
}

// Bus time of a trace line "(SECONDS.MICROS) ...", or -1.
int64_t lineTimeUs(const char* p, const char* end) {
    if (p == end || *p != '(') return -1;
    int64_t secs = 0, micros = 0;
    int digits = 0;
    for (++p; p < end && *p >= '0' && *p <= '9' && digits < 12; ++p, ++digits)
        secs = secs * 10 + (*p - '0');
    if (digits == 0 || p == end || *p != '.') return -1;
    digits = 0;
    for (++p; p < end && *p >= '0' && *p <= '9' && digits < 6; ++p, ++digits)
        micros = micros * 10 + (*p - '0');
    return digits == 6 && p < end && *p == ')' ? secs * 1000000 + micros : -1;
}

// The trace file of `size` bytes, read from its end: cuts off an unfinished
// last line (left by a write that failed part way, or by another hand) and
// returns the size that is left and the bus time of the last line (-1 when
// it has none). Reads only the tail.
bool traceTail(Bus& bus, off_t size, off_t* left, int64_t* lastUs) {
    constexpr off_t kWindow = 256;
    char buf[kWindow];
    *lastUs = -1;
    for (off_t from = size; from > 0;) {
        const off_t n = std::min(from, kWindow);
        from -= n;
        if (!readAll(bus.traceFd, buf, static_cast<size_t>(n), from)) return false;
        if (from + n == size && buf[n - 1] == '\n') {
            // A whole last line: it starts after the newline before it.
            const char* stop = buf + n - 1;
            const char* start = stop;
            while (start > buf && start[-1] != '\n') --start;
            if (start > buf || from == 0) *lastUs = lineTimeUs(start, stop);
            break;
        }
        const char* nl = static_cast<const char*>(memrchr(buf, '\n', static_cast<size_t>(n)));
        if (nl == nullptr && from > 0) continue;
        const off_t whole = nl == nullptr ? 0 : from + (nl - buf) + 1;
        if (ftruncate(bus.traceFd, whole) != 0) return false;
        return traceTail(bus, whole, left, lastUs);
    }
    *left = size;
    return true;
}

// Copies trace.log to trace.log.1 (replacing it) and empties trace.log. The
// file keeps its inode, so every process's descriptor of it stays good; it
// happens once per kTraceMaxBytes of trace.
bool rotateTrace(Bus& bus, off_t size) {
    int old = openInDir(bus, kOldTraceName, O_WRONLY | O_CREAT | O_TRUNC);
    if (old < 0) return false;
    loff_t from = 0;
    ssize_t n = 1;
    while (from < size && n > 0)
        n = copy_file_range(bus.traceFd, &from, old, nullptr, static_cast<size_t>(size - from), 0);
    const int err = errno;
    close(old);
    errno = n > 0 ? 0 : (n == 0 ? ENOSPC : err);
    return from == size && ftruncate(bus.traceFd, 0) == 0;
}

// Appends the frame's line. The caller holds the trace's lock, which orders
// every trace write. The line is stamped no earlier than the trace's last
// line. A process that wrote the last line knows its time and the file's
// end, and reads nothing.
void appendTrace(Bus& bus, const FrameRec& f) {
    struct stat st {};
    if (!openTrace(bus) || fstat(bus.traceFd, &st) != 0) {
        warnTrace(bus, errno);
        return;
    }
    off_t size = st.st_size;
    int64_t lastUs = bus.traceLastUs;
    if (size != bus.traceEnd && !traceTail(bus, st.st_size, &size, &lastUs)) {
        warnTrace(bus, errno);
        return;
    }
    FrameRec stamped = f;
    stamped.timeUs = std::max(f.timeUs, lastUs);
    char line[kTraceLineMax];
    const size_t lineBytes = formatTraceLine(stamped, line);
    if (size + static_cast<off_t>(lineBytes) > kTraceMaxBytes) {
        if (!rotateTrace(bus, size)) {
            warnTrace(bus, errno);
            return;
        }
        size = 0;
    }
    bus.traceEnd = -1;
    ssize_t n = write(bus.traceFd, line, lineBytes);
    if (n != static_cast<ssize_t>(lineBytes)) {
        int err = n < 0 ? errno : ENOSPC;
        if (n > 0 && ftruncate(bus.traceFd, size) != 0) {
            // the next writer's traceTail cuts the fragment off
        }
        warnTrace(bus, err);
        return;
    }
    bus.traceEnd = size + static_cast<off_t>(lineBytes);
    bus.traceLastUs = stamped.timeUs;
}

// appendTrace under the trace's lock, for a caller that does not hold it.
void appendTraceLocked(Bus& bus, const FrameRec& f) {
    FileLock lock(bus, bus.stateFd, LOCK_EX, kTraceLock);
    if (!lock.ok()) {
        warnTrace(bus, errno);
        return;
    }
    appendTrace(bus, f);
}

bool matches(uint32_t id, uint32_t wantId, uint32_t mask) {
    return (id & mask) == (wantId & mask);
}

// True when the view may be handed the frame: not seen, not before the session.
bool unseen(const ReceiveView& view, const FrameRec& f) {
    if (f.timeUs < view.startUs) return false;
    auto it = view.lastHandedUs.find(f.id);
    return it == view.lastHandedUs.end() || f.timeUs > it->second;
}

// Copies one file of the bus directory to `out`; a missing one is empty.
bool streamFile(const Bus& bus, const char* name, std::ostream& out, std::string* error) {
    int fd = openInDir(bus, name, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = openError(bus.dir + "/" + name);
        return false;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) out.write(buf, n);
    }
    int readErr = errno;
    close(fd);
    if (n == 0) return true;
    errno = readErr;
    *error = errnoText("cannot read " + bus.dir + "/" + name);
    return false;
}

}  // namespace

Bus::~Bus() {
    if (stateFd >= 0) close(stateFd);
    if (traceFd >= 0) close(traceFd);
    if (dirFd >= 0) close(dirFd);
}

std::string statePath(const std::string& dir) {
    return dir + "/" + kStateName;
}
std::string tracePath(const std::string& dir) {
    return dir + "/" + kTraceName;
}
std::string oldTracePath(const std::string& dir) {
    return dir + "/" + kOldTraceName;
}

std::unique_ptr<Bus> openBus(const std::string& dir, std::string* error) {
    std::signal(SIGXFSZ, SIG_IGN);
    if (!makeDirs(dir, error)) return nullptr;
    auto bus = std::make_unique<Bus>();
    bus->dir = dir;
    bus->dirFd = openDirectory(dir, error);
    if (bus->dirFd < 0) return nullptr;
    bus->stateFd = openInDir(*bus, kStateName, O_RDWR);
    if (bus->stateFd < 0 && errno == ENOENT) {
        if (!createState(*bus, error)) return nullptr;
        bus->stateFd = openInDir(*bus, kStateName, O_RDWR);
    }
    if (bus->stateFd < 0) {
        *error = openError(statePath(dir));
        return nullptr;
    }
    struct stat st {};
    if (fstat(bus->stateFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = statePath(dir) + " is not a regular file";
        return nullptr;
    }
    bus->stateIno = st.st_ino;
    bus->stateDev = st.st_dev;
    if (!initialiseIfBlank(*bus, error)) return nullptr;
    return bus;
}

bool busSend(Bus& bus, const FrameRec& frame, std::string* error) {
    {
        FileLock lock(bus, bus.stateFd, LOCK_EX, kStateAndTraceLock);
        if (!lockedAndLoaded(bus, lock, error)) return false;
        Effects fx;
        BusImage& c = bus.cache;
        deliverFrame(c.slots.data(), static_cast<int>(c.header.slotCount), frame, frame.timeUs,
                     &fx);
        if ((fx.dirty.any() || !fx.replies.empty()) && !storeEffects(bus, fx, error)) return false;
        appendTrace(bus, frame);
    }
    return true;
}

ReceiveResult busReceive(Bus& bus, ReceiveView& view, uint32_t wantId, uint32_t mask, int64_t nowUs,
                         FrameRec* out, std::string* error) {
    if (!view.started) {
        view.started = true;
        view.startUs = nowUs;
    }
    if (!cacheCurrent(bus)) {
        FileLock lock(bus, bus.stateFd, LOCK_SH, kStateLock);
        if (!lockedAndLoaded(bus, lock, error)) return kReceiveError;
    }
    const BusImage& c = bus.cache;
    FrameRec best{};
    bool found = false;
    for (uint32_t i = 0; i < c.header.slotCount; ++i) {
        const Device& d = c.slots[i];
        if (!d.used || !matches(presenceIdOf(d), wantId, mask)) continue;
        int64_t t = latestPresenceUs(d, nowUs);
        if (t < 0) continue;
        FrameRec f = presenceFrame(d, t);
        if (unseen(view, f) && (!found || t > best.timeUs)) {
            best = f;
            found = true;
        }
    }
    for (const FrameRec& f : c.ring) {
        if (f.timeUs == 0 || f.timeUs > nowUs || !matches(f.id, wantId, mask)) continue;
        if (unseen(view, f) && (!found || f.timeUs > best.timeUs)) {
            best = f;
            found = true;
        }
    }
    if (!found) return kNothing;
    view.lastHandedUs[best.id] = best.timeUs;
    *out = best;
    appendTraceLocked(bus, best);
    return kReceived;
}

bool busRead(Bus& bus, BusImage* image, std::string* error) {
    FileLock lock(bus, bus.stateFd, LOCK_SH, kStateLock);
    if (!lockedAndLoaded(bus, lock, error)) return false;
    *image = bus.cache;
    return true;
}

// Stores the header, the ring and the slots up to the last one that differs
// from the cached copy.
bool busEdit(Bus& bus, const BusEdit& edit, std::string* error) {
    FileLock lock(bus, bus.stateFd, LOCK_EX, kStateLock);
    if (!lockedAndLoaded(bus, lock, error)) return false;
    BusImage image = bus.cache;
    if (!edit(image, error)) return false;
    std::string why;
    if (!validHeader(image.header, &why) || !validImage(image, &why)) {
        *error = "refused to store an invalid state: " + why;
        return false;
    }
    int lastSlot = -1;
    for (uint32_t i = 0; i < image.header.slotCount; ++i) {
        if (std::memcmp(&image.slots[i], &bus.cache.slots[i], sizeof(Device)) != 0)
            lastSlot = static_cast<int>(i);
    }
    bus.cache = std::move(image);
    return storeState(bus, lastSlot, error);
}

bool busClear(Bus& bus, std::string* error) {
    {
        FileLock lock(bus, bus.stateFd, LOCK_EX, kStateLock);
        if (!lock.ok()) {
            *error = lockError(statePath(bus.dir));
            return false;
        }
        uint64_t oldGeneration = 0;
        readAll(bus.stateFd, &oldGeneration, sizeof oldGeneration,
                offsetof(StateHeader, generation));
        if (!writeFresh(bus, bus.stateFd, oldGeneration + (uint64_t{1} << 32) + 1, error))
            return false;
    }
    return clearTrace(bus, error);
}

bool flashSummary(Bus& bus, int slot, const Device& d, int* pages, uint32_t* crc,
                  std::string* error) {
    std::vector<uint8_t> flash(kFlashBytes);
    if (!readAll(bus.stateFd, flash.data(), flash.size(), pageOffset(slot, 0))) {
        *error = corrupt(bus, "flash unreadable");
        return false;
    }
    uLong sum = crc32(0L, Z_NULL, 0);
    *pages = 0;
    for (int p = 0; p < kPagesPerDevice; ++p) {
        if (!(d.written[p / 8] >> (p % 8) & 1)) continue;
        sum = crc32(sum, flash.data() + p * kPageBytes, kPageBytes);
        ++*pages;
    }
    *crc = static_cast<uint32_t>(sum);
    return true;
}

size_t formatTraceLine(const FrameRec& f, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    char* p = out;
    auto decimal = [&p](uint64_t v, int minDigits) {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 || n < minDigits);
        while (n > 0) *p++ = digits[--n];
    };
    const auto t = static_cast<uint64_t>(f.timeUs < 0 ? 0 : f.timeUs);
    *p++ = '(';
    decimal(t / 1000000, 1);
    *p++ = '.';
    decimal(t % 1000000, 6);
    std::memcpy(p, ") sim ", 6);
    p += 6;
    for (int shift = 28; shift >= 0; shift -= 4) *p++ = kHex[f.id >> shift & 0xF];
    *p++ = '#';
    for (int i = 0; i < f.len && i < 8; ++i) {
        *p++ = kHex[f.data[i] >> 4];
        *p++ = kHex[f.data[i] & 0xF];
    }
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

std::string traceLine(const FrameRec& f) {
    char line[kTraceLineMax];
    return std::string(line, formatTraceLine(f, line));
}

bool streamTrace(Bus& bus, std::ostream& out, std::string* error) {
    return streamFile(bus, kOldTraceName, out, error) && streamFile(bus, kTraceName, out, error);
}

bool clearTrace(Bus& bus, std::string* error) {
    FileLock lock(bus, bus.stateFd, LOCK_EX, kTraceLock);
    if (!lock.ok()) {
        *error = lockError(statePath(bus.dir));
        return false;
    }
    bus.traceEnd = -1;
    int fd = openInDir(bus, kTraceName, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
        *error = openError(tracePath(bus.dir));
        return false;
    }
    close(fd);
    if (unlinkat(bus.dirFd, kOldTraceName, 0) != 0 && errno != ENOENT) {
        *error = errnoText("cannot clear " + oldTracePath(bus.dir));
        return false;
    }
    return true;
}

int findDevice(const BusImage& image, int kind, int id) {
    for (uint32_t i = 0; i < image.header.slotCount; ++i) {
        const Device& d = image.slots[i];
        if (d.used && d.kind == kind && d.id == id) return static_cast<int>(i);
    }
    return -1;
}

const BusImage* busView(Bus& bus, std::string* error) {
    if (!cacheCurrent(bus)) {
        FileLock lock(bus, bus.stateFd, LOCK_SH, kStateLock);
        if (!lockedAndLoaded(bus, lock, error)) return nullptr;
    }
    return &bus.cache;
}

void traceFrame(Bus& bus, const FrameRec& frame) {
    appendTraceLocked(bus, frame);
}

}  // namespace kelto::sim
