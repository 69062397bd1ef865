// The hook walk, the same at the four points of the packet paths.
#pragma once

#include "core/settings.h"

namespace kestivane {

// Offers a packet to one hook of every loaded plug-in, in loading order,
// passing over plug-ins without that hook. plugins_number is read afresh
// after each hook that accepts, since a hook may change it. The first hook
// that returns 0 rejects the packet: it is logged, no later plug-in sees the
// packet at this point, and the walk answers false.
template <auto Hook, typename... Args>
bool run_hooks(Args... args) {
    for (unsigned i = 0; i < plugins_number; ++i) {
        const struct plugin *p = plugins[i];
        auto hook = p->*Hook;
        if (hook == nullptr) continue;
        if (hook(args...) == 0) {
            logd(log_warning, "The packet rejected by %s plugin", p->name);
            return false;
        }
    }
    return true;
}

// Measures a message the hooks may have edited; a message without a valid
// END is dropped with the hook point's line. Returns the length or 0.
inline int32_t measure_after_hooks(const struct dhcp_packet *packet, const char *point) {
    int32_t len = get_dhcp_len(packet);
    if (len == 0) logd(log_error, "%s: plugins generated wrong packet. Dropped.", point);
    return len;
}

} // namespace kestivane
