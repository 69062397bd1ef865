// The DHCPv6 relay path, both directions, in one thread: a message from a
// lower link is checked, wrapped in a Relay-Forward and sent to every server
// of that interface; a Relay-Reply from above is unwrapped and its message
// sent to the peer on the interface it names. Every buffer lives in the
// thread's state: nothing is allocated per message.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "dhcp6/message6.h"
#include "metrics/counters6.h"
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
constexpr std::size_t udp_dport = 2;
constexpr std::size_t udp_len = 4;
constexpr std::size_t udp_checksum = 6;
constexpr std::size_t udp_header_size = 8;
constexpr uint8_t next_header_udp = 17;

// Each socket is read at most this many times per wake, so that a flood on
// one link cannot starve the others or the replies.
constexpr int reads_per_wake = 32;

const uint8_t all_relay_agents_and_servers[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};

struct thread_state {
    // Room for the largest IPv6 datagram, and for the largest Relay-Forward.
    uint8_t in[ip6_header_size + 65536];
    uint8_t out[65536];
    std::vector<struct pollfd> watched;
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

bool is_own(const lower6 &l, const uint8_t *dst) {
    if (std::memcmp(dst, all_relay_agents_and_servers, 16) == 0) return true;
    for (const auto &a : l.own) {
        if (std::memcmp(&a, dst, 16) == 0) return true;
    }
    return false;
}

void drop_request(std::size_t idx, request6_drop reason, const char *format) {
    metrics::count_request6_drop(idx, reason);
    logd(kestivane::log_error, format, lowers()[idx].name);
}

void send_to_servers(std::size_t idx, const uint8_t *msg, std::size_t len) {
    lower6 &l = lowers()[idx];
    auto &counters = metrics::of_interface6(idx).requests;
    for (std::size_t s : l.servers) {
        const server6 &server = servers()[s];
        struct iovec part = {const_cast<uint8_t *>(msg), len};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in6_pktinfo))]{};
        struct msghdr m{};
        m.msg_name = const_cast<struct sockaddr_in6 *>(&server.addr);
        m.msg_namelen = sizeof server.addr;
        m.msg_iov = &part;
        m.msg_iovlen = 1;
        if (server.upper_index != 0) {
            // The named upper interface carries it, whatever the address.
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            struct cmsghdr *c = CMSG_FIRSTHDR(&m);
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(struct in6_pktinfo));
            struct in6_pktinfo info{};
            info.ipi6_ifindex = server.upper_index;
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        if (sendmsg(upper_socket(), &m, 0) != static_cast<ssize_t>(len)) {
            counters.forward_errors[s].add();
            logd(kestivane::log_error, "sendto DHCPv6 server %s from %s: %s", server.text, l.name,
                 std::strerror(errno));
            continue;
        }
        counters.forwarded[s].add();
    }
}

// One datagram captured on lower interface idx: len bytes from the IPv6
// header on.
// checksum_done: the kernel or the card has checked the UDP checksum, or
// the datagram came from this host and its checksum is not filled in yet.
void handle_lower(thread_state &t, std::size_t idx, std::size_t len, const struct sockaddr_ll &from,
                  bool checksum_done) {
    lower6 &l = lowers()[idx];
    // Only what was sent to this host: not the relay's own output, not
    // frames for other hosts that pass on a shared segment.
    if (from.sll_pkttype != PACKET_HOST && from.sll_pkttype != PACKET_MULTICAST) return;
    const uint8_t *ip = t.in;
    if (len < ip6_header_size + udp_header_size || (ip[0] >> 4) != 6 || ip[ip6_next_header] != next_header_udp)
        return;
    if (!is_own(l, ip + ip6_dst)) return;
    auto &counters = metrics::of_interface6(idx).requests;
    counters.received.add();

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
        // A lower relay with a global address can be reached by it; the
        // link-address then says nothing, and the Interface-ID names the way.
        if (link_local_source) std::memcpy(fields.link_address, &l.link_address, 16);
        break;
    case dhcp6::lower_kind::client:
        fields.hop_count = 0;
        std::memcpy(fields.link_address, &l.link_address, 16);
        // Only the relay that hears the client itself knows its hardware
        // address.
        if (settings.link_layer_address && from.sll_halen == 6) fields.mac = from.sll_addr;
        break;
    }
    // Without a link-address the reply can be matched by the Interface-ID
    // only, so it always goes then.
    static const uint8_t unspecified[16] = {};
    if (settings.interface_id || std::memcmp(fields.link_address, unspecified, 16) == 0) {
        fields.interface_id = reinterpret_cast<const uint8_t *>(l.name);
        fields.interface_id_len = std::strlen(l.name);
    }
    std::size_t out_len = dhcp6::build_relay_forward(t.out, sizeof t.out, fields, msg, msg_len);
    if (out_len == 0) {
        drop_request(idx, request6_drop::too_long, "DHCPv6 Relay-Forward too long on interface %s -- dropped");
        return;
    }
    send_to_servers(idx, t.out, out_len);
}

// The lower interface a Relay-Reply names: by its Interface-ID, else by its
// link-address; -1 when neither names one.
int find_lower(const dhcp6::relay_reply &r) {
    auto &table = lowers();
    if (r.interface_id != nullptr) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (std::strlen(table[i].name) == r.interface_id_len &&
                std::memcmp(table[i].name, r.interface_id, r.interface_id_len) == 0)
                return static_cast<int>(i);
        }
    }
    static const uint8_t unspecified[16] = {};
    if (std::memcmp(r.link_address, unspecified, 16) == 0) return -1;
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (const auto &a : table[i].own) {
            if (!IN6_IS_ADDR_LINKLOCAL(&a) && std::memcmp(&a, r.link_address, 16) == 0) return static_cast<int>(i);
        }
    }
    return -1;
}

void handle_reply(thread_state &t, std::size_t len, const struct sockaddr_in6 &from) {
    metrics::of_upper6().received.add();
    char from_text[INET6_ADDRSTRLEN];
    dhcp6::relay_reply r{};
    if (!dhcp6::unwrap_relay_reply(t.in, len, r)) {
        metrics::count_answer6_drop(answer6_drop::malformed);
        inet_ntop(AF_INET6, &from.sin6_addr, from_text, sizeof from_text);
        logd(kestivane::log_error, "Malformed DHCPv6 Relay-Reply from %s -- dropped", from_text);
        return;
    }
    int idx = find_lower(r);
    if (idx < 0) {
        metrics::count_answer6_drop(answer6_drop::unmatched);
        char link_text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, r.link_address, link_text, sizeof link_text);
        logd(kestivane::log_error, "Destination interface not found for DHCPv6 link-address: %s", link_text);
        return;
    }
    lower6 &l = lowers()[static_cast<std::size_t>(idx)];
    struct sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(r.inner_is_relay_reply ? server_port : client_port);
    std::memcpy(&to.sin6_addr, r.peer_address, 16);
    // The interface's own scope: several interfaces may share one link-local
    // address, and the reply belongs on this one.
    to.sin6_scope_id = l.index;
    auto &counters = metrics::of_interface6(static_cast<std::size_t>(idx)).answers;
    if (sendto(l.socket.get(), r.inner, r.inner_len, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to) !=
        static_cast<ssize_t>(r.inner_len)) {
        counters.write_errors.add();
        char peer_text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, r.peer_address, peer_text, sizeof peer_text);
        logd(kestivane::log_error, "sendto DHCPv6 peer %s on %s: %s", peer_text, l.name, std::strerror(errno));
        return;
    }
    counters.delivered.add();
}

void read_lower(thread_state &t, std::size_t idx) {
    for (int n = 0; n < reads_per_wake; ++n) {
        struct sockaddr_ll from{};
        struct iovec part = {t.in, sizeof t.in};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
        struct msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &part;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t got = recvmsg(lowers()[idx].capture.get(), &m, MSG_DONTWAIT);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                logd(kestivane::log_error, "recvfrom at %s: %s", lowers()[idx].name, std::strerror(errno));
            return;
        }
        bool checksum_done = false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
            struct tpacket_auxdata aux;
            std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
            checksum_done = (aux.tp_status & (TP_STATUS_CSUMNOTREADY | TP_STATUS_CSUM_VALID)) != 0;
        }
        handle_lower(t, idx, static_cast<std::size_t>(got), from, checksum_done);
    }
}

void read_upper(thread_state &t) {
    for (int n = 0; n < reads_per_wake; ++n) {
        struct sockaddr_in6 from{};
        socklen_t from_len = sizeof from;
        ssize_t got = recvfrom(upper_socket(), t.in, sizeof t.in, MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr *>(&from), &from_len);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                metrics::count_answer6_drop(answer6_drop::receive_error);
                logd(kestivane::log_error, "recvfrom at the DHCPv6 server socket: %s", std::strerror(errno));
            }
            return;
        }
        handle_reply(t, static_cast<std::size_t>(got), from);
    }
}

void *run(void *arg) {
    auto &t = *static_cast<thread_state *>(arg);
    auto &table = lowers();
    for (const auto &l : table) t.watched.push_back({l.capture.get(), POLLIN, 0});
    t.watched.push_back({upper_socket(), POLLIN, 0});
    for (;;) {
        int n = poll(t.watched.data(), t.watched.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A failing wait would otherwise spin; pause before the next one.
            logd(kestivane::log_error, "poll: %s", std::strerror(errno));
            usleep(100000);
            continue;
        }
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (t.watched[i].revents != 0) read_lower(t, i);
        }
        if (t.watched.back().revents != 0) read_upper(t);
    }
    return nullptr;
}

} // namespace

void start_thread() {
    // The state outlives start-up and lives as long as the process.
    static thread_state state;
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, run, &state);
    if (failed != 0) {
        logd(kestivane::log_error, "DHCPv6 thread: pthread_create: %s", std::strerror(failed));
        return;
    }
    pthread_detach(thread);
}

} // namespace kestivane::relay6
