// The Relay-Forward a relay sends upward: its header, the Relay Message
// option holding what came from below, and the options that tell the
// server where it came from.
#include <cstring>

#include "dhcp6/message6.h"

namespace kestivane::dhcp6 {

namespace {

constexpr std::size_t mac_size = 6;

uint8_t *put_option_header(uint8_t *at, uint16_t code, std::size_t len) {
    at[0] = static_cast<uint8_t>(code >> 8);
    at[1] = static_cast<uint8_t>(code);
    at[2] = static_cast<uint8_t>(len >> 8);
    at[3] = static_cast<uint8_t>(len);
    return at + option_header_size;
}

} // namespace

std::size_t build_relay_forward(uint8_t *out, std::size_t room, const forward_fields &fields,
                                const uint8_t *msg, std::size_t len) {
    // Every option's length must fit in its 16-bit field, and the whole in
    // one datagram and in room.
    const std::size_t field_limit = 0xFFFF;
    if (len > field_limit || (fields.interface_id != nullptr && fields.interface_id_len > field_limit)) return 0;
    std::size_t total = relay_header_size + option_header_size + len;
    if (fields.interface_id != nullptr) total += option_header_size + fields.interface_id_len;
    if (fields.mac != nullptr) total += option_header_size + 2 + mac_size;
    if (fields.relay_source_port) total += option_header_size + 2;
    if (total > room || total > max_message_size) return 0;

    out[0] = msg_relay_forw;
    out[relay_hop_count] = fields.hop_count;
    std::memcpy(out + relay_link_address, fields.link_address, 16);
    std::memcpy(out + relay_peer_address, fields.peer_address, 16);
    uint8_t *at = out + relay_header_size;
    // The Relay Message first: servers and lower relays find it at once.
    at = put_option_header(at, opt_relay_msg, len);
    std::memcpy(at, msg, len);
    at += len;
    if (fields.interface_id != nullptr) {
        at = put_option_header(at, opt_interface_id, fields.interface_id_len);
        std::memcpy(at, fields.interface_id, fields.interface_id_len);
        at += fields.interface_id_len;
    }
    if (fields.mac != nullptr) {
        at = put_option_header(at, opt_client_linklayer_addr, 2 + mac_size);
        at[0] = static_cast<uint8_t>(linklayer_type_ethernet >> 8);
        at[1] = static_cast<uint8_t>(linklayer_type_ethernet);
        std::memcpy(at + 2, fields.mac, mac_size);
        at += 2 + mac_size;
    }
    if (fields.relay_source_port) {
        at = put_option_header(at, opt_relay_source_port, 2);
        at[0] = static_cast<uint8_t>(fields.downstream_port >> 8);
        at[1] = static_cast<uint8_t>(fields.downstream_port);
        at += 2;
    }
    return static_cast<std::size_t>(at - out);
}

} // namespace kestivane::dhcp6
