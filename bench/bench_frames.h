// What the load generator and the responder agree on: how a request's xid
// fixes its client hardware address and the address the server offers, the
// DHCP constants both write, and the Internet checksum. The relay's own
// checksum code is deliberately not reused: the generator checks the relay's
// frames with it, and a shared mistake would pass unnoticed.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/wire.h"

namespace kestivane::bench {

using namespace kestivane::wire;

inline constexpr uint16_t port_server = 67;
inline constexpr uint16_t port_client = 68;

inline constexpr uint8_t magic_cookie[4] = {99, 130, 83, 99};
inline constexpr std::size_t msg_cookie = 236;
inline constexpr std::size_t bootp_min_size = 300; // shortest message BOOTP peers accept

inline constexpr uint8_t opt_pad = 0;
inline constexpr uint8_t opt_subnet_mask = 1;
inline constexpr uint8_t opt_router = 3;
inline constexpr uint8_t opt_lease_time = 51;
inline constexpr uint8_t opt_message_type = 53;
inline constexpr uint8_t opt_server_id = 54;
inline constexpr uint8_t opt_parameter_list = 55;
inline constexpr uint8_t opt_max_message_size = 57;
inline constexpr uint8_t opt_client_id = 61;
inline constexpr uint8_t opt_end = 255;

inline constexpr uint8_t dhcp_discover = 1;
inline constexpr uint8_t dhcp_offer = 2;

inline uint32_t load_be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Every request has its own client: a locally administered unicast address
// (first byte 0x02) that carries the xid, so answers can be told apart by
// hardware address as well as by xid.
inline void chaddr_for_xid(uint32_t xid, uint8_t mac[6]) {
    mac[0] = 0x02;
    mac[1] = 0x00;
    store_be32(mac + 2, xid);
}

// The offered address, host byte order: in the block of 32 addresses that
// holds giaddr, as a server offers from the pool of the relay's subnet (a
// relay that routes the answer by yiaddr must find the client's segment).
// The first three and the last two addresses of a block are never offered:
// the benchmark's segments are blocks of 32 or more, and those are their
// network and broadcast addresses, the relay's address (first host), the
// sender's (second) and the router's made-up neighbour (last host but one).
// An answer to the relay's own address would stay on the relay's host.
inline uint32_t yiaddr_for_xid(uint32_t xid, uint32_t giaddr) { return (giaddr & ~31u) | (3 + xid % 27); }

// One's-complement sum of 16-bit big-endian words, not yet folded.
inline uint64_t sum_words(const uint8_t *p, std::size_t len, uint64_t sum = 0) {
    std::size_t i = 0;
    for (; i + 1 < len; i += 2) sum += load_be16(p + i);
    if (i < len) sum += static_cast<uint64_t>(p[i]) << 8;
    return sum;
}

inline uint16_t fold(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// Sum of the UDP pseudo-header of a frame laid out as core/wire.h says.
inline uint64_t udp_pseudo_sum(const uint8_t *frame) {
    return sum_words(frame + ip_src, 8) + ip_proto_udp + load_be16(frame + udp_len);
}

// Fills both checksums of an Ethernet/IPv4/UDP frame whose lengths are set.
inline void fill_checksums(uint8_t *frame) {
    store_be16(frame + ip_sum, 0);
    store_be16(frame + ip_sum, static_cast<uint16_t>(~fold(sum_words(frame + ip_vhl, ip_header_size))));
    store_be16(frame + udp_sum, 0);
    uint16_t udp = static_cast<uint16_t>(
        ~fold(sum_words(frame + udp_sport, load_be16(frame + udp_len), udp_pseudo_sum(frame))));
    // A computed 0 goes on the wire as all ones: 0 means "no checksum".
    store_be16(frame + udp_sum, udp == 0 ? 0xFFFF : udp);
}

// Parses a dotted-quad IPv4 address into host byte order.
inline bool parse_ipv4(std::string_view text, uint32_t &out) {
    std::string s(text);
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
    out = ntohl(a.s_addr);
    return true;
}

inline std::string format_ipv4(uint32_t host_order) {
    in_addr a{htonl(host_order)};
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

} // namespace kestivane::bench
