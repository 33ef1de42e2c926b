#include "sim_bus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "device_model.h"

namespace kelto::sim {

namespace {

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Holds a flock for its lifetime. op: LOCK_SH or LOCK_EX.
class FileLock {
  public:
    FileLock(int fd, int op) : fd_(fd) {
        while ((ok_ = flock(fd_, op) == 0) == false && errno == EINTR) {
        }
    }
    ~FileLock() {
        if (ok_) flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool ok() const { return ok_; }

  private:
    int fd_;
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

bool writeAll(int fd, const void* buf, size_t n, off_t at) {
    auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = pwrite(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
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
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "bus directory " + dir + " is not a directory";
        return false;
    }
    return true;
}

std::string corrupt(const Bus& bus, const std::string& why) {
    return "simulated bus state " + statePath(bus.dir) + " is corrupt (" + why +
           "); run 'kelto_sim clear' to reset it";
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
    else if (d.led.mode >= kLedModeCount)
        *why = "LED mode";
    else if (d.pageStep >= kStepCount || d.pageData > 8 || d.pageAddress > 0xFFC0)
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

// Lock-free check that the cached copy is still the current state: one read
// of the header. Writers store the header last, so a header with the cached
// generation means no change has completed since the copy was taken; a torn
// or moved header sends the caller to load() under the lock.
// The header is read through the shared mapping when there is one: a scan
// makes 128 receives, and a system call each costs more than the rest.
bool cacheCurrent(Bus& bus) {
    if (!bus.cached) return false;
    StateHeader h;
    if (bus.headerMap != nullptr) {
        std::atomic_thread_fence(std::memory_order_acquire);
        std::memcpy(&h, bus.headerMap, sizeof h);
    } else if (!readAll(bus.stateFd, &h, sizeof h, 0)) {
        return false;
    }
    return std::memcmp(&h, &bus.cache.header, sizeof h) == 0;
}

// Brings bus.cache up to date; the caller holds a lock. Rereads the ring and
// the slots only when the generation moved. Every change made through this
// file moves it; bytes scribbled over a slot by an outside hand are found by
// the next process that reads the state afresh, not by one with a cached copy.
bool load(Bus& bus, std::string* error) {
    // Unchanged since the copy was checked (size included): no system call.
    if (bus.headerMap != nullptr && cacheCurrent(bus)) return true;
    StateHeader h{};
    std::string why;
    if (!readAll(bus.stateFd, &h, sizeof h, 0)) {
        bus.cached = false;
        *error = corrupt(bus, "truncated header");
        return false;
    }
    if (!validHeader(h, &why)) {
        bus.cached = false;
        *error = corrupt(bus, why);
        return false;
    }
    struct stat st {};
    if (fstat(bus.stateFd, &st) != 0 || st.st_size < kStateFileBytes) {
        bus.cached = false;
        *error = corrupt(bus, "truncated file");
        return false;
    }
    if (bus.cached && h.generation == bus.cache.header.generation) return true;
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
        *error = errnoText("cannot lock " + statePath(bus.dir));
        return false;
    }
    return load(bus, error);
}

// Writes a fresh, empty state; the caller holds the exclusive lock. The new
// generation differs from whatever the file held, so every cached copy is
// reread.
bool writeFresh(Bus& bus, std::string* error) {
    uint64_t oldGeneration = 0;
    readAll(bus.stateFd, &oldGeneration, sizeof oldGeneration, offsetof(StateHeader, generation));
    BusImage fresh;
    std::memcpy(fresh.header.magic, kStateMagic, sizeof kStateMagic);
    fresh.header.version = kFormatVersion;
    fresh.header.deviceBytes = sizeof(Device);
    fresh.header.generation = oldGeneration + (uint64_t{1} << 32) + 1;
    std::vector<char> zeros(kFlashOffset - kRingOffset, 0);
    struct stat st {};
    bool ok = writeAll(bus.stateFd, zeros.data(), zeros.size(), kRingOffset) &&
              fstat(bus.stateFd, &st) == 0 &&
              (st.st_size >= kStateFileBytes || ftruncate(bus.stateFd, kStateFileBytes) == 0) &&
              writeAll(bus.stateFd, &fresh.header, sizeof fresh.header, 0);
    bus.cached = false;
    if (!ok) *error = errnoText("cannot write " + statePath(bus.dir));
    return ok;
}

bool storeHeader(Bus& bus, std::string* error) {
    ++bus.cache.header.generation;
    if (writeAll(bus.stateFd, &bus.cache.header, sizeof(StateHeader), 0)) return true;
    bus.cached = false;
    *error = errnoText("cannot write " + statePath(bus.dir));
    return false;
}

bool storeSlot(Bus& bus, int slot, std::string* error) {
    if (writeAll(bus.stateFd, &bus.cache.slots[slot], sizeof(Device), slotOffset(slot)))
        return true;
    bus.cached = false;
    *error = errnoText("cannot write " + statePath(bus.dir));
    return false;
}

// Stores what deliverFrame changed: slots, flash pages, new ring entries, header.
bool storeEffects(Bus& bus, const Effects& fx, std::string* error) {
    BusImage& c = bus.cache;
    for (int i = 0; i < kMaxDevices; ++i) {
        if (fx.dirty.test(i) && !storeSlot(bus, i, error)) return false;
    }
    for (const auto& [slot, page] : fx.pages) {
        if (!writeAll(bus.stateFd, c.slots[slot].pageBuffer, kPageBytes, pageOffset(slot, page))) {
            bus.cached = false;
            *error = errnoText("cannot write flash in " + statePath(bus.dir));
            return false;
        }
    }
    for (const FrameRec& r : fx.replies) {
        uint32_t at = c.header.ringNext;
        c.ring[at] = r;
        c.header.ringNext = (at + 1) % kRingSize;
        if (!writeAll(bus.stateFd, &c.ring[at], sizeof r, kRingOffset + at * sizeof r)) {
            bus.cached = false;
            *error = errnoText("cannot write " + statePath(bus.dir));
            return false;
        }
    }
    return storeHeader(bus, error);
}

void appendTrace(Bus& bus, const FrameRec& f) {
    if (bus.traceFd < 0) {
        bus.traceFd =
            open(tracePath(bus.dir).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (bus.traceFd < 0) return;
    }
    std::string line = traceLine(f);
    ssize_t n = write(bus.traceFd, line.data(), line.size());
    (void)n;  // a lost trace line must not fail the frame itself
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

}  // namespace

Bus::~Bus() {
    if (headerMap != nullptr) munmap(const_cast<void*>(headerMap), sizeof(StateHeader));
    if (stateFd >= 0) close(stateFd);
    if (traceFd >= 0) close(traceFd);
}

std::string statePath(const std::string& dir) {
    return dir + "/bus.state";
}
std::string tracePath(const std::string& dir) {
    return dir + "/trace.log";
}

std::unique_ptr<Bus> openBus(const std::string& dir, std::string* error) {
    if (!makeDirs(dir, error)) return nullptr;
    auto bus = std::make_unique<Bus>();
    bus->dir = dir;
    bus->stateFd = open(statePath(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (bus->stateFd < 0) {
        *error = errnoText("cannot open " + statePath(dir));
        return nullptr;
    }
    FileLock lock(bus->stateFd, LOCK_EX);
    struct stat st {};
    if (!lock.ok() || fstat(bus->stateFd, &st) != 0) {
        *error = errnoText("cannot lock " + statePath(dir));
        return nullptr;
    }
    if (st.st_size == 0 && !writeFresh(*bus, error)) return nullptr;
    // Mapped only over a file that holds a whole header; the state file is
    // never shrunk, so the mapping stays backed.
    if (fstat(bus->stateFd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(StateHeader))) {
        void* map = mmap(nullptr, sizeof(StateHeader), PROT_READ, MAP_SHARED, bus->stateFd, 0);
        if (map != MAP_FAILED) bus->headerMap = map;
    }
    return bus;
}

bool busSend(Bus& bus, const FrameRec& frame, std::string* error) {
    {
        FileLock lock(bus.stateFd, LOCK_EX);
        if (!lockedAndLoaded(bus, lock, error)) return false;
        Effects fx;
        BusImage& c = bus.cache;
        deliverFrame(c.slots.data(), static_cast<int>(c.header.slotCount), frame, frame.timeUs,
                     &fx);
        if ((fx.dirty.any() || !fx.replies.empty()) && !storeEffects(bus, fx, error)) return false;
    }
    appendTrace(bus, frame);
    return true;
}

ReceiveResult busReceive(Bus& bus, ReceiveView& view, uint32_t wantId, uint32_t mask, int64_t nowUs,
                         FrameRec* out, std::string* error) {
    if (!view.started) {
        view.started = true;
        view.startUs = nowUs;
    }
    if (!cacheCurrent(bus)) {
        FileLock lock(bus.stateFd, LOCK_SH);
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
    appendTrace(bus, best);
    return kReceived;
}

bool busRead(Bus& bus, BusImage* image, std::string* error) {
    FileLock lock(bus.stateFd, LOCK_SH);
    if (!lockedAndLoaded(bus, lock, error)) return false;
    *image = bus.cache;
    return true;
}

bool busEdit(Bus& bus, const BusEdit& edit, std::string* error) {
    FileLock lock(bus.stateFd, LOCK_EX);
    if (!lockedAndLoaded(bus, lock, error)) return false;
    BusImage image = bus.cache;
    if (!edit(image, error)) return false;
    std::string why;
    if (!validHeader(image.header, &why) || !validImage(image, &why)) {
        *error = "refused to store an invalid state: " + why;
        return false;
    }
    for (int i = 0; i < kRingSize; ++i) {
        if (std::memcmp(&image.ring[i], &bus.cache.ring[i], sizeof(FrameRec)) != 0 &&
            !writeAll(bus.stateFd, &image.ring[i], sizeof(FrameRec),
                      kRingOffset + i * static_cast<off_t>(sizeof(FrameRec)))) {
            bus.cached = false;
            *error = errnoText("cannot write " + statePath(bus.dir));
            return false;
        }
    }
    bus.cache = image;
    for (uint32_t i = 0; i < image.header.slotCount; ++i) {
        if (!storeSlot(bus, static_cast<int>(i), error)) return false;
    }
    return storeHeader(bus, error);
}

bool busClear(Bus& bus, std::string* error) {
    {
        FileLock lock(bus.stateFd, LOCK_EX);
        if (!lock.ok()) {
            *error = errnoText("cannot lock " + statePath(bus.dir));
            return false;
        }
        if (!writeFresh(bus, error)) return false;
    }
    return clearTrace(bus, error);
}

bool readPage(Bus& bus, int slot, int page, uint8_t* out, std::string* error) {
    if (readAll(bus.stateFd, out, kPageBytes, pageOffset(slot, page))) return true;
    *error = corrupt(bus, "flash unreadable");
    return false;
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

std::string traceLine(const FrameRec& f) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "(%" PRId64 ".%06" PRId64 ") sim %08X#",
                          f.timeUs / 1000000, f.timeUs % 1000000, static_cast<unsigned>(f.id));
    std::string line(buf, static_cast<size_t>(n));
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < f.len && i < 8; ++i) {
        line += kHex[f.data[i] >> 4];
        line += kHex[f.data[i] & 0xF];
    }
    line += '\n';
    return line;
}

bool readTrace(Bus& bus, std::string* text, std::string* error) {
    text->clear();
    int fd = open(tracePath(bus.dir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = errnoText("cannot read " + tracePath(bus.dir));
        return false;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, static_cast<size_t>(n));
    close(fd);
    if (n == 0) return true;
    *error = errnoText("cannot read " + tracePath(bus.dir));
    return false;
}

bool clearTrace(Bus& bus, std::string* error) {
    int fd = open(tracePath(bus.dir).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errnoText("cannot clear " + tracePath(bus.dir));
        return false;
    }
    close(fd);
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
        FileLock lock(bus.stateFd, LOCK_SH);
        if (!lockedAndLoaded(bus, lock, error)) return nullptr;
    }
    return &bus.cache;
}

void traceFrame(Bus& bus, const FrameRec& frame) {
    appendTrace(bus, frame);
}

}  // namespace kelto::sim
