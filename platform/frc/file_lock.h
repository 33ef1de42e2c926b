// The file lock behind every update lock (can_backend.h): an exclusive
// flock, taken without waiting, that the kernel drops when the last
// descriptor of its open file closes, the holder's death included.
//
//   std::string err;
//   int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
//   flockWithoutWaiting(fd, path, &err)  -> kHeld (keep fd open), kBusy, or kError
#ifndef KELTO_PLATFORM_FILE_LOCK_H
#define KELTO_PLATFORM_FILE_LOCK_H

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "can_backend.h"

namespace kelto::frc {

// "update-1b07.lock": the lock file of bootloader kind `bootHighHalf`.
inline std::string updateLockName(uint16_t bootHighHalf) {
    char name[24];
    std::snprintf(name, sizeof name, "update-%04x.lock", bootHighHalf);
    return name;
}

// Locks `fd`, just opened on `path` (negative when the open failed, with
// errno set). kHeld: the lock lasts while fd stays open. Otherwise fd is
// closed: kBusy when another open file of `path` holds the lock, kError
// with one line in *error.
inline UpdateLock flockWithoutWaiting(int fd, const std::string& path, std::string* error) {
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return UpdateLock::kError;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return UpdateLock::kHeld;
    const int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return UpdateLock::kBusy;
    *error = "cannot lock " + path + ": " + std::strerror(err);
    return UpdateLock::kError;
}

}  // namespace kelto::frc

#endif
