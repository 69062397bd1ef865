// The hook walk, the same at the four points of the packet paths.
#pragma once

#include "core/settings.h"

namespace kestivane {

// The plug-in's own name for log lines; a descriptor may leave it null.
inline const char *plugin_label(const struct plugin *p) {
    return p->name != nullptr ? p->name : "(unnamed)";
}

// Offers a packet to one hook of every loaded plug-in, in loading order,
// passing over plug-ins without that hook. plugins_number is read afresh
// after each hook that accepts, since a hook may change it; the table's own
// size still bounds the walk, so a hook that raises the count past the
// loaded plug-ins cannot send the walk through empty slots or past the end.
// The first hook that returns 0 rejects the packet: it is logged, no later
// plug-in sees the packet at this point, and the walk answers false.
template <auto Hook, typename... Args>
bool run_hooks(Args... args) {
    for (unsigned i = 0; i < plugins_number && i < KESTIVANE_MAX_PLUGINS; ++i) {
        const struct plugin *p = plugins[i];
        if (p == nullptr) continue;
        auto hook = p->*Hook;
        if (hook == nullptr) continue;
        if (hook(args...) == 0) {
            logd(log_warning, "The packet rejected by %s plugin", plugin_label(p));
            return false;
        }
    }
    return true;
}

// Whether any loaded plug-in has this hook now. Read at each use, as the
// walk reads it: plugins_number and a descriptor's hooks are the plug-ins'
// to change.
template <auto Hook>
bool any_hook() {
    for (unsigned i = 0; i < plugins_number && i < KESTIVANE_MAX_PLUGINS; ++i) {
        const struct plugin *p = plugins[i];
        if (p != nullptr && p->*Hook != nullptr) return true;
    }
    return false;
}

// Measures a message the hooks may have edited; a message without a valid
// END is dropped with the hook point's line. Returns the length or 0.
inline int32_t measure_after_hooks(const struct dhcp_packet *packet, const char *point) {
    int32_t len = get_dhcp_len(packet);
    if (len == 0) logd(log_error, "%s: plugins generated wrong packet. Dropped.", point);
    return len;
}

} // namespace kestivane
