// Measuring messages and finding options and sub-options. Nothing here logs,
// allocates or changes the message: a failure is the result alone.
#include <cstdio>

#include "dhcp/option_walk.h"
#include "plugins/kestivane_plugin.h"

using namespace kestivane::dhcp;

extern "C" int32_t get_dhcp_len(const struct dhcp_packet *packet) {
    if (packet == nullptr) return 0;
    walk_end end = walk_options(packet->options, option_area_bound(), code_end, true);
    if (end.result != walk_result::found) return 0;
    // Through the END byte: the fixed fields, the cookie and every option
    // byte before END, PAD included.
    return options_offset + end.position + 1;
}

extern "C" uint8_t *find_option(struct dhcp_packet *packet, uint8_t code) {
    if (packet == nullptr) return nullptr;
    walk_end end = walk_options(packet->options, option_area_bound(), code, true);
    if (end.result != walk_result::found) return nullptr;
    return packet->options + end.position;
}

extern "C" uint8_t *find_suboption(struct dhcp_packet *packet, uint8_t code, uint8_t subcode) {
    uint8_t *option = find_option(packet, code);
    if (option == nullptr) return nullptr;
    // The option's own length bounds the sub-options, without the fit check:
    // the last sub-option may fill the option's data to its end. A found
    // sub-option's length is the caller's to compare with the option's.
    uint8_t *data = option + 2;
    walk_end end = walk_options(data, option[1], subcode, false);
    if (end.result != walk_result::found) return nullptr;
    return data + end.position;
}

extern "C" int32_t find_opt_offset(const uint8_t *options, uint8_t code, int32_t len, int32_t no_fit_check) {
    walk_end end = walk_options(options, len, code, no_fit_check == 0);
    switch (end.result) {
    case walk_result::found:
        return end.position;
    case walk_result::absent:
        return -2;
    case walk_result::malformed:
        break;
    }
    return -1;
}

// The xid as it lies in the message, read on a little-endian host, prints its
// bytes in wire order: lowest bits first.
extern "C" char *print_xid(uint32_t xid, char *text) {
    std::snprintf(text, 11, "0x%02x%02x%02x%02x", xid & 0xFF, (xid >> 8) & 0xFF, (xid >> 16) & 0xFF,
                  (xid >> 24) & 0xFF);
    return text;
}
