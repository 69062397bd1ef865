// Interface and address changes on Linux: a routing netlink socket that
// listens to the link, IPv4 address and IPv6 address groups. Joining them needs no
// privilege.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/platform.h"

namespace kestivane::platform {

int link_events_open() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    struct sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(fd, reinterpret_cast<const struct sockaddr *>(&groups), sizeof groups) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool link_events_drain(int handle) {
    char buffer[8192];
    for (;;) {
        ssize_t got = recv(handle, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) continue;
        if (got == 0) return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        // The kernel's queue overflowed: events were lost, which the reader
        // makes good by looking at everything afresh.
        if (errno == ENOBUFS || errno == EINTR) continue;
        return false;
    }
}

} // namespace kestivane::platform
