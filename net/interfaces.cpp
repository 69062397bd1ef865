// Interface queries (hardware and IPv4 addresses) and look-ups in ifs.
#include <cstring>

#include "core/settings.h"

extern "C" int32_t get_mac(const char * /*name*/, uint8_t * /*mac*/) { return 0; }

extern "C" int32_t get_ip(const char * /*name*/, uint32_t * /*destination*/, const uint32_t * /*wanted*/) {
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
