// Whole-frame output on Linux: a packet socket bound to one interface. It is
// opened with protocol 0, so the kernel never queues received frames on it;
// the relay only writes to it. Frames go through the interface's queueing
// discipline on purpose: bypassing it (PACKET_QDISC_BYPASS) also hides them
// from packet taps, so a capture on the relay host would not show answers.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/platform.h"

namespace kestivane::platform {

int frame_out_open(const char *ifname) {
    unsigned index = if_nametoindex(ifname);
    if (index == 0) return -1;
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = 0;
    link.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<const struct sockaddr *>(&link), sizeof link) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int packet_socket_rebind(int handle, unsigned ifindex, packet_kind kind) {
    struct sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = kind == packet_kind::every_frame ? htons(ETH_P_ALL)
                        : kind == packet_kind::ipv6      ? htons(ETH_P_IPV6)
                                                         : 0;
    link.sll_ifindex = static_cast<int>(ifindex);
    if (bind(handle, reinterpret_cast<const struct sockaddr *>(&link), sizeof link) != 0) return -1;
    // The removal of the interface it was bound to left an error pending on
    // the socket ("network is down"), which the next receive would return
    // (libpcap's filter change receives once, and would fail). Reading it
    // clears it.
    int pending = 0;
    socklen_t len = sizeof pending;
    (void)getsockopt(handle, SOL_SOCKET, SO_ERROR, &pending, &len);
    return 0;
}

long frame_out_write(int handle, const uint8_t *frame, std::size_t len) {
    return static_cast<long>(send(handle, frame, len, 0));
}

} // namespace kestivane::platform
