// DHCPv6 messages as a relay agent sees them: the option walk, the checks on
// what arrives from below, the Relay-Forward built around it and the
// Relay-Reply unwrapped on the way back. Pure functions over byte ranges: no
// sockets, no allocation, no global state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestivane::dhcp6 {

// Message types.
inline constexpr uint8_t msg_solicit = 1;
inline constexpr uint8_t msg_advertise = 2;
inline constexpr uint8_t msg_request = 3;
inline constexpr uint8_t msg_confirm = 4;
inline constexpr uint8_t msg_renew = 5;
inline constexpr uint8_t msg_rebind = 6;
inline constexpr uint8_t msg_reply = 7;
inline constexpr uint8_t msg_release = 8;
inline constexpr uint8_t msg_decline = 9;
inline constexpr uint8_t msg_reconfigure = 10;
inline constexpr uint8_t msg_information_request = 11;
inline constexpr uint8_t msg_relay_forw = 12;
inline constexpr uint8_t msg_relay_repl = 13;
// Later types that a server sends downward, in answer to a message from
// below: the leasequery answers, the answer to a Reconfigure-Request,
// DHCPv4-over-DHCPv6's response and the answer to an address registration.
inline constexpr uint8_t msg_leasequery_reply = 15;
inline constexpr uint8_t msg_leasequery_done = 16;
inline constexpr uint8_t msg_leasequery_data = 17;
inline constexpr uint8_t msg_reconfigure_reply = 19;
inline constexpr uint8_t msg_dhcpv4_query = 20;
inline constexpr uint8_t msg_dhcpv4_response = 21;
inline constexpr uint8_t msg_addr_reg_reply = 37;

// Options a relay reads or writes.
inline constexpr uint16_t opt_relay_msg = 9;
inline constexpr uint16_t opt_interface_id = 18;
inline constexpr uint16_t opt_client_linklayer_addr = 79;
// The relay source port: the relay sends from a port other than 547, and
// the option's 2 bytes name the port of the relay below it when that one
// did (0 otherwise), for the Relay-Reply to reach it there.
inline constexpr uint16_t opt_relay_source_port = 135;
inline constexpr uint16_t linklayer_type_ethernet = 1;

// Layouts: a client/server message is type and a 3-byte transaction id
// before its options; a relay message is type, hop-count, link-address and
// peer-address.
inline constexpr std::size_t client_header_size = 4;
inline constexpr std::size_t relay_hop_count = 1;
inline constexpr std::size_t relay_link_address = 2;
inline constexpr std::size_t relay_peer_address = 18;
inline constexpr std::size_t relay_header_size = 34;
inline constexpr std::size_t option_header_size = 4;

// A Relay-Forward that has already passed this many relays is not relayed
// again.
inline constexpr uint8_t hop_count_limit = 8;
// The largest payload of one UDP datagram.
inline constexpr std::size_t max_message_size = 65535 - 8;

// What a message from a lower link is, for the relay.
enum class lower_kind {
    client,        // a message for the servers: a client's, or one of a type
                   // this relay does not know, which it passes on as a client's
    relay_forward, // a lower relay's Relay-Forward
    not_relayed,   // well formed, but a server's message for below
    malformed,     // too short, or an option runs past its message
};

// One option found by the walk: its code and its data, inside the message.
struct option_view {
    uint16_t code;
    const uint8_t *data;
    std::size_t len;
};

// Walks the options in [begin, begin + len). Calls visit(option_view) for
// each, in order. False (after the options before it were visited) when an
// option header or its data runs past the end.
template <typename Visit>
bool walk_options(const uint8_t *begin, std::size_t len, Visit &&visit) {
    std::size_t at = 0;
    while (at < len) {
        if (len - at < option_header_size) return false;
        const uint16_t code = static_cast<uint16_t>(begin[at] << 8 | begin[at + 1]);
        const std::size_t data_len = static_cast<std::size_t>(begin[at + 2] << 8 | begin[at + 3]);
        at += option_header_size;
        if (len - at < data_len) return false;
        visit(option_view{code, begin + at, data_len});
        at += data_len;
    }
    return true;
}

// True when the message in [msg, msg + len) is well formed: long enough for
// its header and every option inside it; for a relay message, a Relay
// Message option holding a well-formed message, checked to the innermost.
bool well_formed(const uint8_t *msg, std::size_t len);

// Sorts a message received from a lower link.
lower_kind classify_lower(const uint8_t *msg, std::size_t len);

// The fields of a Relay-Forward to build.
struct forward_fields {
    uint8_t hop_count;
    uint8_t link_address[16];
    uint8_t peer_address[16];
    const uint8_t *interface_id; // nullptr: no Interface-ID option
    std::size_t interface_id_len;
    const uint8_t *mac; // nullptr: no Client Link-Layer Address option
    bool relay_source_port;   // with a Relay Source Port option
    uint16_t downstream_port; // its value
};

// Builds a Relay-Forward holding the message [msg, msg + len) into out
// (room bytes). Returns its length, or 0 when it would not fit in room or
// in one datagram.
std::size_t build_relay_forward(uint8_t *out, std::size_t room, const forward_fields &fields,
                                const uint8_t *msg, std::size_t len);

// A Relay-Reply taken apart. Every pointer points inside the datagram.
struct relay_reply {
    uint8_t hop_count;
    const uint8_t *link_address; // 16 bytes
    const uint8_t *peer_address; // 16 bytes
    const uint8_t *interface_id; // nullptr when absent
    std::size_t interface_id_len;
    const uint8_t *inner; // the Relay Message option's data
    std::size_t inner_len;
    bool inner_is_relay_reply; // for a lower relay (port 547), not a client (546)
    // The Relay Source Port option's port (the lower relay's, as this relay
    // wrote it), 0 when absent, zero or not 2 bytes long.
    uint16_t downstream_port;
};

// True when addr (16 bytes), a Relay-Reply's peer-address, is one its
// message may be sent to: a unicast address, link-local or global. Never a
// multicast group (that would send the server's message to every host of
// the link), the unspecified or loopback address, or an IPv4-mapped one.
bool peer_address_usable(const uint8_t *addr);

// Takes apart a Relay-Reply. False unless it is well formed, of type
// Relay-Reply and carries a Relay Message option holding a message.
bool unwrap_relay_reply(const uint8_t *msg, std::size_t len, relay_reply &out);

} // namespace kestivane::dhcp6
