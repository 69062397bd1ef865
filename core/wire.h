// Byte layouts of the frames and messages the relay reads and builds: named
// offsets and big-endian loads and stores. Packet bytes are never accessed
// through casts to wider types, since frames sit at any alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestivane::wire {

// Frame offsets: Ethernet II, IPv4 without options, UDP, then the message.
inline constexpr std::size_t eth_dst = 0;
inline constexpr std::size_t eth_src = 6;
inline constexpr std::size_t eth_type = 12;
inline constexpr std::size_t ip_vhl = 14;
inline constexpr std::size_t ip_tos = 15;
inline constexpr std::size_t ip_len = 16;
inline constexpr std::size_t ip_id = 18;
inline constexpr std::size_t ip_off = 20;
inline constexpr std::size_t ip_ttl = 22;
inline constexpr std::size_t ip_proto = 23;
inline constexpr std::size_t ip_sum = 24;
inline constexpr std::size_t ip_src = 26;
inline constexpr std::size_t ip_dst = 30;
inline constexpr std::size_t udp_sport = 34;
inline constexpr std::size_t udp_dport = 36;
inline constexpr std::size_t udp_len = 38;
inline constexpr std::size_t udp_sum = 40;
inline constexpr std::size_t headers_size = 42; // where the message starts
inline constexpr std::size_t ip_header_size = 20;
inline constexpr std::size_t udp_header_size = 8;

inline constexpr uint16_t ethertype_ipv4 = 0x0800;
inline constexpr uint8_t ip_proto_udp = 17;

// Message offsets (RFC 2131).
inline constexpr std::size_t msg_op = 0;
inline constexpr std::size_t msg_hops = 3;
inline constexpr std::size_t msg_xid = 4;
inline constexpr std::size_t msg_flags = 10;
inline constexpr std::size_t msg_ciaddr = 12;
inline constexpr std::size_t msg_yiaddr = 16;
inline constexpr std::size_t msg_giaddr = 24;
inline constexpr std::size_t msg_chaddr = 28;
inline constexpr std::size_t msg_fixed_size = 236; // fixed fields before the cookie
inline constexpr std::size_t msg_options = 240;    // after the magic cookie
inline constexpr std::size_t msg_buffer_size = 1472;

inline constexpr uint8_t op_request = 1;
inline constexpr uint8_t op_reply = 2;
inline constexpr uint8_t flag_broadcast = 0x80; // high bit of flags' first byte

// Frame-level sums: the shortest frame the request path accepts and the
// frame offset of the options.
inline constexpr std::size_t min_request_frame = headers_size + msg_fixed_size; // 278
inline constexpr std::size_t frame_options = headers_size + msg_options;        // 282

inline uint16_t load_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline void store_be16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

} // namespace kestivane::wire
