// Measuring messages and finding options. Not built yet: nothing measures.
#include <cstdio>

#include "plugins/kestivane_plugin.h"

extern "C" int32_t get_dhcp_len(const struct dhcp_packet * /*packet*/) { return 0; }
extern "C" int32_t find_opt_offset(const uint8_t * /*options*/, uint8_t /*code*/, int32_t /*len*/,
                                   int32_t /*no_fit_check*/) {
    return -1;
}
extern "C" uint8_t *find_option(struct dhcp_packet * /*packet*/, uint8_t /*code*/) { return nullptr; }
extern "C" uint8_t *find_suboption(struct dhcp_packet * /*packet*/, uint8_t /*code*/, uint8_t /*subcode*/) {
    return nullptr;
}
extern "C" char *print_xid(uint32_t xid, char *text) {
    std::snprintf(text, 11, "0x%02x%02x%02x%02x", xid & 0xFF, (xid >> 8) & 0xFF, (xid >> 16) & 0xFF, xid >> 24);
    return text;
}
