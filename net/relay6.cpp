// The DHCPv6 relay path, one thread each way: the upward thread checks a
// message from a lower link, wraps it in a Relay-Forward and sends it to
// every server of that interface; the downward thread unwraps a Relay-Reply
// from above and sends its message to the peer on the interface it names.
// Each thread reads and sends a batch per system call, and every buffer
// lives in the thread's state: nothing is allocated per message.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/settings.h"
#include "dhcp6/message6.h"
#include "metrics/counters6.h"
#include "net/interface_guard.h"
#include "net/relay6.h"

namespace kestivane::relay6 {

namespace {

using metrics::answer6_drop;
using metrics::request6_drop;

// Fixed IPv6 header and UDP header offsets, as the packet socket delivers
// the datagram (from the IPv6 header on).
constexpr std::size_t ip6_payload_len = 4;
constexpr std::size_t ip6_next_header = 6;
constexpr std::size_t ip6_src = 8;
constexpr std::size_t ip6_dst = 24;
constexpr std::size_t ip6_header_size = 40;
constexpr std::size_t udp_sport = 0;
constexpr std::size_t udp_dport = 2;
constexpr std::size_t udp_len = 4;
constexpr std::size_t udp_checksum = 6;
constexpr std::size_t udp_header_size = 8;
constexpr uint8_t next_header_udp = 17;
// A fragment header right after the fixed header: the next header of the
// fragment, then the fragment offset (in its upper 13 bits) and flags.
constexpr uint8_t next_header_fragment = 44;
constexpr std::size_t fragment_next_header = 0;
constexpr std::size_t fragment_offset = 2;
constexpr std::size_t fragment_header_size = 8;
constexpr uint16_t fragment_offset_mask = 0xFFF8;

// Datagrams taken from a socket in one read. The upward thread reads each
// ready lower link once per wake, so a flood on one link cannot starve the
// others.
constexpr unsigned batch_size = 32;
// Room for the largest datagram a socket can deliver: nothing is cut short.
constexpr std::size_t in_room = ip6_header_size + 65536;
constexpr std::size_t out_room = 65536;

const uint8_t all_relay_agents_and_servers[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};

// Moves with every change to the tables, under the record lock held
// exclusively.
std::atomic<uint64_t> tables_version{1};
// Wakes the upward thread from its wait on the lower interfaces; -1 until
// it runs.
std::atomic<int> upward_wake{-1};
// Descriptors of retired lower interfaces, for the upward thread to close
// once it no longer waits on them.
std::mutex closing_lock;
std::vector<descriptor> closing_later;
// Moves each time a reload replaces the server socket (relay_port).
std::atomic<uint64_t> upper_replacements{0};

struct alignas(struct cmsghdr) pktinfo_control {
    char bytes[CMSG_SPACE(sizeof(struct in6_pktinfo))];
};
struct alignas(struct cmsghdr) auxdata_control {
    char bytes[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
};

// The upward thread's batch: the datagrams of one read, the Relay-Forwards
// made of them, and one send for each forward and server. Only the bytes a
// datagram fills are ever touched, so the room costs address space, not
// memory.
struct upward_state {
    uint8_t in[batch_size][in_room];
    uint8_t out[batch_size][out_room];
    struct mmsghdr reads[batch_size];
    struct iovec read_parts[batch_size];
    struct sockaddr_ll from[batch_size];
    auxdata_control aux[batch_size];
    // Sized for the interface with the most servers, again whenever the
    // tables change.
    uint64_t sized_for = 0; // the tables_version they were sized at
    std::vector<struct mmsghdr> sends;
    std::vector<struct iovec> send_parts;
    std::vector<std::size_t> send_server;
    std::size_t pending = 0;
    // Per server: the control data that names its upper interface.
    std::vector<pktinfo_control> server_control;
    // The wake-up, then each relaying lower interface's capture.
    uint64_t watched_for = 0;
    std::vector<struct pollfd> watched;
    std::vector<std::size_t> watched_lower; // lower interface of watched[k + 1]
};

// The downward thread's batch: the Relay-Replies of one read and the
// messages they carry, each to its peer.
struct downward_state {
    uint8_t in[batch_size][in_room];
    struct mmsghdr reads[batch_size];
    struct iovec read_parts[batch_size];
    struct sockaddr_in6 from[batch_size];
    pktinfo_control arrival[batch_size]; // the interface each came in through
    struct mmsghdr sends[batch_size];
    struct iovec send_parts[batch_size];
    struct sockaddr_in6 to[batch_size];
    pktinfo_control send_control[batch_size]; // names the lower link of each send
    std::size_t send_lower[batch_size];
    std::size_t pending = 0;
};

uint16_t load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The UDP checksum over the IPv6 pseudo-header and the datagram; 0 when
// the datagram is intact.
uint16_t udp6_sum(const uint8_t *ip, const uint8_t *udp, std::size_t len) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i < 32; i += 2) sum += load16(ip + ip6_src + i);
    sum += static_cast<uint32_t>(len >> 16) + static_cast<uint32_t>(len & 0xFFFF) + next_header_udp;
    for (std::size_t i = 0; i + 1 < len; i += 2) sum += load16(udp + i);
    if (len % 2 != 0) sum += static_cast<uint32_t>(udp[len - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// Control data that names the interface a send goes out of.
void name_out_link(pktinfo_control &control, unsigned index) {
    struct cmsghdr c{};
    c.cmsg_level = IPPROTO_IPV6;
    c.cmsg_type = IPV6_PKTINFO;
    c.cmsg_len = CMSG_LEN(sizeof(struct in6_pktinfo));
    struct in6_pktinfo info{};
    info.ipi6_ifindex = index;
    std::memcpy(control.bytes, &c, sizeof c);
    std::memcpy(control.bytes + CMSG_LEN(0), &info, sizeof info);
}

bool is_own(const lower6 &l, const uint8_t *dst) {
    if (std::memcmp(dst, all_relay_agents_and_servers, 16) == 0) return true;
    for (const auto &a : l.own) {
        if (std::memcmp(&a, dst, 16) == 0) return true;
    }
    return false;
}

// True when the datagram of len bytes from ip on is the first fragment of a
// UDP datagram to the server port, its fragment header right after the
// fixed header (as the capture filter admits them).
bool is_first_fragment_to_us(const uint8_t *ip, std::size_t len) {
    const uint8_t *fragment = ip + ip6_header_size;
    const uint8_t *udp = fragment + fragment_header_size;
    return len >= ip6_header_size + fragment_header_size + udp_header_size &&
           ip[ip6_next_header] == next_header_fragment && fragment[fragment_next_header] == next_header_udp &&
           (load16(fragment + fragment_offset) & fragment_offset_mask) == 0 && load16(udp + udp_dport) == server_port;
}

void drop_request(std::size_t idx, request6_drop reason, const char *format) {
    metrics::count_request6_drop(idx, reason);
    logd(kestivane::log_error, format, lowers()[idx].name);
}

// Adds the sends of one Relay-Forward (out[slot], len bytes) to every server
// of lower interface idx.
void queue_forward(upward_state &t, std::size_t idx, std::size_t slot, std::size_t len) {
    for (std::size_t s : lowers()[idx].servers) {
        const server6 &server = servers()[s];
        std::size_t k = t.pending++;
        t.send_parts[k] = {t.out[slot], len};
        struct msghdr &m = t.sends[k].msg_hdr;
        m = {};
        m.msg_name = const_cast<struct sockaddr_in6 *>(&server.addr);
        m.msg_namelen = sizeof server.addr;
        m.msg_iov = &t.send_parts[k];
        m.msg_iovlen = 1;
        if (server.upper_index != 0) {
            // The named upper interface carries it, whatever the address.
            m.msg_control = t.server_control[s].bytes;
            m.msg_controllen = sizeof t.server_control[s].bytes;
        }
        t.send_server[k] = s;
    }
}

// Sends the queued Relay-Forwards of lower interface idx, all in as few
// calls as the socket allows; a send that fails is counted and skipped.
void flush_forwards(upward_state &t, std::size_t idx) {
    auto &counters = metrics::of_interface6(idx).requests;
    std::size_t i = 0;
    while (i < t.pending) {
        int sent = sendmmsg(upper_socket(), &t.sends[i], static_cast<unsigned>(t.pending - i), 0);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            const std::size_t s = t.send_server[i];
            counters.forward_errors[s].add();
            logd(kestivane::log_error, "sendto DHCPv6 server %s from %s: %s", servers()[s].text, lowers()[idx].name,
                 sent < 0 ? std::strerror(errno) : "nothing sent");
            ++i;
            continue;
        }
        for (std::size_t k = i; k < i + static_cast<std::size_t>(sent); ++k) counters.forwarded[t.send_server[k]].add();
        counters.messages_sent[static_cast<std::size_t>(metrics::message6::relay_forward)].add(
            static_cast<uint64_t>(sent));
        i += static_cast<std::size_t>(sent);
    }
    t.pending = 0;
}

// One datagram captured on lower interface idx: len bytes from the IPv6
// header on, in in[slot].
// checksum_done: the kernel or the card has checked the UDP checksum, or
// the datagram came from this host and its checksum is not filled in yet.
void handle_lower(upward_state &t, std::size_t idx, std::size_t slot, std::size_t len, const struct sockaddr_ll &from,
                  bool checksum_done) {
    lower6 &l = lowers()[idx];
    // Only what was sent to this host: not the relay's own output, not
    // frames for other hosts that pass on a shared segment.
    if (from.sll_pkttype != PACKET_HOST && from.sll_pkttype != PACKET_MULTICAST) return;
    const uint8_t *ip = t.in[slot];
    if (len < ip6_header_size + udp_header_size || (ip[0] >> 4) != 6) return;
    const bool fragmented = is_first_fragment_to_us(ip, len);
    if (!fragmented && ip[ip6_next_header] != next_header_udp) return;
    if (!is_own(l, ip + ip6_dst)) return;
    auto &counters = metrics::of_interface6(idx).requests;
    counters.received.add();
    if (fragmented) {
        // The kernel reassembles it for the lower UDP socket, which takes
        // nothing, and the capture has no hardware address for the rest of
        // it: the relay does not reassemble, but says so once per datagram.
        drop_request(idx, request6_drop::fragmented,
                     "Fragmented DHCPv6 datagram on interface %s -- dropped, not reassembled");
        return;
    }

    const std::size_t payload = load16(ip + ip6_payload_len);
    const uint8_t *udp = ip + ip6_header_size;
    // The frame may carry padding after the datagram, never less than it.
    if (payload > len - ip6_header_size || payload < udp_header_size || load16(udp + udp_len) != payload ||
        load16(udp + udp_dport) != server_port ||
        (!checksum_done && (load16(udp + udp_checksum) == 0 || udp6_sum(ip, udp, payload) != 0))) {
        drop_request(idx, request6_drop::malformed, "Broken UDP datagram on interface %s -- DHCPv6 message dropped");
        return;
    }
    const uint8_t *msg = udp + udp_header_size;
    const std::size_t msg_len = payload - udp_header_size;
    counters.messages_received[static_cast<std::size_t>(metrics::message6_of(msg_len > 0 ? msg[0] : 0))].add();

    dhcp6::forward_fields fields{};
    std::memcpy(fields.peer_address, ip + ip6_src, 16);
    const bool link_local_source = (ip[ip6_src] == 0xfe && (ip[ip6_src + 1] & 0xc0) == 0x80);
    switch (dhcp6::classify_lower(msg, msg_len)) {
    case dhcp6::lower_kind::malformed:
        drop_request(idx, request6_drop::malformed, "Malformed DHCPv6 message on interface %s -- dropped");
        return;
    case dhcp6::lower_kind::not_relayed:
        drop_request(idx, request6_drop::not_relayed, "DHCPv6 message of a server on interface %s -- dropped");
        return;
    case dhcp6::lower_kind::relay_forward:
        if (msg[dhcp6::relay_hop_count] >= dhcp6::hop_count_limit) {
            drop_request(idx, request6_drop::hop_limit, "DHCPv6 hop count limit reached on interface %s -- dropped");
            return;
        }
        fields.hop_count = static_cast<uint8_t>(msg[dhcp6::relay_hop_count] + 1);
        // A lower relay that sends from another port than 547 takes its
        // Relay-Reply there: the option names its port, and the server
        // hands the option back with the reply.
        if (load16(udp + udp_sport) != server_port) {
            fields.relay_source_port = true;
            fields.downstream_port = load16(udp + udp_sport);
        }
        // A lower relay with a global address can be reached by it; the
        // link-address then says nothing, and the Interface-ID names the way.
        if (link_local_source) std::memcpy(fields.link_address, &l.link_address, 16);
        break;
    case dhcp6::lower_kind::client:
        fields.hop_count = 0;
        std::memcpy(fields.link_address, &l.link_address, 16);
        // Only the relay that hears the client itself knows its hardware
        // address.
        if (std::atomic_ref<bool>(settings.link_layer_address).load(std::memory_order_relaxed) &&
            from.sll_halen == 6)
            fields.mac = from.sll_addr;
        break;
    }
    // Sending from another port than 547 is said in every Relay-Forward,
    // for the server to answer to that port.
    if (upper_port() != server_port) fields.relay_source_port = true;
    // Without a link-address the reply can be matched by the Interface-ID
    // only, so it always goes then.
    static const uint8_t unspecified[16] = {};
    // A reload may switch the settings: each is read once per message.
    if (std::atomic_ref<bool>(settings.interface_id).load(std::memory_order_relaxed) || std::memcmp(fields.link_address, unspecified, 16) == 0) {
        fields.interface_id = reinterpret_cast<const uint8_t *>(l.name);
        fields.interface_id_len = std::strlen(l.name);
    }
    std::size_t out_len = dhcp6::build_relay_forward(t.out[slot], out_room, fields, msg, msg_len);
    if (out_len == 0) {
        drop_request(idx, request6_drop::too_long, "DHCPv6 Relay-Forward too long on interface %s -- dropped");
        return;
    }
    queue_forward(t, idx, slot, out_len);
}

// The lower interface a Relay-Reply names: by its Interface-ID when it has
// one, and then by that alone (the link-address of a reply whose
// Interface-ID names no link of ours is no second guess); else by its
// link-address. -1 when it names none.
int lower_of_reply(const dhcp6::relay_reply &r) {
    auto &table = lowers();
    if (r.interface_id != nullptr) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (!table[i].retired && std::strlen(table[i].name) == r.interface_id_len &&
                std::memcmp(table[i].name, r.interface_id, r.interface_id_len) == 0)
                return static_cast<int>(i);
        }
        return -1;
    }
    static const uint8_t unspecified[16] = {};
    if (std::memcmp(r.link_address, unspecified, 16) == 0) return -1;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].retired) continue;
        for (const auto &a : table[i].own) {
            if (!IN6_IS_ADDR_LINKLOCAL(&a) && std::memcmp(&a, r.link_address, 16) == 0) return static_cast<int>(i);
        }
    }
    return -1;
}

// The interface a datagram from above came in through (IPV6_PKTINFO); 0
// when the kernel did not say.
unsigned arrival_index(const struct msghdr &m) {
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(const_cast<struct msghdr *>(&m), c)) {
        if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_PKTINFO) continue;
        struct in6_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return static_cast<unsigned>(info.ipi6_ifindex);
    }
    return 0;
}

// True when a datagram from `from`, arrived through interface arrival,
// comes from a server: a configured unicast address (a link-local one on its
// own interface), or any host on the upper interface of a line that names a
// multicast group, whose servers are known by the group alone. Anything
// else could make the relay send what it likes on a lower link, from the
// server port.
bool from_a_server(const struct sockaddr_in6 &from, unsigned arrival) {
    for (const auto &s : servers()) {
        if (!s.used) continue; // no list names it since a reload
        const struct in6_addr &a = s.addr.sin6_addr;
        if (IN6_IS_ADDR_MULTICAST(&a)) {
            if (arrival != 0 && arrival == s.upper_index) return true;
        } else if (std::memcmp(&a, &from.sin6_addr, 16) == 0 &&
                   (!IN6_IS_ADDR_LINKLOCAL(&a) || from.sin6_scope_id == s.upper_index)) {
            return true;
        }
    }
    return false;
}

// An Interface-ID for a log line: opaque bytes, so only printable ASCII
// is shown as it is, the rest as \xNN, and a long one is cut.
void interface_id_text(const uint8_t *id, std::size_t len, char *out, std::size_t room) {
    constexpr std::size_t shown = 32;
    std::size_t at = 0;
    for (std::size_t i = 0; i < len && i < shown && at + 5 < room; ++i) {
        if (id[i] >= 0x20 && id[i] < 0x7f && id[i] != '\\') out[at++] = static_cast<char>(id[i]);
        else at += static_cast<std::size_t>(std::snprintf(out + at, room - at, "\\x%02x", id[i]));
    }
    if (len > shown && at + 4 < room) {
        std::memcpy(out + at, "...", 3);
        at += 3;
    }
    out[at] = '\0';
}

// One datagram from above, len bytes in in[slot]: a Relay-Reply from a
// server, for a usable peer on a link it names, queues its message for that
// peer.
void handle_reply(downward_state &t, std::size_t slot, std::size_t len) {
    metrics::of_upper6().received.add();
    const struct sockaddr_in6 &from = t.from[slot];
    char from_text[INET6_ADDRSTRLEN];
    // Who sent it is checked before anything it says is read, unless the
    // site has servers that answer from other addresses (the same key as
    // for DHCPv4). The peer-address check below holds either way.
    if (std::atomic_ref<kestivane::answer_sources>(kestivane::answer_sources_accepted).load(std::memory_order_relaxed) !=
            kestivane::answer_sources::any &&
        !from_a_server(from, arrival_index(t.reads[slot].msg_hdr))) {
        metrics::count_answer6_drop(answer6_drop::not_a_server);
        inet_ntop(AF_INET6, &from.sin6_addr, from_text, sizeof from_text);
        logd(kestivane::log_error, "DHCPv6 Relay-Reply from %s, not a server -- dropped", from_text);
        return;
    }
    dhcp6::relay_reply r{};
    if (!dhcp6::unwrap_relay_reply(t.in[slot], len, r)) {
        metrics::count_answer6_drop(answer6_drop::malformed);
        inet_ntop(AF_INET6, &from.sin6_addr, from_text, sizeof from_text);
        logd(kestivane::log_error, "Malformed DHCPv6 Relay-Reply from %s -- dropped", from_text);
        return;
    }
    if (!dhcp6::peer_address_usable(r.peer_address)) {
        metrics::count_answer6_drop(answer6_drop::bad_peer_address);
        char peer_text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &from.sin6_addr, from_text, sizeof from_text);
        inet_ntop(AF_INET6, r.peer_address, peer_text, sizeof peer_text);
        logd(kestivane::log_error, "DHCPv6 Relay-Reply from %s for peer-address %s -- dropped", from_text, peer_text);
        return;
    }
    int idx = lower_of_reply(r);
    if (idx < 0) {
        metrics::count_answer6_drop(answer6_drop::unmatched);
        if (r.interface_id != nullptr) {
            char id_text[4 * 32 + 4];
            interface_id_text(r.interface_id, r.interface_id_len, id_text, sizeof id_text);
            logd(kestivane::log_error, "Destination interface not found for DHCPv6 Interface-ID: %s", id_text);
        } else {
            char link_text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, r.link_address, link_text, sizeof link_text);
            logd(kestivane::log_error, "Destination interface not found for DHCPv6 link-address: %s", link_text);
        }
        return;
    }
    metrics::of_interface6(static_cast<std::size_t>(idx))
        .answers.messages_received[static_cast<std::size_t>(metrics::message6::relay_reply)]
        .add();
    const std::size_t k = t.pending++;
    struct sockaddr_in6 &to = t.to[k];
    to = {};
    to.sin6_family = AF_INET6;
    // A lower relay that sent from another port gets its reply there, as
    // this relay wrote it into the Relay Source Port option.
    const uint16_t relay_peer_port = r.downstream_port != 0 ? r.downstream_port : server_port;
    to.sin6_port = htons(r.inner_is_relay_reply ? relay_peer_port : client_port);
    std::memcpy(&to.sin6_addr, r.peer_address, 16);
    // The interface's own scope: several interfaces may share one link-local
    // address, and the reply belongs on this one.
    to.sin6_scope_id = lowers()[static_cast<std::size_t>(idx)].index;
    t.send_parts[k] = {const_cast<uint8_t *>(r.inner), r.inner_len};
    struct msghdr &m = t.sends[k].msg_hdr;
    m = {};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = &t.send_parts[k];
    m.msg_iovlen = 1;
    t.send_lower[k] = static_cast<std::size_t>(idx);
}

// Sends the queued replies, each run of replies for one interface in as few
// calls as the socket allows; a send that fails is counted and skipped.
void flush_replies(downward_state &t) {
    std::size_t i = 0;
    while (i < t.pending) {
        const std::size_t idx = t.send_lower[i];
        std::size_t run = i + 1;
        while (run < t.pending && t.send_lower[run] == idx) ++run;
        lower6 &l = lowers()[idx];
        // The server socket holds the port on every link: each reply names
        // its lower interface.
        for (std::size_t k = i; k < run; ++k) {
            name_out_link(t.send_control[k], l.index);
            t.sends[k].msg_hdr.msg_control = t.send_control[k].bytes;
            t.sends[k].msg_hdr.msg_controllen = sizeof t.send_control[k].bytes;
        }
        auto &counters = metrics::of_interface6(idx).answers;
        int sent = sendmmsg(upper_socket(), &t.sends[i], static_cast<unsigned>(run - i), 0);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            counters.write_errors.add();
            char peer_text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, &t.to[i].sin6_addr, peer_text, sizeof peer_text);
            logd(kestivane::log_error, "sendto DHCPv6 peer %s on %s: %s", peer_text, l.name,
                 sent < 0 ? std::strerror(errno) : "nothing sent");
            ++i;
            continue;
        }
        counters.delivered.add(static_cast<uint64_t>(sent));
        for (std::size_t k = i; k < i + static_cast<std::size_t>(sent); ++k) {
            const auto *inner = static_cast<const uint8_t *>(t.send_parts[k].iov_base);
            const uint8_t type = t.send_parts[k].iov_len > 0 ? inner[0] : 0;
            counters.messages_sent[static_cast<std::size_t>(metrics::message6_of(type))].add();
        }
        i += static_cast<std::size_t>(sent);
    }
    t.pending = 0;
}

// Room for a batch to every server of the interface with the most, and the
// control data of every server; the caller holds the record lock shared.
void size_sends(upward_state &t) {
    const uint64_t version = tables_version.load(std::memory_order_acquire);
    if (t.sized_for == version) return;
    t.sized_for = version;
    std::size_t most_servers = 1;
    for (const auto &l : lowers())
        if (!l.retired) most_servers = std::max(most_servers, l.servers.size());
    if (t.sends.size() < batch_size * most_servers) {
        t.sends.resize(batch_size * most_servers);
        t.send_parts.resize(batch_size * most_servers);
        t.send_server.resize(batch_size * most_servers);
    }
    // A server's slot never changes what it names: only new ones are added.
    for (std::size_t s = t.server_control.size(); s < servers().size(); ++s) {
        t.server_control.emplace_back();
        name_out_link(t.server_control[s], servers()[s].upper_index);
    }
}

// The sockets to wait on, again when the tables changed. The descriptors
// retired are taken first: their retirement has moved the version, so the
// new set leaves them out, and they close (on return) once nothing waits on
// them.
void watch_lowers(upward_state &t) {
    std::vector<descriptor> closing;
    {
        std::lock_guard<std::mutex> taken(closing_lock);
        closing.swap(closing_later);
    }
    const uint64_t version = tables_version.load(std::memory_order_acquire);
    if (t.watched_for == version) return;
    t.watched_for = version;
    t.watched.resize(1);
    t.watched_lower.clear();
    interface_reader steady;
    for (std::size_t i = 0; i < lowers().size(); ++i) {
        if (lowers()[i].retired) continue;
        t.watched.push_back({lowers()[i].capture.get(), POLLIN, 0});
        t.watched_lower.push_back(i);
    }
}

// One read of lower interface idx: up to a batch of datagrams, whose
// Relay-Forwards then go out together.
void read_lower(upward_state &t, std::size_t idx) {
    for (unsigned k = 0; k < batch_size; ++k) {
        // The kernel shortens these to what it filled in; each read starts
        // from the full room again.
        struct msghdr &m = t.reads[k].msg_hdr;
        m.msg_namelen = sizeof t.from[k];
        m.msg_controllen = sizeof t.aux[k].bytes;
        m.msg_flags = 0;
    }
    // The record stays steady for the batch: the watcher switches a lower
    // interface's addresses, and a reload the tables, only between batches.
    interface_reader steady;
    if (lowers()[idx].retired) return;
    size_sends(t);
    kestivane::limit_log_lines(lowers()[idx].name);
    int got = recvmmsg(lowers()[idx].capture.get(), t.reads, batch_size, MSG_DONTWAIT, nullptr);
    if (got < 0) {
        // A link taken down or deleted fails the read once; the watcher
        // says what became of the link.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENETDOWN)
            logd(kestivane::log_error, "recvfrom at %s: %s", lowers()[idx].name, std::strerror(errno));
        return;
    }
    for (std::size_t k = 0; k < static_cast<std::size_t>(got); ++k) {
        struct msghdr &m = t.reads[k].msg_hdr;
        bool checksum_done = false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
            struct tpacket_auxdata aux;
            std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
            checksum_done = (aux.tp_status & (TP_STATUS_CSUMNOTREADY | TP_STATUS_CSUM_VALID)) != 0;
        }
        handle_lower(t, idx, k, t.reads[k].msg_len, t.from[k], checksum_done);
    }
    flush_forwards(t, idx);
}

void *run_upward(void *arg) {
    auto &t = *static_cast<upward_state *>(arg);
    for (;;) {
        watch_lowers(t);
        int n = poll(t.watched.data(), t.watched.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A failing wait would otherwise spin; pause before the next one.
            logd(kestivane::log_error, "poll: %s", std::strerror(errno));
            usleep(100000);
            continue;
        }
        if (t.watched[0].revents != 0) {
            uint64_t wakes;
            (void)!read(t.watched[0].fd, &wakes, sizeof wakes);
        }
        for (std::size_t k = 1; k < t.watched.size(); ++k) {
            // The lines of a message's relaying are about the link it came
            // from (read_lower says which).
            if (t.watched[k].revents != 0) read_lower(t, t.watched_lower[k - 1]);
        }
    }
    return nullptr;
}

void *run_downward(void *arg) {
    auto &t = *static_cast<downward_state *>(arg);
    // Replies come from every server: their lines are limited per message
    // alone.
    kestivane::limit_log_lines(nullptr);
    for (;;) {
        for (unsigned k = 0; k < batch_size; ++k) {
            t.reads[k].msg_hdr.msg_namelen = sizeof t.from[k];
            t.reads[k].msg_hdr.msg_controllen = sizeof t.arrival[k].bytes;
        }
        // Waits for the first reply, then takes what else is queued. A
        // read the replacement of the socket ended came to the old port,
        // and is left.
        const uint64_t replaced = upper_replacements.load(std::memory_order_acquire);
        int got = recvmmsg(upper_socket(), t.reads, batch_size, MSG_WAITFORONE, nullptr);
        if (upper_replacements.load(std::memory_order_acquire) != replaced) continue;
        if (got < 0) {
            if (errno == EINTR) continue;
            metrics::count_answer6_drop(answer6_drop::receive_error);
            logd(kestivane::log_error, "recvfrom at the DHCPv6 server socket: %s", std::strerror(errno));
            // A failing read would otherwise spin.
            usleep(10000);
            continue;
        }
        // Read without the record lock (the read waits); matched and sent
        // with it, so that the lower interface's index stays steady.
        interface_reader steady;
        for (std::size_t k = 0; k < static_cast<std::size_t>(got); ++k) handle_reply(t, k, t.reads[k].msg_len);
        flush_replies(t);
    }
    return nullptr;
}

bool start(void *(*body)(void *), void *state, const char *what) {
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, body, state);
    if (failed != 0) {
        logd(kestivane::log_error, "DHCPv6 %s thread: pthread_create: %s", what, std::strerror(failed));
        return false;
    }
    pthread_detach(thread);
    return true;
}

} // namespace

void upper_socket_replaced() { upper_replacements.fetch_add(1, std::memory_order_acq_rel); }

void tables_changed() { tables_version.fetch_add(1, std::memory_order_acq_rel); }

void wake_upward(std::vector<descriptor> closing) {
    std::lock_guard<std::mutex> taken(closing_lock);
    const int wake = upward_wake.load(std::memory_order_acquire);
    // Without the thread nothing waits on them: they close on return.
    if (wake < 0) return;
    for (descriptor &d : closing) closing_later.push_back(std::move(d));
    const uint64_t eventfd_add = 1;
    (void)!write(wake, &eventfd_add, sizeof eventfd_add);
}

void start_threads() {
    // The states outlive start-up and live as long as the process.
    static upward_state up;
    static downward_state down;

    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        logd(kestivane::log_error, "DHCPv6 upward thread: eventfd: %s", std::strerror(errno));
        return;
    }
    up.watched.push_back({wake, POLLIN, 0});
    upward_wake.store(wake, std::memory_order_release);
    for (unsigned k = 0; k < batch_size; ++k) {
        up.read_parts[k] = {up.in[k], in_room};
        up.reads[k].msg_hdr.msg_name = &up.from[k];
        up.reads[k].msg_hdr.msg_iov = &up.read_parts[k];
        up.reads[k].msg_hdr.msg_iovlen = 1;
        up.reads[k].msg_hdr.msg_control = up.aux[k].bytes;
        down.read_parts[k] = {down.in[k], in_room};
        down.reads[k].msg_hdr.msg_name = &down.from[k];
        down.reads[k].msg_hdr.msg_iov = &down.read_parts[k];
        down.reads[k].msg_hdr.msg_iovlen = 1;
        down.reads[k].msg_hdr.msg_control = down.arrival[k].bytes;
    }
    start(run_upward, &up, "upward");
    start(run_downward, &down, "downward");
}

} // namespace kestivane::relay6
