// The kernel's uevents, read from its netlink socket. dm-multipath announces every path it
// fails or reinstates at once ("DM_ACTION=PATH_FAILED" on the map), and the NVMe driver
// every change of a controller; either ends the monitor's pause, so the cycle that logs it
// comes within about a second. The socket is the kernel's own interface: no udev library
// is linked, and the events come whether or not udev runs.
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/runner.h"
#include "monitor/health.h"

namespace morvel::monitor {

namespace {

constexpr unsigned kKernelGroup = 1;         // the kernel's broadcasts (udev's own are group 2)
constexpr int kReceiveBuffer = 1 << 20;      // a burst of a few thousand events
constexpr size_t kMaxEvent = 8192;           // the kernel's limit for one uevent is 2048 bytes of keys

}  // namespace

namespace {

// Calls f with each KEY=VALUE of a kernel uevent; false when it is not one.
template <class F>
bool eachProperty(const char *data, size_t length, F &&f) {
    const std::string_view all(data, length);
    // "action@devpath", then KEY=VALUE strings, each ended by NUL; udev's own format (which
    // starts with "libudev") is not the kernel's.
    const size_t head = all.find('\0');
    if (head == std::string_view::npos || all.substr(0, head).find('@') == std::string_view::npos ||
        all.starts_with("libudev"))
        return false;
    for (size_t at = head; at != std::string_view::npos && at + 1 < all.size();) {
        const size_t end = all.find('\0', at + 1);
        f(all.substr(at + 1, end == std::string_view::npos ? end : end - at - 1));
        at = end;
    }
    return true;
}

}  // namespace

bool isHealthEvent(const char *data, size_t length) {
    bool wanted = false;
    eachProperty(data, length, [&](std::string_view kv) {
        wanted = wanted || kv == "SUBSYSTEM=nvme" || kv == "DM_ACTION=PATH_FAILED" || kv == "DM_ACTION=PATH_REINSTATED";
    });
    return wanted;
}

bool parsePathEvent(const char *data, size_t length, PathEvent &out) {
    int action = -1;  // 1 failed, 0 reinstated
    std::string_view devt;
    eachProperty(data, length, [&](std::string_view kv) {
        if (kv == "DM_ACTION=PATH_FAILED") action = 1;
        if (kv == "DM_ACTION=PATH_REINSTATED") action = 0;
        if (kv.starts_with("DM_PATH=")) devt = kv.substr(8);
    });
    if (action < 0 || devt.empty() || devt.size() > 30) return false;
    out.devt = std::string(devt);
    out.failed = action == 1;
    return true;
}

UeventListener::UeventListener() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return;
    // Privileged callers may go past the system's maximum, others get what it allows.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = kKernelGroup;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

UeventListener::~UeventListener() {
    if (fd_ >= 0) ::close(fd_);
}

bool UeventListener::drain(std::vector<PathEvent> *paths) {
    if (fd_ < 0) return false;
    bool wanted = false;
    char buf[kMaxEvent];
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Events were dropped while the socket was full: one of them may have been ours.
            if (errno == ENOBUFS) {
                wanted = lost_ = true;
                continue;
            }
            return wanted;
        }
        // Only the kernel (port 0) speaks on this group; whatever else is ignored.
        if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC) != 0) continue;
        if (!isHealthEvent(buf, static_cast<size_t>(n))) continue;
        wanted = true;
        PathEvent e;
        if (paths != nullptr && parsePathEvent(buf, static_cast<size_t>(n), e)) paths->push_back(std::move(e));
    }
}

bool UeventListener::wait(int ms) const {
    if (fd_ < 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

int64_t monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void pauseForEvents(UeventListener *events, unsigned seconds, int64_t cycleStartMs,
                    const PathEventHandler &onPathEvents) {
    const int64_t begin = monotonicMs();
    const int64_t end = begin + int64_t{seconds} * 1000;
    int64_t nextReap = begin + 1000, wake = -1, handleAt = -1;
    std::vector<PathEvent> pending;
    const bool listening = events != nullptr && events->open();
    auto handle = [&] {
        if (!pending.empty() && onPathEvents) onPathEvents(pending);
        pending.clear();
        handleAt = -1;
    };
    // What came while the cycle ran is told at once.
    if (listening && events->drain(&pending)) {
        wake = std::max(begin + kSettleMs, cycleStartMs + kMinGapMs);
        handleAt = begin;
    }
    for (int64_t now = begin;; now = monotonicMs()) {
        if (handleAt >= 0 && now >= handleAt) handle();
        if (now >= end || (wake >= 0 && now >= wake)) break;
        if (now >= nextReap) {
            common::reapLeftovers();
            nextReap = now + 1000;
        }
        int64_t until = std::min(end, nextReap);
        if (wake >= 0) until = std::min(until, wake);
        if (handleAt >= 0) until = std::min(until, handleAt);
        if (!listening) {
            ::usleep(static_cast<useconds_t>(until - now) * 1000);
            continue;
        }
        if (events->wait(static_cast<int>(until - now)) && events->drain(&pending)) {
            // The burst's later events are read while the pause runs out.
            const int64_t t = monotonicMs();
            if (wake < 0) wake = std::max(t + kSettleMs, cycleStartMs + kMinGapMs);
            if (handleAt < 0) handleAt = t + kSettleMs;
        }
    }
    handle();
}

}  // namespace morvel::monitor
