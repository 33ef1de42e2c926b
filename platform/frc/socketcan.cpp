#include "socketcan.h"

// <net/if.h> before the kernel's headers, which then leave its types alone.
#include <net/if.h>
#include <net/if_arp.h>

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "file_lock.h"

namespace kelto::frc {

namespace {

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string bringUpHint(const std::string& iface, bool virtualCan) {
    if (virtualCan) return "bring it up with 'ip link set " + iface + " up'";
    return "bring it up with 'ip link set " + iface + " up type can bitrate 1000000'";
}

// Closes the descriptor when it goes out of scope, unless released.
class FdGuard {
  public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// The interface exists, is CAN and is up; `probe` is any socket for ioctls.
bool checkInterface(int probe, const std::string& iface, std::string* error) {
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, iface.c_str(), iface.size());
    if (ioctl(probe, SIOCGIFHWADDR, &ifr) != 0) {
        if (errno == ENODEV)
            *error = "socketcan: no network interface \"" + iface +
                     "\"; plug in the adapter and check 'ip link show', or for a virtual bus: "
                     "'ip link add dev " +
                     iface + " type vcan'";
        else
            *error = errnoText("socketcan: cannot query interface \"" + iface + "\"");
        return false;
    }
    if (ifr.ifr_hwaddr.sa_family != ARPHRD_CAN) {
        *error = "socketcan: \"" + iface +
                 "\" is not a CAN interface; name one that 'ip link show " +
                 "type can' or 'ip link show type vcan' lists";
        return false;
    }
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq drv{};
    std::memcpy(drv.ifr_name, iface.c_str(), iface.size());
    drv.ifr_data = reinterpret_cast<char*>(&info);
    const bool virtualCan =
        ioctl(probe, SIOCETHTOOL, &drv) == 0 && std::strcmp(info.driver, "vcan") == 0;
    if (ioctl(probe, SIOCGIFFLAGS, &ifr) != 0) {
        *error = errnoText("socketcan: cannot query interface \"" + iface + "\"");
        return false;
    }
    if (!(ifr.ifr_flags & IFF_UP)) {
        *error =
            "socketcan: CAN interface " + iface + " is down; " + bringUpHint(iface, virtualCan);
        return false;
    }
    return true;
}

// Data frames with 29-bit identifiers only; no error frames; a larger
// receive queue than the default, so that a burst is not lost between two
// receive calls 10 ms apart.
bool configure(int fd, std::string* error) {
    can_filter filter{};
    filter.can_id = CAN_EFF_FLAG;
    filter.can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG;
    can_err_mask_t noErrors = 0;
    int on = 1;
    int rcvbuf = 1 << 20;
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) != 0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &noErrors, sizeof noErrors) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0) {
        *error = errnoText("socketcan: cannot set up the CAN socket");
        return false;
    }
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);  // capped by the kernel
    return true;
}

std::string deviceFailed(const std::string& iface) {
    if (errno == ENETDOWN)
        return "socketcan: CAN interface " + iface + " went down; " + bringUpHint(iface, false);
    return errnoText("socketcan: CAN interface " + iface);
}

}  // namespace

std::string interfaceNameProblem(const std::string& name) {
    if (name.empty()) return "the interface name is empty";
    if (name.size() >= IFNAMSIZ)
        return "the interface name is longer than " + std::to_string(IFNAMSIZ - 1) + " bytes";
    if (name == "." || name == "..") return "\"" + name + "\" is not an interface name";
    for (unsigned char c : name) {
        if (c == '/' || c == ':' || c <= ' ' || c == 0x7F)
            return "an interface name holds no '/', ':', blank or control character";
    }
    return "";
}

int openCanSocket(const std::string& iface, std::string* error) {
    const std::string problem = interfaceNameProblem(iface);
    if (!problem.empty()) {
        *error = "socketcan: \"" + iface + "\": " + problem +
                 "; use KELTO_CAN_BUS=socketcan:IFACE, for example socketcan:can0";
        return -1;
    }
    FdGuard probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (probe.get() < 0) {
        *error = errnoText("socketcan: cannot open a socket");
        return -1;
    }
    if (!checkInterface(probe.get(), iface, error)) return -1;
    FdGuard fd(socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
    if (fd.get() < 0) {
        if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)
            *error = "socketcan: this kernel has no CAN support (" +
                     std::string(std::strerror(errno)) + "); load it with 'modprobe can-raw'";
        else
            *error = errnoText("socketcan: cannot open a CAN socket");
        return -1;
    }
    if (!configure(fd.get(), error)) return -1;
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(iface.c_str()));
    if (addr.can_ifindex == 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = errnoText("socketcan: cannot bind to CAN interface " + iface);
        return -1;
    }
    return fd.release();
}

Received readCanFrame(int fd, const std::string& iface, BusFrame* out, std::string* error) {
    for (;;) {
        can_frame cf{};
        iovec iov{&cf, sizeof cf};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::kNothing;
        if (n < 0) {
            *error = deviceFailed(iface);
            return Received::kError;
        }
        // The filter passes 29-bit data frames; this check keeps that true
        // whatever the kernel's filter did.
        if (n != static_cast<ssize_t>(sizeof cf) || !(cf.can_id & CAN_EFF_FLAG) ||
            (cf.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) || cf.can_dlc > 8)
            continue;
        out->timeUs = kelto::nowUs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                timeval tv{};
                std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
                out->timeUs = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
            }
        }
        out->id = cf.can_id & CAN_EFF_MASK;
        out->len = cf.can_dlc;
        std::memset(out->data, 0, sizeof out->data);
        std::memcpy(out->data, cf.data, cf.can_dlc);
        return Received::kFrame;
    }
}

bool writeCanFrame(int fd, const std::string& iface, const BusFrame& frame, std::string* error) {
    if (frame.len > 8) {
        *error = "socketcan: a CAN frame holds at most 8 bytes";
        return false;
    }
    can_frame cf{};
    cf.can_id = (frame.id & CAN_EFF_MASK) | CAN_EFF_FLAG;
    cf.can_dlc = frame.len;
    std::memcpy(cf.data, frame.data, frame.len);
    for (int waited = 0;;) {
        const ssize_t n = write(fd, &cf, sizeof cf);
        if (n == static_cast<ssize_t>(sizeof cf)) return true;
        if (n < 0 && errno == EINTR) continue;
        const bool full = n < 0 && (errno == ENOBUFS || errno == EAGAIN);
        if (full && waited < SEND_PATIENCE_MS) {
            kelto::sleepMs(1);
            ++waited;
            continue;
        }
        if (full)
            *error = "socketcan: the transmit queue of " + iface + " stayed full for " +
                     std::to_string(SEND_PATIENCE_MS) +
                     " ms: no other node acknowledges (check the wiring, the termination and "
                     "the bitrate) or the bus is saturated";
        else if (n >= 0)
            *error = "socketcan: short write on CAN interface " + iface;
        else
            *error = deviceFailed(iface);
        return false;
    }
}

std::string interfaceLockPath(const std::string& dir, const std::string& iface,
                              uint16_t bootHighHalf) {
    return dir + "/kelto-can-" + iface + "-" + updateLockName(bootHighHalf);
}

UpdateLock lockInterfaceUpdates(const std::string& iface, uint16_t bootHighHalf, int* fd,
                                std::string* error) {
    const std::string problem = interfaceNameProblem(iface);
    if (!problem.empty()) {
        *error = "socketcan: \"" + iface + "\": " + problem;
        return UpdateLock::kError;
    }
    // Readable and writable by every user (under the umask), so that any
    // user's update on the interface sees another's; never through a link.
    constexpr int FLAGS = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    std::string path = interfaceLockPath("/run/lock", iface, bootHighHalf);
    int opened = open(path.c_str(), FLAGS, 0666);
    if (opened < 0) {
        path = interfaceLockPath("/tmp", iface, bootHighHalf);
        opened = open(path.c_str(), FLAGS, 0666);
    }
    const UpdateLock got = flockWithoutWaiting(opened, path, error);
    if (got == UpdateLock::kError) *error = "socketcan: " + *error;
    if (got == UpdateLock::kHeld) *fd = opened;
    return got;
}

}  // namespace kelto::frc
