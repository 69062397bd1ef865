// Server answers and their delivery to clients: one thread waits on every
// interface's UDP socket, lets the hooks see each answer, builds the
// Ethernet, IPv4 and UDP headers for the client's segment and writes the
// whole frame there.
#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "core/wire.h"
#include "dhcp/message_size.h"
#include "dhcp/message_type.h"
#include "metrics/counters.h"
#include "net/answer.h"
#include "net/answer_source.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/platform.h"
#include "net/relay_suboptions.h"
#include "net/source_address.h"
#include "plugins/hooks.h"

using namespace kestivane::wire;
using kestivane::answer_state;
using kestivane::answers_per_read;
using kestivane::received_answers;
using kestivane::metrics::answer_drop;

namespace {

constexpr uint8_t answer_tos = 0x10; // low delay
constexpr uint8_t answer_ttl = 16;

uint32_t load_addr(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// What became of one datagram.
enum class taken { answer, refused };

// The sender of the datagram just received, for a log line.
struct sender_text {
    char text[INET_ADDRSTRLEN] = "?";
    explicit sender_text(const struct sockaddr_in &from) {
        if (from.sin_family == AF_INET) inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    }
};

// Lets through only what the interface takes answers from: replies from its
// servers. Judged before any hook sees the datagram.
bool admitted(answer_state &s, const struct interface *iface) {
    using kestivane::datagram_kind;
    datagram_kind kind = kestivane::classify_datagram(s.message(), s.from, *iface, kestivane::answer_sources_accepted);
    switch (kind) {
    case datagram_kind::answer:
        return true;
    case datagram_kind::request:
        // A client's request sent to the relay's own address. Where the
        // relay names itself as the server (server-identifier override),
        // clients renew that way: the capture saw the request too and
        // relays it, so here it is left, once, without a word. Elsewhere
        // this socket takes answers only: it is refused like any other
        // non-reply.
        if (kestivane::overrides_server_id(iface)) return false;
        [[fallthrough]];
    case datagram_kind::not_a_reply:
        logd(kestivane::log_warning, "Message of op %d from %s on %s is not a reply. Dropped.",
             static_cast<int>(s.message()[msg_op]), sender_text(s.from).text, iface->name);
        kestivane::metrics::count_answer_drop(iface->idx, answer_drop::not_a_reply);
        return false;
    case datagram_kind::not_a_server:
        logd(kestivane::log_warning, "Answer from %s on %s, which is not a server of it. Dropped.",
             sender_text(s.from).text, iface->name);
        kestivane::metrics::count_answer_drop(iface->idx, answer_drop::not_a_server);
        return false;
    }
    return false;
}

// Reads what the socket holds, up to answers_per_read datagrams, in one
// call that never waits: the socket was ready when the wait ended, but an
// interface that moved to another address has had a fresh socket put under
// the same number since, and a read that waited there would hold the
// interface lock until a datagram reached the new address, stopping the
// answers of every segment and the move itself. At ordinary rates a read
// gets one answer: one call where a read per datagram took two (the
// answer, then the empty socket's refusal). The datagrams received.
int receive_answers(answer_state &s, int sock, const struct interface *iface) {
    received_answers &r = s.received;
    std::size_t room = static_cast<std::size_t>(max_packet_size) - headers_size;
    // Prepared once, not at every read: at ordinary rates a read fills one
    // entry of the 32, and each wake-up finds them out of the cache.
    if (r.prepared_room != room) {
        for (int i = 0; i < answers_per_read; ++i) {
            r.parts[i] = {r.bytes[i], room};
            r.headers[i] = {};
            r.headers[i].msg_hdr.msg_name = &r.from[i];
            r.headers[i].msg_hdr.msg_namelen = sizeof r.from[i];
            r.headers[i].msg_hdr.msg_iov = &r.parts[i];
            r.headers[i].msg_hdr.msg_iovlen = 1;
        }
        r.prepared_room = room;
        r.filled = 0;
    }
    // A read sets the address length of each entry it fills.
    for (int i = 0; i < r.filled; ++i) r.headers[i].msg_hdr.msg_namelen = sizeof r.from[i];
    // MSG_TRUNC: each length is the datagram's whole length, even where only
    // room bytes of it were taken.
    int got = recvmmsg(sock, r.headers, answers_per_read, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    r.filled = got > 0 ? got : 0;
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            logd(kestivane::log_error, "recvfrom at %s: %s", iface->name, std::strerror(errno));
            kestivane::metrics::count_answer_drop(iface->idx, answer_drop::receive_error);
        }
        return 0;
    }
    return got;
}

// Takes datagram i of the last read into the answer buffer and lets the
// server_answer hooks judge it: an accepted answer has its length measured.
taken take_answer(answer_state &s, int i, int32_t source, const struct interface *&iface) {
    std::size_t room = static_cast<std::size_t>(max_packet_size) - headers_size;
    std::size_t got = s.received.headers[i].msg_len;
    // The sender's address as far as the read gave one, the rest zeros.
    std::memset(&s.from, 0, sizeof s.from);
    std::memcpy(&s.from, &s.received.from[i],
                std::min<std::size_t>(s.received.headers[i].msg_hdr.msg_namelen, sizeof s.from));
    std::memcpy(&s.answer, s.received.bytes[i], got < room ? got : room);
    bool cut = got > room;
    std::size_t count = cut ? room : got;
    // Bytes past this datagram are left from an earlier, longer answer (another
    // client's); clearing them keeps a short answer from being measured
    // through them and delivering them, and gives the length check a known
    // byte after the datagram.
    std::memset(s.message() + count, 0, sizeof s.answer - count);
    // At a source address, giaddr is the same for every interface sending
    // from it: the answer's option 82 names the interface.
    if (source >= 0) {
        int32_t to = kestivane::interface_of_answer(s.answer, source);
        if (to == if_num) {
            kestivane::metrics::count_answer_received(iface->idx);
            logd(kestivane::log_warning, "Answer from %s at a source address names no interface sending from it. Dropped.",
                 sender_text(s.from).text);
            kestivane::metrics::count_answer_drop(iface->idx, answer_drop::unknown_link);
            return taken::refused;
        }
        iface = ifs[to];
    }
    kestivane::metrics::count_answer_received(iface->idx);
    std::size_t floor = kestivane::dhcp::answer_floor(s.message(), count);
    if (count < floor) {
        logd(kestivane::log_warning, "A little data from server: %zu < %d", count, static_cast<int>(floor));
        kestivane::metrics::count_answer_drop(iface->idx, answer_drop::too_short);
        return taken::refused;
    }
    kestivane::metrics::count_answer_message(iface->idx, kestivane::dhcp::message_type_code(s.message(), count));
    if (!admitted(s, iface)) return taken::refused;
    // A datagram cut to the buffer is still an answer when its message ends
    // within what was taken (servers may pad); one that does not is said to
    // be too long, not left to look like a plug-in's fault.
    if (cut && get_dhcp_len(&s.answer) == 0) {
        logd(kestivane::log_warning,
             "Answer of %zu bytes from %s on %s has no END within the %zu bytes that max_packet_size lets in. Dropped.",
             got, sender_text(s.from).text, iface->name, room);
        kestivane::metrics::count_answer_drop(iface->idx, answer_drop::truncated);
        return taken::refused;
    }

    bool accepted = kestivane::run_hooks<&plugin::server_answer>(&s.from, &s.answer);
    s.len = kestivane::measure_after_hooks(&s.answer, "server_answer");
    if (!accepted) kestivane::metrics::count_answer_drop(iface->idx, answer_drop::plugin_rejected);
    else if (s.len == 0) kestivane::metrics::count_answer_drop(iface->idx, answer_drop::bad_after_plugin);
    return accepted && s.len != 0 ? taken::answer : taken::refused;
}

// Chooses the frame's destination. A broadcast answer goes to everyone. An
// answer without yiaddr (an acknowledgement of a client that already holds
// ciaddr) goes to ciaddr, or to everyone when that is 0 too, rather than to
// 0.0.0.0. Every other answer goes to the client's hardware address and
// yiaddr.
void address_client(answer_state &s, uint8_t *h) {
    const uint8_t *m = s.message();
    bool broadcast = m[msg_op] == op_reply && (m[msg_flags] & flag_broadcast) != 0;
    uint32_t ip = load_addr(m + msg_yiaddr);
    if (!broadcast && ip == 0) {
        ip = load_addr(m + msg_ciaddr);
        broadcast = ip == 0;
    }
    if (broadcast) {
        std::memset(h + eth_dst, 0xff, 6);
        ip = INADDR_BROADCAST;
    } else {
        std::memcpy(h + eth_dst, m + msg_chaddr, 6);
    }
    std::memcpy(h + ip_dst, &ip, sizeof ip);
}

void build_headers(answer_state &s, const struct interface *iface) {
    uint8_t *h = s.header_bytes();
    std::memset(h, 0, headers_size);
    address_client(s, h);
    std::memcpy(h + eth_src, iface->mac, 6);
    store_be16(h + eth_type, ethertype_ipv4);
    h[ip_vhl] = 0x45;
    h[ip_tos] = answer_tos;
    store_be16(h + ip_len, static_cast<uint16_t>(s.len + ip_header_size + udp_header_size));
    h[ip_ttl] = answer_ttl;
    h[ip_proto] = ip_proto_udp;
    std::memcpy(h + ip_src, &iface->ip, sizeof iface->ip);
    // The service ports are kept in network byte order in their low 16 bits.
    auto sport = static_cast<uint16_t>(bootps_port);
    auto dport = static_cast<uint16_t>(bootpc_port);
    std::memcpy(h + udp_sport, &sport, 2);
    std::memcpy(h + udp_dport, &dport, 2);
    store_be16(h + udp_len, static_cast<uint16_t>(s.len + udp_header_size));
}

// Lengths and checksums follow the final message, whatever the hooks left
// in those fields. A message shorter than BOOTP's 300 bytes goes out padded
// to them with zeros after END, for clients that expect that size; the
// hooks have seen it as measured, and the padding is the frame's alone.
std::size_t finish_frame(answer_state &s) {
    auto measured = static_cast<std::size_t>(s.len);
    std::size_t len =
        kestivane::dhcp::delivered_size(measured, static_cast<std::size_t>(max_packet_size) - headers_size);
    uint8_t *h = s.header_bytes();
    store_be16(h + ip_len, static_cast<uint16_t>(len + ip_header_size + udp_header_size));
    store_be16(h + udp_len, static_cast<uint16_t>(len + udp_header_size));
    store_be16(h + ip_sum, 0);
    store_be16(h + ip_sum, ip_checksum(h + ip_vhl, ip_header_size));

    std::memcpy(s.frame, h, headers_size);
    std::memcpy(s.frame + headers_size, &s.answer, measured);
    std::memset(s.frame + headers_size + measured, 0, len - measured);
    store_be16(s.frame + udp_sum, 0);
    // A UDP checksum field of 0 means "no checksum" (RFC 768): a computed 0
    // goes on the wire as its one's-complement equal, all ones.
    uint16_t sum = udp_checksum(s.frame);
    store_be16(s.frame + udp_sum, sum == 0 ? 0xFFFF : sum);
    return headers_size + len;
}

void deliver(answer_state &s, struct interface *iface) {
    kestivane::strip_relay_suboptions(s.answer, iface);
    build_headers(s, iface);
    if (!kestivane::run_hooks<&plugin::send_to_client>(&s.from, iface, &s.answer, &s.headers))
        return kestivane::metrics::count_answer_drop(iface->idx, answer_drop::plugin_rejected);
    s.len = kestivane::measure_after_hooks(&s.answer, "send_to_client");
    if (s.len == 0) return kestivane::metrics::count_answer_drop(iface->idx, answer_drop::bad_after_plugin);
    std::size_t frame_len = finish_frame(s);
    long wrote = kestivane::platform::frame_out_write(iface->bpf, s.frame, frame_len);
    kestivane::metrics::count_delivery(iface->idx, wrote == static_cast<long>(frame_len));
    if (wrote == static_cast<long>(frame_len))
        kestivane::metrics::count_delivered_message(
            iface->idx, kestivane::dhcp::message_type_code(s.message(), static_cast<std::size_t>(s.len)));
    if (wrote != static_cast<long>(frame_len)) {
        logd(kestivane::log_error, "bpf write failed for %s while trying to write %d bytes (%d bytes wrote): %s",
             iface->name, static_cast<int>(frame_len), static_cast<int>(wrote), std::strerror(errno));
    }
}

// Reads up to answers_per_read answers from sock, the socket of interface
// home, or source socket source (>= 0; its first interface is taken as
// home), and delivers each to its interface. What the socket still holds when the
// reads stop, in bytes.
uint64_t read_socket(answer_state &s, int sock, int32_t source, int32_t home) {
    int n = 0;
    uint64_t sources = 0;
    {
        kestivane::interface_reader steady;
        // The sockets changed since the wait began (an interface retired or
        // opened, a reload's new port or source addresses): the descriptor
        // may be closed, or another socket's. The next pass waits on them
        // as they are now.
        if (kestivane::interface_set_version() != s.watched_version) return 0;
        if (source >= 0) home = kestivane::first_interface_of(source);
        n = receive_answers(s, sock, ifs[home]);
        sources = kestivane::source_table_version();
    }
    for (int i = 0; i < n; ++i) {
        kestivane::interface_reader steady;
        // What a source socket's answer names is looked up among the
        // interfaces sending from that socket: after a reload changed the
        // source sockets, one read before it is not delivered by the new
        // table. An interface socket's answers go by giaddr, whatever
        // changed.
        if (source >= 0 && kestivane::source_table_version() != sources) return 0;
        const struct interface *iface = ifs[home];
        if (take_answer(s, i, source, iface) != taken::answer) continue;
        if (source >= 0) {
            deliver(s, ifs[iface->idx]);
            continue;
        }
        uint32_t giaddr = load_addr(s.message() + msg_giaddr);
        int32_t to = find_interface(giaddr);
        if (to == if_num) {
            char dotted[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &giaddr, dotted, sizeof dotted);
            logd(kestivane::log_error, "Destination interface not found for: %s", dotted);
            kestivane::metrics::count_answer_drop(ifs[home]->idx, answer_drop::unknown_giaddr);
            continue;
        }
        deliver(s, ifs[to]);
    }
    uint64_t bytes = 0;
    if (n == kestivane::answers_per_read && s.backlog != nullptr && kestivane::platform::socket_receive_queued(sock, bytes))
        return bytes;
    return 0;
}

} // namespace

namespace kestivane {

void answer_pass(answer_state &s) {
    const uint64_t version = kestivane::interface_set_version();
    if (s.watch_limit == 0 || version != s.watched_version) {
        // Built again whenever an interface is opened or retired; the
        // table is read steady meanwhile.
        kestivane::interface_reader steady;
        FD_ZERO(&s.watched);
        s.watch_limit = 0;
        s.watched_version = version;
        s.watched_count = 0;
        for (int32_t i = 0; i < if_num; ++i) {
            if (kestivane::interface_retired(i)) continue;
            s.watched_sockets[s.watched_count++] = {ifs[i]->sock, i, -1};
            FD_SET(ifs[i]->sock, &s.watched);
            if (ifs[i]->sock >= s.watch_limit) s.watch_limit = ifs[i]->sock + 1;
        }
        for (int32_t n = 0; n < kestivane::source_socket_count(); ++n) {
            const int sock = kestivane::source_socket(n);
            s.watched_sockets[s.watched_count++] = {sock, -1, n};
            FD_SET(sock, &s.watched);
            if (sock >= s.watch_limit) s.watch_limit = sock + 1;
        }
    }
    // select overwrites its set, so each wait gets a fresh copy.
    fd_set ready = s.watched;
    // A socket replaced under its descriptor number (an interface that moved
    // to another address) is watched from the next wait on: the wait ends
    // every second so that one comes soon.
    struct timeval most{1, 0};
    int n = select(s.watch_limit, &ready, nullptr, nullptr, &most);
    if (n == 0) {
        if (s.backlog != nullptr) s.backlog->report(0);
        return;
    }
    if (n < 0) {
        if (errno == EINTR) return;
        // A socket of an interface retired during the wait is closed: the
        // next pass watches the sockets as they are now.
        if (errno == EBADF && kestivane::interface_set_version() != s.watched_version) return;
        // A failing wait would otherwise spin; pause before the next one.
        logd(kestivane::log_error, "select: %s", std::strerror(errno));
        usleep(100000);
        return;
    }
    // Every ready socket in turn, up to answers_per_read answers each: a
    // segment whose server answers a flood keeps its socket ready all the
    // time, and taking only the first ready socket in table order would
    // leave the others' answers waiting behind that flood. Reading on
    // without a new wait while answers are queued saves a select per answer
    // when the thread is busiest.
    // What a socket still holds is asked only of one left with answers in
    // it: under load, one question per 32 answers; otherwise none.
    uint64_t waiting = 0;
    for (int32_t k = 0; k < s.watched_count; ++k) {
        const auto &[sock, idx, source] = s.watched_sockets[k];
        if (FD_ISSET(sock, &ready)) waiting += read_socket(s, sock, source, idx);
    }
    if (s.backlog != nullptr) s.backlog->report(waiting);
}

} // namespace kestivane

// The argument, where the relay starts the thread, is the backlog the
// consumer watches; null (as the exported declaration allows) tells nobody.
extern "C" void *process_server_answer(void *backlog) {
    answer_state state{};
    state.backlog = static_cast<kestivane::answer_backlog *>(backlog);
    // Answers come from the servers of every segment: their lines are
    // limited per message alone.
    kestivane::limit_log_lines(nullptr);
    for (;;) kestivane::answer_pass(state);
}
