// The checks on DHCPv6 messages: every length inside its message, relay
// messages down to the message they carry.
#include "dhcp6/message6.h"

namespace kestivane::dhcp6 {

namespace {

bool is_relay(uint8_t type) { return type == msg_relay_forw || type == msg_relay_repl; }

// The messages a server sends down to what asked it. Every other type goes
// up: a relay passes a type it does not know as it would a client's, so
// that new message types (DHCPv4-over-DHCPv6's query, leasequery, ...)
// reach their servers through relays that predate them.
bool is_for_below(uint8_t type) {
    switch (type) {
    case msg_advertise:
    case msg_reply:
    case msg_reconfigure:
    case msg_relay_repl:
    case msg_leasequery_reply:
    case msg_leasequery_done:
    case msg_leasequery_data:
    case msg_reconfigure_reply:
    case msg_dhcpv4_response:
    case msg_addr_reg_reply:
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
    if (msg[0] == msg_relay_forw) return lower_kind::relay_forward;
    if (is_for_below(msg[0])) return lower_kind::not_relayed;
    return lower_kind::client;
}

} // namespace kestivane::dhcp6
