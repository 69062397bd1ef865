// The benchmark's load generator: plays a crowd of DHCP clients on one or
// more segments and measures what comes back.
//
// It writes whole DHCPDISCOVER frames through a packet socket, as clients
// without an address do (Ethernet broadcast, 0.0.0.0 to 255.255.255.255,
// UDP 68 to 67, giaddr 0, both checksums valid), each with its own xid and
// client hardware address, paced to absolute deadlines in batches or as fast
// as it can, and always bounded in count and in time. A second thread reads
// every answer on the segments (promiscuously: the relay sends them to the
// made-up client addresses), matches it to its request by xid, checks its
// addressing, checksums and contents, and takes its latency from the
// kernel's receive timestamp.
//
// With a next hop on an interface (--iface NAME,MAC,SRC,GIADDR and
// --server ADDR) the same DISCOVER goes unicast to the server through a
// router instead, with giaddr preset so that the server's answer is routed
// back to the segment: that measures the path without a relay.
//
// Prints one line of key=value pairs (or JSON with --json) on stdout.
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_frames.h"
#include "bench/bench_frames6.h"

using namespace kestivane::bench;

namespace {

struct fd_closer {
    void operator()(const int *fd) const {
        if (*fd >= 0) close(*fd);
        delete fd;
    }
};
using unique_fd = std::unique_ptr<int, fd_closer>;

unique_fd make_fd(int fd) { return unique_fd(new int(fd)); }

constexpr std::size_t request_message_size = bootp_min_size;
constexpr std::size_t request_frame_size = headers_size + request_message_size;
constexpr uint64_t max_requests = 50'000'000; // bounds the per-request tables
constexpr int max_batch = 256;

struct segment {
    std::string name;
    int ifindex = 0;
    bool unicast = false;     // through a router to --server, not broadcast
    uint8_t next_hop[6]{};    // unicast: the router's hardware address
    uint32_t src_ip = 0;      // unicast: the sender's address
    uint32_t giaddr = 0;      // unicast: where the server sends the answer
    std::array<uint8_t, request_frame_size> frame{}; // the request, less per-request fields
};

struct options {
    std::vector<segment> segments;
    uint32_t server = 0;
    double rate = 1000;       // requests per second; 0: as fast as possible
    uint64_t count = 1000;
    double seconds = 10;      // bound on the sending window
    unsigned drain_ms = 500;  // how long late answers are waited for
    bool broadcast = false;
    int batch = 32;
    uint32_t xid_base = 0;
    bool xid_base_given = false;
    bool json = false;
    bool strict = false;
    bool v6 = false;          // DHCPv6 Solicits to ff02::1:2 instead of DISCOVERs
    unsigned v6_clients = 64; // made-up clients the Solicits cycle through
};

[[noreturn]] void usage(const char *why) {
    if (why) std::fprintf(stderr, "loadgen: %s\n", why);
    std::fprintf(stderr,
                 "usage: loadgen --iface NAME[,NEXTHOP_MAC,SRC_IP,GIADDR]... [--server ADDR]\n"
                 "               [--rate R] [--count N] [--seconds S] [--drain-ms D] [--broadcast]\n"
                 "               [--batch B] [--xid-base X] [--json] [--strict] [--v6 [--v6-clients K]]\n"
                 "  --rate 0 sends as fast as it can; sending stops after N requests or S seconds.\n"
                 "  --strict exits 3 unless every request got exactly one well-formed answer.\n"
                 "  --v6 sends DHCPv6 Solicits from K made-up link-local clients (default 64) and\n"
                 "  expects Advertises; the relay's side must know their neighbour entries.\n");
    std::exit(2);
}

template <typename T> bool parse_number(std::string_view s, T &out) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parse_mac(std::string_view s, uint8_t mac[6]) {
    if (s.size() != 17) return false;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && s[i * 3 - 1] != ':') return false;
        if (auto r = std::from_chars(s.data() + i * 3, s.data() + i * 3 + 2, mac[i], 16);
            r.ec != std::errc() || r.ptr != s.data() + i * 3 + 2)
            return false;
    }
    return true;
}

segment parse_segment(std::string_view text) {
    segment seg;
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (parts.size() != 1 && parts.size() != 4) usage("--iface takes NAME or NAME,NEXTHOP_MAC,SRC_IP,GIADDR");
    seg.name = parts[0];
    if (seg.name.empty() || seg.name.size() >= IFNAMSIZ) usage("bad interface name");
    if (parts.size() == 4) {
        seg.unicast = true;
        if (!parse_mac(parts[1], seg.next_hop)) usage("bad next-hop hardware address");
        if (!parse_ipv4(parts[2], seg.src_ip) || !parse_ipv4(parts[3], seg.giaddr)) usage("bad address");
    }
    return seg;
}

options parse_options(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) usage("missing value");
            return argv[++i];
        };
        if (a == "--iface") {
            o.segments.push_back(parse_segment(value()));
        } else if (a == "--server") {
            if (!parse_ipv4(value(), o.server)) usage("bad --server");
        } else if (a == "--rate") {
            std::string v(value());
            char *end = nullptr;
            o.rate = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(o.rate >= 0) || o.rate > 1e8) usage("bad --rate");
        } else if (a == "--count") {
            if (!parse_number(value(), o.count) || o.count == 0 || o.count > max_requests) usage("bad --count");
        } else if (a == "--seconds") {
            std::string v(value());
            char *end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(o.seconds > 0) || o.seconds > 3600) usage("bad --seconds");
        } else if (a == "--drain-ms") {
            if (!parse_number(value(), o.drain_ms) || o.drain_ms > 60000) usage("bad --drain-ms");
        } else if (a == "--broadcast") {
            o.broadcast = true;
        } else if (a == "--batch") {
            if (!parse_number(value(), o.batch) || o.batch < 1 || o.batch > max_batch) usage("bad --batch");
        } else if (a == "--xid-base") {
            std::string_view v = value();
            int base = 10;
            if (v.starts_with("0x")) v.remove_prefix(2), base = 16;
            auto r = std::from_chars(v.data(), v.data() + v.size(), o.xid_base, base);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size()) usage("bad --xid-base");
            o.xid_base_given = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--strict") {
            o.strict = true;
        } else if (a == "--v6") {
            o.v6 = true;
        } else if (a == "--v6-clients") {
            if (!parse_number(value(), o.v6_clients) || o.v6_clients < 1 || o.v6_clients > 65535)
                usage("bad --v6-clients");
        } else {
            usage("unknown option");
        }
    }
    if (o.segments.empty()) usage("no --iface");
    for (auto &s : o.segments) {
        if (s.unicast && o.server == 0) usage("a next hop needs --server");
        if (s.unicast && o.v6) usage("--v6 goes through a relay only");
    }
    // A DHCPv6 transaction id has 24 bits.
    if (o.v6 && o.count > 0xFFFFFF) usage("--v6 takes at most 16777215 requests");
    return o;
}

int64_t now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until(int64_t mono_ns) {
    timespec ts{static_cast<time_t>(mono_ns / 1'000'000'000), static_cast<long>(mono_ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The request template of a segment: everything but xid, client address,
// IPv4 identification and checksums, which change with each request.
void build_template(segment &seg, const options &o) {
    uint8_t *f = seg.frame.data();
    std::memset(f, 0, request_frame_size);
    if (seg.unicast)
        std::memcpy(f + eth_dst, seg.next_hop, 6);
    else
        std::memset(f + eth_dst, 0xFF, 6);
    store_be16(f + eth_type, ethertype_ipv4);
    f[ip_vhl] = 0x45;
    store_be16(f + ip_len, static_cast<uint16_t>(ip_header_size + udp_header_size + request_message_size));
    f[ip_ttl] = 64;
    f[ip_proto] = ip_proto_udp;
    store_be32(f + ip_src, seg.unicast ? seg.src_ip : 0);
    store_be32(f + ip_dst, seg.unicast ? o.server : 0xFFFFFFFFu);
    store_be16(f + udp_sport, port_client);
    store_be16(f + udp_dport, port_server);
    store_be16(f + udp_len, static_cast<uint16_t>(udp_header_size + request_message_size));
    uint8_t *m = f + headers_size;
    m[msg_op] = op_request;
    m[1] = 1; // Ethernet
    m[2] = 6;
    if (o.broadcast) m[msg_flags] = flag_broadcast;
    store_be32(m + msg_giaddr, seg.unicast ? seg.giaddr : 0);
    std::memcpy(m + msg_cookie, magic_cookie, 4);
    uint8_t *p = m + msg_options;
    *p++ = opt_message_type, *p++ = 1, *p++ = dhcp_discover;
    *p++ = opt_client_id, *p++ = 7, *p++ = 1, p += 6; // hardware address filled per request
    *p++ = opt_max_message_size, *p++ = 2, store_be16(p, 1500), p += 2;
    *p++ = opt_parameter_list, *p++ = 4, *p++ = opt_subnet_mask, *p++ = opt_router, *p++ = 6, *p++ = 15;
    *p++ = opt_end; // then zeros to the BOOTP minimum, as clients pad
}

constexpr std::size_t client_id_offset = msg_options + 3 + 3; // after type, code, length, type byte

void build_request(const segment &seg, uint32_t xid, uint16_t ip_ident, uint8_t *f) {
    std::memcpy(f, seg.frame.data(), request_frame_size);
    uint8_t mac[6];
    chaddr_for_xid(xid, mac);
    std::memcpy(f + eth_src, mac, 6);
    store_be16(f + ip_id, ip_ident);
    uint8_t *m = f + headers_size;
    store_be32(m + msg_xid, xid);
    std::memcpy(m + msg_chaddr, mac, 6);
    std::memcpy(m + client_id_offset, mac, 6);
    fill_checksums(f);
}

// The Solicit template of a segment: all but the client, the xid and the
// checksum.
void build_template6(segment &seg) {
    using namespace v6;
    uint8_t *f = seg.frame.data();
    std::memset(f, 0, solicit_frame_size);
    static constexpr uint8_t group_mac[6] = {0x33, 0x33, 0, 1, 0, 2};
    static constexpr uint8_t group[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};
    std::memcpy(f + eth_dst, group_mac, 6);
    store_be16(f + eth_type, ethertype_ipv6);
    f[ip6_vtc] = 0x60;
    store_be16(f + ip6_plen, static_cast<uint16_t>(udp_header_size + solicit_size));
    f[ip6_next] = ip_proto_udp;
    f[ip6_hlim] = 1;
    std::memcpy(f + ip6_dst, group, 16);
    store_be16(f + v6::udp_sport, v6::port_client);
    store_be16(f + v6::udp_dport, v6::port_server);
    store_be16(f + v6::udp_len, static_cast<uint16_t>(udp_header_size + solicit_size));
    uint8_t *m = f + v6::headers_size;
    m[0] = v6::solicit;
    uint8_t *p = m + 4;
    store_be16(p, v6::opt_client_id), store_be16(p + 2, 10), store_be16(p + 4, 3), store_be16(p + 6, 1), p += 14;
    store_be16(p, v6::opt_elapsed_time), store_be16(p + 2, 2), p += 6;
    store_be16(p, v6::opt_ia_na), store_be16(p + 2, 12), p += 16;
}

constexpr std::size_t v6_duid_mac_offset = v6::headers_size + 4 + 8;

void build_request6(const options &o, const segment &seg, uint32_t n, uint32_t xid, uint8_t *f) {
    using namespace v6;
    std::memcpy(f, seg.frame.data(), solicit_frame_size);
    uint8_t mac[6];
    client_mac(n, o.v6_clients, mac);
    std::memcpy(f + eth_src, mac, 6);
    client_link_local(n, o.v6_clients, f + ip6_src);
    uint8_t *m = f + v6::headers_size;
    m[1] = static_cast<uint8_t>(xid >> 16), m[2] = static_cast<uint8_t>(xid >> 8), m[3] = static_cast<uint8_t>(xid);
    std::memcpy(f + v6_duid_mac_offset, mac, 6);
    store_be16(f + v6::udp_sum, 0);
    uint16_t sum = static_cast<uint16_t>(
        ~fold(sum_words(f + v6::udp_sport, load_be16(f + v6::udp_len), v6::udp_pseudo_sum(f))));
    store_be16(f + v6::udp_sum, sum == 0 ? 0xFFFF : sum);
}

// What an answer can be found wrong with. Kept as names so that a report
// says which rule a relay broke, not only that one was broken.
enum class fault {
    ok,
    short_frame,
    ethertype,
    ip_header,
    ip_length,
    fragment,
    ip_checksum,
    udp_length,
    udp_checksum,
    udp_no_checksum,
    ports,
    not_reply,
    chaddr,
    giaddr,
    yiaddr,
    flags,
    eth_destination,
    ip_destination,
    interface,
    options,
    message_type,
    count_
};

constexpr const char *fault_names[] = {
    "ok",          "short_frame",     "ethertype",      "ip_header", "ip_length", "fragment",
    "ip_checksum", "udp_length",      "udp_checksum",   "udp_no_checksum",      "ports",
    "not_reply",   "chaddr",          "giaddr",         "yiaddr",         "flags",     "eth_destination",
    "ip_destination", "interface",    "options",        "message_type"};
static_assert(std::size(fault_names) == static_cast<std::size_t>(fault::count_));

// Walks the options through END within the message; returns the DHCP
// message type, 0 if there is none, -1 if the walk leaves the message.
int message_type(const uint8_t *m, std::size_t len) {
    int type = 0;
    std::size_t i = msg_options;
    while (i < len) {
        uint8_t code = m[i];
        if (code == opt_end) return type;
        if (code == opt_pad) {
            ++i;
            continue;
        }
        if (i + 1 >= len || i + 2 + m[i + 1] > len) return -1;
        if (code == opt_message_type && m[i + 1] == 1) type = m[i + 2];
        i += 2 + m[i + 1];
    }
    return -1;
}

struct shared_state {
    const options *opt = nullptr;
    std::unique_ptr<std::atomic<int64_t>[]> sent_at; // realtime ns just before the send; 0: not sent
    std::atomic<uint64_t> answered{0};
    std::atomic<bool> stop{false};
};

struct receive_result {
    uint64_t answered = 0, duplicates = 0, foreign = 0, csum_deferred = 0, no_timestamp = 0;
    std::array<uint64_t, static_cast<std::size_t>(fault::count_)> faults{};
    std::vector<int64_t> latencies_ns;
    std::vector<std::string> first_faults; // a few examples, to reproduce with --xid-base
    uint64_t socket_drops = 0;
    std::string error;
};

// Checks an answer to request seq. The UDP checksum of a frame that the
// kernel marked as not yet summed (a local socket's frame on a virtual
// link) holds only the pseudo-header sum: that much is checked.
fault check_answer(const options &o, uint64_t seq, uint32_t xid, const uint8_t *f, std::size_t len,
                   int ifindex, bool csum_deferred) {
    const segment &seg = o.segments[seq % o.segments.size()];
    const uint8_t *m = f + headers_size;
    if (len < headers_size + msg_options) return fault::short_frame;
    if (load_be16(f + eth_type) != ethertype_ipv4) return fault::ethertype;
    if (f[ip_vhl] != 0x45 || f[ip_proto] != ip_proto_udp) return fault::ip_header;
    std::size_t total = load_be16(f + ip_len);
    if (total < ip_header_size + udp_header_size + msg_options || ip_vhl + total > len)
        return fault::ip_length;
    if ((load_be16(f + ip_off) & 0x3FFF) != 0) return fault::fragment;
    if (fold(sum_words(f + ip_vhl, ip_header_size)) != 0xFFFF) return fault::ip_checksum;
    std::size_t udp_length = load_be16(f + udp_len);
    if (udp_length != total - ip_header_size) return fault::udp_length;
    uint16_t sum = load_be16(f + udp_sum);
    if (csum_deferred) {
        uint16_t seed = fold(udp_pseudo_sum(f));
        if (sum != seed && !(sum == 0 && seed == 0xFFFF) && !(sum == 0xFFFF && seed == 0)) return fault::udp_checksum;
    } else if (sum == 0) {
        return fault::udp_no_checksum;
    } else if (fold(sum_words(f + udp_sport, udp_length, udp_pseudo_sum(f))) != 0xFFFF) {
        return fault::udp_checksum;
    }
    if (load_be16(f + udp_sport) != port_server ||
        load_be16(f + udp_dport) != (seg.unicast ? port_server : port_client))
        return fault::ports;
    std::size_t mlen = udp_length - udp_header_size;
    if (m[msg_op] != op_reply || std::memcmp(m + msg_cookie, magic_cookie, 4) != 0) return fault::not_reply;
    uint8_t mac[6];
    chaddr_for_xid(xid, mac);
    if (m[2] != 6 || std::memcmp(m + msg_chaddr, mac, 6) != 0) return fault::chaddr;
    // The relay's address is not known here, only that it is on the
    // segment: an answer that reaches the wrong segment fails below.
    uint32_t giaddr = load_be32(m + msg_giaddr);
    if (giaddr == 0 || (seg.unicast && giaddr != seg.giaddr)) return fault::giaddr;
    uint32_t yiaddr = yiaddr_for_xid(xid, giaddr);
    if (load_be32(m + msg_yiaddr) != yiaddr) return fault::yiaddr;
    bool broadcast = (m[msg_flags] & flag_broadcast) != 0;
    if (broadcast != o.broadcast) return fault::flags;
    if (ifindex != seg.ifindex) return fault::interface;
    if (seg.unicast) {
        if (load_be32(f + ip_dst) != seg.giaddr) return fault::ip_destination;
    } else if (broadcast) {
        static constexpr uint8_t all_ones[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (std::memcmp(f + eth_dst, all_ones, 6) != 0) return fault::eth_destination;
        if (load_be32(f + ip_dst) != 0xFFFFFFFFu) return fault::ip_destination;
    } else {
        if (std::memcmp(f + eth_dst, mac, 6) != 0) return fault::eth_destination;
        if (load_be32(f + ip_dst) != yiaddr) return fault::ip_destination;
    }
    int type = message_type(m, mlen);
    if (type < 0) return fault::options;
    if (type != dhcp_offer) return fault::message_type;
    return fault::ok;
}

// Checks an Advertise for request seq: the relay's frame to the client's
// link-local address and hardware address, from port 547 to 546, on the
// client's own segment, with the Solicit's xid.
fault check_answer6(const options &o, uint64_t seq, uint32_t n, const uint8_t *f, std::size_t len, int ifindex,
                    bool csum_deferred) {
    using namespace v6;
    const segment &seg = o.segments[seq % o.segments.size()];
    if (len < v6::headers_size + 4) return fault::short_frame;
    if (load_be16(f + eth_type) != ethertype_ipv6) return fault::ethertype;
    if ((f[ip6_vtc] >> 4) != 6 || f[ip6_next] != ip_proto_udp) return fault::ip_header;
    std::size_t payload = load_be16(f + ip6_plen);
    if (payload < udp_header_size + 4 || ip6_src + 32 + payload > len) return fault::ip_length;
    if (load_be16(f + v6::udp_len) != payload) return fault::udp_length;
    uint16_t sum = load_be16(f + v6::udp_sum);
    if (sum == 0) return fault::udp_no_checksum;
    if (!csum_deferred && fold(sum_words(f + v6::udp_sport, payload, v6::udp_pseudo_sum(f))) != 0xFFFF)
        return fault::udp_checksum;
    if (load_be16(f + v6::udp_sport) != v6::port_server || load_be16(f + v6::udp_dport) != v6::port_client)
        return fault::ports;
    if (f[v6::headers_size] != advertise) return fault::message_type;
    if (ifindex != seg.ifindex) return fault::interface;
    uint8_t mac[6], addr[16];
    client_mac(n, o.v6_clients, mac);
    client_link_local(n, o.v6_clients, addr);
    if (std::memcmp(f + eth_dst, mac, 6) != 0) return fault::eth_destination;
    if (std::memcmp(f + ip6_dst, addr, 16) != 0) return fault::ip_destination;
    return fault::ok;
}

// Passes UDP over IPv6 (no extension header) from port 547 to 546.
const sock_filter answer_filter6[] = {
    {BPF_LD | BPF_H | BPF_ABS, 0, 0, eth_type},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 7, v6::ethertype_ipv6},
    {BPF_LD | BPF_B | BPF_ABS, 0, 0, v6::ip6_next},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 5, ip_proto_udp},
    {BPF_LD | BPF_H | BPF_ABS, 0, 0, v6::udp_sport},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, v6::port_server},
    {BPF_LD | BPF_H | BPF_ABS, 0, 0, v6::udp_dport},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, v6::port_client},
    {BPF_RET | BPF_K, 0, 0, 0x40000},
    {BPF_RET | BPF_K, 0, 0, 0},
};

// Passes IPv4 UDP frames from port 67 that are not fragments: answers, and
// nothing of the generator's own requests.
const sock_filter answer_filter[] = {
    {BPF_LD | BPF_H | BPF_ABS, 0, 0, eth_type},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 8, ethertype_ipv4},
    {BPF_LD | BPF_B | BPF_ABS, 0, 0, ip_proto},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 6, ip_proto_udp},
    {BPF_LD | BPF_H | BPF_ABS, 0, 0, ip_off},
    {BPF_JMP | BPF_JSET | BPF_K, 4, 0, 0x1FFF},
    {BPF_LDX | BPF_B | BPF_MSH, 0, 0, ip_vhl},
    {BPF_LD | BPF_H | BPF_IND, 0, 0, ip_vhl},
    {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, port_server},
    {BPF_RET | BPF_K, 0, 0, 0x40000},
    {BPF_RET | BPF_K, 0, 0, 0},
};

// The filter is in place before the socket is bound, so no frame of other
// traffic is ever queued on it.
unique_fd open_receiver(const options &o, std::string &error) {
    unique_fd fd = make_fd(socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, 0));
    if (*fd < 0) {
        error = std::string("packet socket: ") + std::strerror(errno);
        return fd;
    }
    sock_fprog prog{static_cast<unsigned short>(std::size(answer_filter)), const_cast<sock_filter *>(answer_filter)};
    if (o.v6) prog = {static_cast<unsigned short>(std::size(answer_filter6)), const_cast<sock_filter *>(answer_filter6)};
    if (setsockopt(*fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
        error = std::string("attach filter: ") + std::strerror(errno);
        return make_fd(-1);
    }
    int one = 1;
    if (setsockopt(*fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0 ||
        setsockopt(*fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one) != 0) {
        error = std::string("receive timestamps: ") + std::strerror(errno);
        return make_fd(-1);
    }
    int big = 32 << 20;
    if (setsockopt(*fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(*fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(o.v6 ? ETH_P_IPV6 : ETH_P_IP);
    if (bind(*fd, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) {
        error = std::string("bind packet socket: ") + std::strerror(errno);
        return make_fd(-1);
    }
    // Answers go to client hardware addresses that no interface has.
    for (const auto &seg : o.segments) {
        packet_mreq mr{};
        mr.mr_ifindex = seg.ifindex;
        mr.mr_type = PACKET_MR_PROMISC;
        if (setsockopt(*fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
            error = "promiscuous mode on " + seg.name + ": " + std::strerror(errno);
            return make_fd(-1);
        }
    }
    return fd;
}

void receive_answers(int fd, shared_state &st, receive_result &r) {
    const options &o = *st.opt;
    constexpr int batch = 64;
    constexpr std::size_t frame_room = 2048, control_room = 256;
    std::vector<uint8_t> frames(batch * frame_room), controls(batch * control_room);
    std::array<iovec, batch> iov{};
    std::array<mmsghdr, batch> msgs{};
    std::array<sockaddr_ll, batch> from{};
    std::vector<uint8_t> seen(o.count, 0);
    r.latencies_ns.reserve(o.count);
    uint32_t base = o.xid_base;

    while (!st.stop.load(std::memory_order_acquire)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        for (int i = 0; i < batch; ++i) {
            iov[i] = {frames.data() + i * frame_room, frame_room};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = controls.data() + i * control_room;
            msgs[i].msg_hdr.msg_controllen = control_room;
        }
        int n = recvmmsg(fd, msgs.data(), batch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            r.error = std::string("recvmmsg: ") + std::strerror(errno);
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (from[i].sll_pkttype == PACKET_OUTGOING) continue;
            const uint8_t *f = frames.data() + i * frame_room;
            std::size_t len = msgs[i].msg_len;
            int64_t rx_ns = 0;
            bool deferred = false;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    rx_ns = static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
                } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                    tpacket_auxdata aux;
                    std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                    deferred = (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
                }
            }
            if (rx_ns == 0) {
                ++r.no_timestamp;
                rx_ns = now_ns(CLOCK_REALTIME);
            }
            // Ours only if the xid is one we sent; anything else on port 67
            // is someone else's traffic.
            if (len < (o.v6 ? v6::headers_size + 4 : headers_size + msg_options)) {
                ++r.foreign;
                continue;
            }
            uint32_t xid = o.v6 ? (load_be32(f + v6::headers_size) & 0xFFFFFF) : load_be32(f + headers_size + msg_xid);
            uint64_t seq = o.v6 ? ((xid - base) & 0xFFFFFF) : static_cast<uint32_t>(xid - base);
            if (seq >= o.count) {
                ++r.foreign;
                continue;
            }
            int64_t sent = st.sent_at[seq].load(std::memory_order_acquire);
            if (sent == 0) {
                ++r.foreign;
                continue;
            }
            fault why = o.v6 ? check_answer6(o, seq, static_cast<uint32_t>(seq), f, len, from[i].sll_ifindex, deferred)
                             : check_answer(o, seq, xid, f, len, from[i].sll_ifindex, deferred);
            if (why != fault::ok) {
                ++r.faults[static_cast<std::size_t>(why)];
                if (r.first_faults.size() < 5) {
                    char text[96];
                    std::snprintf(text, sizeof text, "xid=0x%08x request=%llu %s", xid,
                                  static_cast<unsigned long long>(seq), fault_names[static_cast<std::size_t>(why)]);
                    r.first_faults.emplace_back(text);
                }
                continue;
            }
            if (seen[seq]) {
                ++r.duplicates;
                continue;
            }
            seen[seq] = 1;
            if (deferred) ++r.csum_deferred;
            ++r.answered;
            r.latencies_ns.push_back(rx_ns - sent);
            st.answered.fetch_add(1, std::memory_order_release);
        }
    }
    tpacket_stats stats{};
    socklen_t slen = sizeof stats;
    if (getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &slen) == 0) r.socket_drops = stats.tp_drops;
}

struct send_result {
    uint64_t sent = 0, send_errors = 0;
    int64_t first_ns = 0, last_ns = 0; // monotonic, around the sends
    int64_t max_behind_ns = 0;
    std::string error;
};

// Sends request seq at start + seq / rate (absolute deadlines, so a late
// wake-up is caught up by a bigger batch rather than lowering the rate),
// stopping at the count or at the end of the window, whichever comes first.
void send_requests(int fd, shared_state &st, send_result &r) {
    const options &o = *st.opt;
    std::vector<sockaddr_ll> to(o.segments.size());
    for (std::size_t s = 0; s < o.segments.size(); ++s) {
        to[s] = {};
        to[s].sll_family = AF_PACKET;
        to[s].sll_protocol = htons(o.v6 ? ETH_P_IPV6 : ETH_P_IP);
        to[s].sll_ifindex = o.segments[s].ifindex;
        to[s].sll_halen = 6;
        std::memcpy(to[s].sll_addr, o.segments[s].frame.data() + eth_dst, 6);
    }
    std::vector<uint8_t> frames(static_cast<std::size_t>(o.batch) * request_frame_size);
    std::vector<iovec> iov(o.batch);
    std::vector<mmsghdr> msgs(o.batch);

    const double interval_ns = o.rate > 0 ? 1e9 / o.rate : 0;
    const int64_t start = now_ns(CLOCK_MONOTONIC) + 20'000'000; // let the receiver settle
    const int64_t end = start + static_cast<int64_t>(o.seconds * 1e9);
    r.first_ns = start;
    uint64_t seq = 0;
    sleep_until(start);
    while (seq < o.count) {
        int64_t now = now_ns(CLOCK_MONOTONIC);
        if (now >= end) break;
        uint64_t due = o.count;
        if (interval_ns > 0) {
            due = std::min<uint64_t>(o.count, static_cast<uint64_t>((now - start) / interval_ns) + 1);
            if (due <= seq) {
                sleep_until(start + static_cast<int64_t>(std::ceil(seq * interval_ns)));
                continue;
            }
            r.max_behind_ns = std::max(r.max_behind_ns, now - (start + static_cast<int64_t>(seq * interval_ns)));
        }
        int n = static_cast<int>(std::min<uint64_t>(due - seq, o.batch));
        for (int i = 0; i < n; ++i) {
            uint64_t q = seq + i;
            std::size_t s = q % o.segments.size();
            uint8_t *f = frames.data() + i * request_frame_size;
            if (o.v6) {
                build_request6(o, o.segments[s], static_cast<uint32_t>(q), (o.xid_base + static_cast<uint32_t>(q)) & 0xFFFFFF, f);
                iov[i] = {f, v6::solicit_frame_size};
            } else {
                build_request(o.segments[s], o.xid_base + static_cast<uint32_t>(q), static_cast<uint16_t>(q), f);
                iov[i] = {f, request_frame_size};
            }
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &to[s];
            msgs[i].msg_hdr.msg_namelen = sizeof to[s];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int64_t stamp = now_ns(CLOCK_REALTIME);
        for (int i = 0; i < n; ++i) st.sent_at[seq + i].store(stamp, std::memory_order_release);
        int done = 0, stalls = 0;
        while (done < n) {
            int k = sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(n - done), 0);
            if (k > 0) {
                done += k;
                continue;
            }
            if (k < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR) && ++stalls < 1000 &&
                now_ns(CLOCK_MONOTONIC) < end) {
                pollfd w{fd, POLLOUT, 0};
                poll(&w, 1, 1);
                continue;
            }
            if (k < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
                r.error = std::string("sendmmsg: ") + std::strerror(errno);
            }
            break;
        }
        // Requests that never left are forgotten, so their answers (there
        // can be none) are not waited for and they do not count as lost.
        for (int i = done; i < n; ++i) st.sent_at[seq + i].store(0, std::memory_order_release);
        r.send_errors += static_cast<uint64_t>(n - done);
        r.sent += static_cast<uint64_t>(done);
        seq += static_cast<uint64_t>(n);
        r.last_ns = now_ns(CLOCK_MONOTONIC);
        if (!r.error.empty()) break;
    }
}

double percentile_us(std::vector<int64_t> &v, double p) {
    if (v.empty()) return 0;
    std::size_t k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) ;
    k = std::clamp<std::size_t>(k, 1, v.size()) - 1;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

struct report {
    std::vector<std::pair<std::string, std::string>> fields;
    void add(const std::string &k, const std::string &v) { fields.emplace_back(k, v); }
    void add(const std::string &k, uint64_t v) { add(k, std::to_string(v)); }
    void add(const std::string &k, double v, int decimals) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
        add(k, std::string(buf));
    }
    void print(bool json) const {
        if (json) {
            std::printf("{");
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const auto &[k, v] = fields[i];
                bool number = !v.empty() && v.find_first_not_of("0123456789.-") == std::string::npos;
                std::printf("%s\"%s\":%s%s%s", i ? "," : "", k.c_str(), number ? "" : "\"", v.c_str(),
                            number ? "" : "\"");
            }
            std::printf("}\n");
        } else {
            for (std::size_t i = 0; i < fields.size(); ++i)
                std::printf("%s%s=%s", i ? " " : "", fields[i].first.c_str(), fields[i].second.c_str());
            std::printf("\n");
        }
    }
};

} // namespace

int main(int argc, char **argv) {
    options o = parse_options(argc, argv);
    if (!o.xid_base_given) o.xid_base = std::random_device{}();
    for (auto &seg : o.segments) {
        seg.ifindex = static_cast<int>(if_nametoindex(seg.name.c_str()));
        if (seg.ifindex == 0) {
            std::fprintf(stderr, "loadgen: interface %s: %s\n", seg.name.c_str(), std::strerror(errno));
            return 1;
        }
        if (o.v6)
            build_template6(seg);
        else
            build_template(seg, o);
    }
    if (o.v6) o.xid_base &= 0xFFFFFF;

    shared_state st;
    st.opt = &o;
    st.sent_at = std::make_unique<std::atomic<int64_t>[]>(o.count);
    for (uint64_t i = 0; i < o.count; ++i) st.sent_at[i].store(0, std::memory_order_relaxed);

    std::string error;
    unique_fd rx = open_receiver(o, error);
    if (*rx < 0) {
        std::fprintf(stderr, "loadgen: %s\n", error.c_str());
        return 1;
    }
    // Protocol 0: this socket only sends, it never queues a received frame.
    unique_fd tx = make_fd(socket(AF_PACKET, SOCK_RAW, 0));
    if (*tx < 0) {
        std::fprintf(stderr, "loadgen: packet socket: %s\n", std::strerror(errno));
        return 1;
    }
    int big = 4 << 20;
    if (setsockopt(*tx, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0)
        setsockopt(*tx, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

    receive_result rr;
    send_result sr;
    std::thread receiver([&] { receive_answers(*rx, st, rr); });
    send_requests(*tx, st, sr);

    // Late answers are waited for, but never longer than the drain time.
    const int64_t drain_end = now_ns(CLOCK_MONOTONIC) + static_cast<int64_t>(o.drain_ms) * 1'000'000;
    while (now_ns(CLOCK_MONOTONIC) < drain_end && st.answered.load(std::memory_order_acquire) < sr.sent)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    st.stop.store(true, std::memory_order_release);
    receiver.join();

    if (!sr.error.empty()) std::fprintf(stderr, "loadgen: %s\n", sr.error.c_str());
    if (!rr.error.empty()) std::fprintf(stderr, "loadgen: %s\n", rr.error.c_str());
    for (const auto &f : rr.first_faults) std::fprintf(stderr, "loadgen: malformed answer: %s\n", f.c_str());

    uint64_t bad = 0;
    std::string reasons;
    for (std::size_t i = 1; i < rr.faults.size(); ++i) {
        if (rr.faults[i] == 0) continue;
        bad += rr.faults[i];
        // Appended piece by piece: GCC 12 sees a false overlap (-Wrestrict)
        // in libstdc++ when a literal is prepended to a temporary string.
        if (!reasons.empty()) reasons += ',';
        reasons += fault_names[i];
        reasons += ':';
        reasons += std::to_string(rr.faults[i]);
    }
    double window_s = std::max(1e-9, static_cast<double>(sr.last_ns - sr.first_ns) / 1e9);
    if (o.rate > 0 && sr.sent > 0) window_s = std::max(window_s, static_cast<double>(sr.sent) / o.rate);
    uint64_t lost = sr.sent - std::min(sr.sent, rr.answered);

    report out;
    bool unicast = o.segments.front().unicast;
    out.add("mode", std::string(o.v6 ? "relay6" : unicast ? "unicast" : o.broadcast ? "broadcast" : "relay"));
    out.add("segments", static_cast<uint64_t>(o.segments.size()));
    out.add("offered_rate", o.rate, 0);
    out.add("sent", sr.sent);
    out.add("answered", rr.answered);
    out.add("lost", lost);
    out.add("loss_pct", sr.sent ? 100.0 * static_cast<double>(lost) / static_cast<double>(sr.sent) : 0.0, 3);
    out.add("dup", rr.duplicates);
    out.add("bad", bad);
    out.add("bad_reasons", reasons.empty() ? std::string("none") : reasons);
    out.add("foreign", rr.foreign);
    out.add("csum_deferred", rr.csum_deferred);
    out.add("send_errors", sr.send_errors);
    out.add("rx_drops", rr.socket_drops);
    out.add("no_timestamp", rr.no_timestamp);
    out.add("send_seconds", window_s, 3);
    out.add("send_rate", static_cast<double>(sr.sent) / window_s, 0);
    out.add("answered_rate", static_cast<double>(rr.answered) / window_s, 0);
    out.add("max_behind_us", static_cast<double>(sr.max_behind_ns) / 1000.0, 0);
    out.add("p50_us", percentile_us(rr.latencies_ns, 0.50), 1);
    out.add("p90_us", percentile_us(rr.latencies_ns, 0.90), 1);
    out.add("p99_us", percentile_us(rr.latencies_ns, 0.99), 1);
    out.add("max_us", percentile_us(rr.latencies_ns, 1.0), 1);
    out.print(o.json);
    std::fflush(stdout);

    if (!sr.error.empty() || !rr.error.empty()) return 1;
    if (o.strict && (rr.answered != sr.sent || sr.sent != o.count || bad != 0 || rr.duplicates != 0)) return 3;
    return 0;
}
