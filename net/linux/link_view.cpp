// One interface as the system has it now, from one listing of every
// interface address: the AF_PACKET entry (which Linux does not list first:
// entries are picked by family, not position) gives the index, the flags
// and the hardware address; the AF_INET and AF_INET6 entries give the addresses of
// both families. One
// listing, so that index and addresses belong to the same interface even
// while it is being deleted and created again.
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/platform.h"

namespace kestivane::platform {

link_listing::link_listing() {
    ok_ = getifaddrs(&list_) == 0;
    if (!ok_) {
        error_ = errno;
        list_ = nullptr;
    }
}

link_listing::~link_listing() {
    if (list_ != nullptr) freeifaddrs(list_);
}

link_view link_listing::view_of(const char *ifname) const {
    link_view view;
    for (const struct ifaddrs *entry = list_; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || std::strcmp(entry->ifa_name, ifname) != 0) continue;
        if (entry->ifa_addr == nullptr) continue;
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            struct sockaddr_ll link;
            std::memcpy(&link, entry->ifa_addr, sizeof link);
            view.present = true;
            view.index = static_cast<unsigned>(link.sll_ifindex);
            view.running = (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_RUNNING) != 0;
            view.mac_len = std::min<std::size_t>(link.sll_halen, sizeof view.mac);
            std::memcpy(view.mac, link.sll_addr, view.mac_len);
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            struct sockaddr_in address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            view.ipv4.push_back(address.sin_addr.s_addr);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            struct sockaddr_in6 address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            view.ipv6.push_back(address.sin6_addr);
        }
    }
    return view;
}

bool look_at_link(const char *ifname, link_view &view) {
    link_listing listing;
    if (!listing.ok()) {
        view = link_view{};
        errno = listing.error();
        return false;
    }
    view = listing.view_of(ifname);
    return true;
}

} // namespace kestivane::platform
