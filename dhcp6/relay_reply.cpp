// The Relay-Reply a server (or an upper relay) sends down: what it carries
// and where that goes.
#include <cstring>

#include "dhcp6/message6.h"

namespace kestivane::dhcp6 {

bool peer_address_usable(const uint8_t *addr) {
    if (addr[0] == 0xff) return false; // multicast
    // The other refused addresses all lie in ::/80: the unspecified (::)
    // and loopback (::1) ones and the IPv4-mapped ones (::ffff:0:0/96).
    static const uint8_t zeros[10] = {};
    if (std::memcmp(addr, zeros, 10) != 0) return true;
    if (addr[10] == 0xff && addr[11] == 0xff) return false;
    return std::memcmp(addr + 10, zeros, 5) != 0 || addr[15] > 1;
}

bool unwrap_relay_reply(const uint8_t *msg, std::size_t len, relay_reply &out) {
    if (len < relay_header_size || msg[0] != msg_relay_repl || !well_formed(msg, len)) return false;
    out = relay_reply{};
    out.hop_count = msg[relay_hop_count];
    out.link_address = msg + relay_link_address;
    out.peer_address = msg + relay_peer_address;
    // The first Relay Message and the first Interface-ID count; well_formed
    // has checked that the walk reaches the end.
    walk_options(msg + relay_header_size, len - relay_header_size, [&](option_view o) {
        if (o.code == opt_relay_msg && out.inner == nullptr) {
            out.inner = o.data;
            out.inner_len = o.len;
        } else if (o.code == opt_interface_id && out.interface_id == nullptr) {
            out.interface_id = o.data;
            out.interface_id_len = o.len;
        } else if (o.code == opt_relay_source_port && o.len == 2 && out.downstream_port == 0) {
            out.downstream_port = static_cast<uint16_t>(o.data[0] << 8 | o.data[1]);
        }
    });
    // A Relay-Forward has no business travelling downward.
    if (out.inner == nullptr || out.inner[0] == msg_relay_forw) return false;
    out.inner_is_relay_reply = out.inner[0] == msg_relay_repl;
    return true;
}

} // namespace kestivane::dhcp6
