// Interface queries (hardware and IPv4 addresses) and look-ups in ifs.
#include <err.h>
#include <ifaddrs.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/settings.h"
#include "net/platform.h"

namespace {

using ifaddrs_list = std::unique_ptr<struct ifaddrs, decltype(&freeifaddrs)>;

} // namespace

extern "C" int32_t get_mac(const char *name, uint8_t *mac) {
    switch (kestivane::platform::link_address(name, mac)) {
    case kestivane::platform::link_lookup::found:
        return 1;
    case kestivane::platform::link_lookup::failed:
        errx(32, "getifaddrs: %s", std::strerror(errno));
    case kestivane::platform::link_lookup::unknown:
        break;
    }
    logd(kestivane::log_debug, "can't find mac for interface %s", name);
    return 0;
}

extern "C" int32_t get_ip(const char *name, uint32_t *destination, const uint32_t *wanted) {
    struct ifaddrs *first = nullptr;
    if (getifaddrs(&first) != 0) errx(1, "getifaddrs: %s", std::strerror(errno));
    ifaddrs_list list(first, &freeifaddrs);

    for (const struct ifaddrs *entry = first; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (std::strcmp(entry->ifa_name, name) != 0) continue;
        struct sockaddr_in address;
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        if (wanted != nullptr && address.sin_addr.s_addr != *wanted) continue;
        if (destination != nullptr) *destination = address.sin_addr.s_addr;
        return 1;
    }
    return 0;
}

extern "C" int32_t find_interface(uint32_t ip) {
    int32_t i = 0;
    while (i < if_num && ifs[i]->ip != ip) ++i;
    return i;
}

extern "C" struct interface *get_interface_by_idx(int32_t idx) {
    return idx < 0 || idx >= if_num ? nullptr : ifs[idx];
}

extern "C" struct interface *get_interface_by_name(const char *name) {
    for (int32_t i = 0; i < if_num; ++i) {
        if (std::strcmp(ifs[i]->name, name) == 0) return ifs[i];
    }
    return nullptr;
}
