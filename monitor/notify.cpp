// Notifications to the service manager: the datagram protocol of $NOTIFY_SOCKET (a path, or
// an abstract socket name written with a leading '@'). Without the variable nothing is sent.
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "monitor/monitor.h"

namespace morvel::monitor {

bool notifyServiceManager(const char *state) {
    const char *where = std::getenv("NOTIFY_SOCKET");
    if (where == nullptr || (where[0] != '/' && where[0] != '@') || state == nullptr) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = std::strlen(where);
    if (len >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, where, len);
    if (where[0] == '@') addr.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const size_t n = std::strlen(state);
    const ssize_t sent = sendto(fd, state, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr),
                                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
    close(fd);
    return sent == static_cast<ssize_t>(n);
}

}  // namespace morvel::monitor
