// Interface queries (hardware and IPv4 addresses, through the one look at
// the system in net/linux/) and look-ups in ifs.
#include <err.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "net/interface_lifecycle.h"
#include "net/platform.h"

extern "C" int32_t get_mac(const char *name, uint8_t *mac) {
    kestivane::platform::link_view view;
    if (!kestivane::platform::look_at_link(name, view)) errx(32, "getifaddrs: %s", std::strerror(errno));
    if (view.present) {
        std::memcpy(mac, view.mac, view.mac_len);
        return 1;
    }
    logd(kestivane::log_debug, "can't find mac for interface %s", name);
    return 0;
}

extern "C" int32_t get_ip(const char *name, uint32_t *destination, const uint32_t *wanted) {
    kestivane::platform::link_view view;
    if (!kestivane::platform::look_at_link(name, view)) errx(1, "getifaddrs: %s", std::strerror(errno));
    for (uint32_t ip : view.ipv4) {
        if (wanted != nullptr && ip != *wanted) continue;
        if (destination != nullptr) *destination = ip;
        return 1;
    }
    return 0;
}

// A retired interface keeps its slot but is found by none of these. The
// count is read once: interfaces opened meanwhile come after it.
extern "C" int32_t find_interface(uint32_t ip) {
    const int32_t count = kestivane::interface_count();
    int32_t i = 0;
    while (i < count && (ifs[i]->ip != ip || kestivane::interface_retired(i))) ++i;
    return i;
}

extern "C" struct interface *get_interface_by_idx(int32_t idx) {
    return idx < 0 || idx >= kestivane::interface_count() || kestivane::interface_retired(idx) ? nullptr : ifs[idx];
}

extern "C" struct interface *get_interface_by_name(const char *name) {
    const int32_t count = kestivane::interface_count();
    for (int32_t i = 0; i < count; ++i) {
        if (std::strcmp(ifs[i]->name, name) == 0 && !kestivane::interface_retired(i)) return ifs[i];
    }
    return nullptr;
}
