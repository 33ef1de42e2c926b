#include "can_port.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "CANSessionMux.h"
#include "can_port_internal.h"
#include "file_lock.h"
#include "update_lock.h"

namespace kelto {

namespace {

constexpr int32_t SEND_ONCE = 0;  // period of every frame: no repetition

// Where the port keeps its own lock files, in order of preference.
const char* const LOCK_DIRS[] = {"/run/lock", "/tmp"};

// Opens `path` for a lock without following a file another user planted
// in a sticky directory: an existing file is opened as it is, a missing one
// is created exclusively.
int openLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        const int made =
            open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (made >= 0 || errno != EEXIST) return made;
    }
    return -1;
}

UpdateLockStatus fallbackLock(uint16_t bootHighHalf) {
    const std::string name = "/kelto-" + frc::updateLockName(bootHighHalf);
    std::string why;
    for (const char* dir : LOCK_DIRS) {
        std::string err;
        const UpdateLockStatus st = lockUpdateFile(std::string(dir) + name, &err);
        if (st != UpdateLockStatus::kUnavailable) return st;
        why += (why.empty() ? "" : "; ") + err;
    }
    std::fprintf(stderr, "kelto: no update lock (%s); updating without it\n", why.c_str());
    std::fflush(stderr);
    return UpdateLockStatus::kUnavailable;
}

}  // namespace

UpdateLockStatus lockUpdateFile(const std::string& path, std::string* error) {
    static std::map<std::string, int> held;  // path -> descriptor, open until exit
    if (held.count(path) != 0) return UpdateLockStatus::kHeld;
    const int fd = openLockFile(path);
    switch (frc::flockWithoutWaiting(fd, path, error)) {
        case frc::UpdateLock::kHeld:
            held[path] = fd;
            return UpdateLockStatus::kHeld;
        case frc::UpdateLock::kBusy:
            return UpdateLockStatus::kBusy;
        case frc::UpdateLock::kError:
            break;
    }
    return UpdateLockStatus::kUnavailable;
}

UpdateLockStatus canLockUpdates(uint16_t bootHighHalf) {
    // Looked up, not linked: the controller's library has no such call.
    const auto lock =
        reinterpret_cast<KeltoLockUpdatesFn>(dlsym(RTLD_DEFAULT, KELTO_UPDATE_LOCK_SYMBOL));
    if (lock == nullptr) return fallbackLock(bootHighHalf);
    switch (lock(bootHighHalf)) {
        case KELTO_UPDATE_LOCK_HELD:
            return UpdateLockStatus::kHeld;
        case KELTO_UPDATE_LOCK_BUSY:
            return UpdateLockStatus::kBusy;
        default:  // the library has said why on stderr
            return UpdateLockStatus::kUnavailable;
    }
}

int32_t canSend(uint32_t messageID, const uint8_t* data, uint8_t dataSize) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(messageID, data, dataSize, SEND_ONCE,
                                                       &status);
    return status;
}

int32_t canReceive(uint32_t* messageID, uint8_t* data, uint8_t* dataSize) {
    uint32_t timeStamp = 0;
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(messageID, EXACT_MATCH, data, dataSize,
                                                          &timeStamp, &status);
    return status;
}

}  // namespace kelto
