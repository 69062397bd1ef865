// The DHCPv6 side of what the load generator and the responder agree on:
// the frame layout of a client's Solicit (Ethernet, IPv6, UDP), how a
// request's number fixes its made-up client (hardware and link-local
// address), and the message types both write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bench/bench_frames.h"

namespace kestivane::bench::v6 {

inline constexpr uint16_t ethertype_ipv6 = 0x86DD;
inline constexpr uint16_t port_server = 547;
inline constexpr uint16_t port_client = 546;

// Frame offsets: Ethernet II, the fixed IPv6 header, UDP, the message.
inline constexpr std::size_t ip6_vtc = 14;
inline constexpr std::size_t ip6_plen = 18;
inline constexpr std::size_t ip6_next = 20;
inline constexpr std::size_t ip6_hlim = 21;
inline constexpr std::size_t ip6_src = 22;
inline constexpr std::size_t ip6_dst = 38;
inline constexpr std::size_t udp_sport = 54;
inline constexpr std::size_t udp_dport = 56;
inline constexpr std::size_t udp_len = 58;
inline constexpr std::size_t udp_sum = 60;
inline constexpr std::size_t headers_size = 62;

inline constexpr uint8_t solicit = 1;
inline constexpr uint8_t advertise = 2;
inline constexpr uint8_t relay_forw = 12;
inline constexpr uint8_t relay_repl = 13;
inline constexpr uint16_t opt_client_id = 1;
inline constexpr uint16_t opt_server_id = 2;
inline constexpr uint16_t opt_ia_na = 3;
inline constexpr uint16_t opt_elapsed_time = 8;
inline constexpr uint16_t opt_relay_msg = 9;
inline constexpr uint16_t opt_interface_id = 18;

// Solicit: type, xid, client id (DUID-LL), elapsed time, IA_NA.
inline constexpr std::size_t solicit_size = 4 + (4 + 10) + (4 + 2) + (4 + 12);
inline constexpr std::size_t solicit_frame_size = headers_size + solicit_size;

// The made-up client of request number n among `clients`: hardware address
// 02:00:00:00:hh:ll and the link-local address its EUI-64 gives,
// fe80::ff:fe00:hhll. The relay's namespace holds a neighbour entry for each,
// so that answers need no neighbour discovery.
inline void client_mac(uint32_t n, unsigned clients, uint8_t mac[6]) {
    uint16_t c = static_cast<uint16_t>(n % clients);
    mac[0] = 0x02, mac[1] = 0, mac[2] = 0, mac[3] = 0;
    store_be16(mac + 4, c);
}
inline void client_link_local(uint32_t n, unsigned clients, uint8_t addr[16]) {
    uint8_t mac[6];
    client_mac(n, clients, mac);
    for (int i = 0; i < 16; ++i) addr[i] = 0;
    addr[0] = 0xfe, addr[1] = 0x80;
    addr[8] = mac[0] ^ 0x02, addr[9] = mac[1], addr[10] = mac[2], addr[11] = 0xff, addr[12] = 0xfe;
    addr[13] = mac[3], addr[14] = mac[4], addr[15] = mac[5];
}

// The UDP checksum's pseudo-header sum of a frame laid out as above.
inline uint64_t udp_pseudo_sum(const uint8_t *frame) {
    return sum_words(frame + ip6_src, 32) + ip_proto_udp + load_be16(frame + udp_len);
}

} // namespace kestivane::bench::v6
