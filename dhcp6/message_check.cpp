// The checks on DHCPv6 messages: every length inside its message, relay
// messages down to the message they carry.
#include "dhcp6/message6.h"

namespace kestivane::dhcp6 {

namespace {

bool is_relay(uint8_t type) { return type == msg_relay_forw || type == msg_relay_repl; }

bool is_client_message(uint8_t type) {
    switch (type) {
    case msg_solicit:
    case msg_request:
    case msg_confirm:
    case msg_renew:
    case msg_rebind:
    case msg_release:
    case msg_decline:
    case msg_information_request:
        return true;
    default:
        return false;
    }
}

// Nesting deeper than this is refused: relays drop Relay-Forwards past
// eight hops, so a deeper message was never relayed, and the bound keeps
// the walk short whatever the datagram holds.
constexpr int nesting_limit = 2 * hop_count_limit;

} // namespace

bool well_formed(const uint8_t *msg, std::size_t len) {
    for (int depth = 0; depth <= nesting_limit; ++depth) {
        if (len < client_header_size) return false;
        if (!is_relay(msg[0])) {
            return walk_options(msg + client_header_size, len - client_header_size, [](option_view) {});
        }
        if (len < relay_header_size) return false;
        const uint8_t *inner = nullptr;
        std::size_t inner_len = 0;
        bool walked = walk_options(msg + relay_header_size, len - relay_header_size, [&](option_view o) {
            if (o.code == opt_relay_msg && inner == nullptr) {
                inner = o.data;
                inner_len = o.len;
            }
        });
        if (!walked || inner == nullptr) return false;
        msg = inner;
        len = inner_len;
    }
    return false;
}

lower_kind classify_lower(const uint8_t *msg, std::size_t len) {
    if (!well_formed(msg, len)) return lower_kind::malformed;
    if (is_client_message(msg[0])) return lower_kind::client;
    if (msg[0] == msg_relay_forw) return lower_kind::relay_forward;
    return lower_kind::not_relayed;
}

} // namespace kestivane::dhcp6
