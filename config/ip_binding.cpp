// bind_ip: the address an interface relays from.
#include <cstring>

#include "plugins/kestivane_plugin.h"

extern "C" uint32_t *get_bound_ip(const char *ifname) {
    struct ip_binding *binding;
    STAILQ_FOREACH(binding, &ip_binding_map_head, next) {
        if (std::strcmp(binding->ifname, ifname) == 0) return &binding->ip;
    }
    return nullptr;
}
