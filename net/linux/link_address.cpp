// An interface's hardware address on Linux: its AF_PACKET entry of the
// interface-address list. Linux does not list an interface's link-level entry
// first, so the entry is picked by family, not by position.
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "net/platform.h"

namespace kestivane::platform {

link_lookup link_address(const char *ifname, uint8_t mac[6]) {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return link_lookup::failed;
    std::unique_ptr<struct ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);

    bool named = false;
    for (const struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || std::strcmp(entry->ifa_name, ifname) != 0) continue;
        named = true;
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
        struct sockaddr_ll link;
        std::memcpy(&link, entry->ifa_addr, sizeof link);
        // The destination holds an Ethernet address; longer link addresses
        // (InfiniBand's 20 bytes) are cut rather than overrun it.
        std::size_t len = std::min<std::size_t>(link.sll_halen, 6);
        std::memcpy(mac, link.sll_addr, len);
        return link_lookup::found;
    }
    return named ? link_lookup::found : link_lookup::unknown;
}

} // namespace kestivane::platform
