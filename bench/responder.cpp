// The benchmark's DHCP server: answers every request at once with a
// DHCPOFFER sent to giaddr, port 67, as a server behind a relay does. It
// keeps no leases (the offered address follows from the xid) so that it
// costs as little per request as possible and is never what limits a
// measurement. Requests are read and answers written in batches.
//
//   responder --listen ADDR [--port N] [--max-seconds S]
//
// Prints one line of counters on SIGUSR1 and when it ends (SIGTERM, SIGINT
// or the time bound): received=, answered=, ignored=, send_errors=.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "bench/bench_frames.h"
#include "bench/bench_frames6.h"

using namespace kestivane::bench;

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t report_requested = 0;

void on_stop(int) { stop_requested = 1; }
void on_report(int) { report_requested = 1; }

struct fd_closer {
    void operator()(const int *fd) const {
        if (*fd >= 0) close(*fd);
        delete fd;
    }
};
using unique_fd = std::unique_ptr<int, fd_closer>;

struct counters {
    unsigned long long received = 0, answered = 0, ignored = 0, send_errors = 0;
};

void print_counters(const counters &c) {
    std::printf("received=%llu answered=%llu ignored=%llu send_errors=%llu\n", c.received, c.answered,
                c.ignored, c.send_errors);
    std::fflush(stdout);
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: responder --listen ADDR | --listen6 ADDR6 [--port N] [--max-seconds S]\n"
                         "  --listen6 answers relayed DHCPv6 Solicits (Relay-Forward) with Advertises\n");
    std::exit(2);
}

bool parse_uint(std::string_view s, unsigned long &out) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// A request worth answering: a whole BOOTREQUEST with the DHCP cookie that
// came through a relay (a server has nowhere else to send the answer).
bool is_relayed_request(const uint8_t *m, std::size_t len) {
    return len >= msg_options && m[msg_op] == op_request && std::memcmp(m + msg_cookie, magic_cookie, 4) == 0 &&
           load_be32(m + msg_giaddr) != 0;
}

// Writes the offer for request m into out and returns its length. The
// fixed fields keep what a server keeps (xid, flags, giaddr, chaddr); the
// message is padded after END to the BOOTP minimum as servers do.
std::size_t build_offer(const uint8_t *m, uint32_t server_ip, uint8_t *out) {
    std::memset(out, 0, bootp_min_size);
    out[msg_op] = op_reply;
    out[1] = m[1]; // htype
    out[2] = m[2]; // hlen
    std::memcpy(out + msg_xid, m + msg_xid, 4);
    std::memcpy(out + msg_flags, m + msg_flags, 2);
    uint32_t xid = load_be32(m + msg_xid);
    store_be32(out + msg_yiaddr, yiaddr_for_xid(xid, load_be32(m + msg_giaddr)));
    store_be32(out + 20, server_ip); // siaddr
    std::memcpy(out + msg_giaddr, m + msg_giaddr, 4);
    std::memcpy(out + msg_chaddr, m + msg_chaddr, 16);
    std::memcpy(out + msg_cookie, magic_cookie, 4);
    uint8_t *o = out + msg_options;
    *o++ = opt_message_type, *o++ = 1, *o++ = dhcp_offer;
    *o++ = opt_server_id, *o++ = 4, store_be32(o, server_ip), o += 4;
    *o++ = opt_lease_time, *o++ = 4, store_be32(o, 3600), o += 4;
    *o++ = opt_subnet_mask, *o++ = 4, store_be32(o, 0xFFFFFF00u), o += 4;
    *o++ = opt_router, *o++ = 4, std::memcpy(o, m + msg_giaddr, 4), o += 4;
    *o++ = opt_end;
    return bootp_min_size;
}

// A DHCPv6 server's answer to a relayed Solicit: for a Relay-Forward m
// around a Solicit, a Relay-Reply with the same hop count, link-address,
// peer-address and Interface-ID around an Advertise with the Solicit's xid
// and client id. Returns its length, 0 for anything else.
std::size_t build_relay_reply(const uint8_t *m, std::size_t len, uint8_t *out, std::size_t room) {
    using namespace v6;
    if (len < 34 || m[0] != relay_forw) return 0;
    const uint8_t *inner = nullptr, *iface_id = nullptr, *client_id = nullptr;
    std::size_t inner_len = 0, iface_id_len = 0, client_id_len = 0;
    for (std::size_t at = 34; at + 4 <= len;) {
        uint16_t code = load_be16(m + at), n = load_be16(m + at + 2);
        if (at + 4 + n > len) return 0;
        if (code == opt_relay_msg) inner = m + at + 4, inner_len = n;
        if (code == opt_interface_id) iface_id = m + at + 4, iface_id_len = n;
        at += 4 + n;
    }
    if (inner == nullptr || inner_len < 4 || inner[0] != v6::solicit) return 0;
    for (std::size_t at = 4; at + 4 <= inner_len;) {
        uint16_t code = load_be16(inner + at), n = load_be16(inner + at + 2);
        if (at + 4 + n > inner_len) return 0;
        if (code == v6::opt_client_id) client_id = inner + at + 4, client_id_len = n;
        at += 4 + n;
    }
    static constexpr uint8_t server_duid[] = {0, 3, 0, 1, 0x02, 0, 0, 0, 0xff, 0xfe};
    const std::size_t advertise_len = 4 + (client_id ? 4 + client_id_len : 0) + 4 + sizeof server_duid;
    const std::size_t total = 34 + 4 + advertise_len + (iface_id ? 4 + iface_id_len : 0);
    if (total > room) return 0;
    std::memcpy(out, m, 34);
    out[0] = relay_repl;
    uint8_t *p = out + 34;
    store_be16(p, opt_relay_msg), store_be16(p + 2, static_cast<uint16_t>(advertise_len)), p += 4;
    p[0] = advertise, std::memcpy(p + 1, inner + 1, 3), p += 4;
    if (client_id) {
        store_be16(p, v6::opt_client_id), store_be16(p + 2, static_cast<uint16_t>(client_id_len));
        std::memcpy(p + 4, client_id, client_id_len), p += 4 + client_id_len;
    }
    store_be16(p, v6::opt_server_id), store_be16(p + 2, sizeof server_duid);
    std::memcpy(p + 4, server_duid, sizeof server_duid), p += 4 + sizeof server_duid;
    if (iface_id) {
        store_be16(p, opt_interface_id), store_be16(p + 2, static_cast<uint16_t>(iface_id_len));
        std::memcpy(p + 4, iface_id, iface_id_len), p += 4 + iface_id_len;
    }
    return static_cast<std::size_t>(p - out);
}

} // namespace

int main(int argc, char **argv) {
    uint32_t listen_ip = 0;
    in6_addr listen6{};
    bool v6 = false;
    unsigned long port = port_server, max_seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (i + 1 >= argc) usage();
        std::string_view v = argv[++i];
        if (a == "--listen") {
            if (!parse_ipv4(v, listen_ip)) usage();
        } else if (a == "--listen6") {
            if (inet_pton(AF_INET6, std::string(v).c_str(), &listen6) != 1) usage();
            v6 = true;
            port = v6::port_server;
        } else if (a == "--port") {
            if (!parse_uint(v, port) || port == 0 || port > 65535) usage();
        } else if (a == "--max-seconds") {
            if (!parse_uint(v, max_seconds)) usage();
        } else {
            usage();
        }
    }
    if (listen_ip == 0 && !v6) usage();

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_report;
    sigaction(SIGUSR1, &sa, nullptr);

    unique_fd sock(new int(socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP)));
    if (*sock < 0) {
        std::fprintf(stderr, "responder: socket: %s\n", std::strerror(errno));
        return 1;
    }
    int one = 1;
    setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Bursts from a fast generator must queue rather than drop here: a loss
    // in the responder would be charged to the relay under test.
    int big = 16 << 20;
    if (setsockopt(*sock, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(*sock, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (setsockopt(*sock, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0)
        setsockopt(*sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(listen_ip);
    sockaddr_in6 addr6{};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_port = htons(static_cast<uint16_t>(port));
    addr6.sin6_addr = listen6;
    if (v6 ? bind(*sock, reinterpret_cast<sockaddr *>(&addr6), sizeof addr6) != 0
           : bind(*sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "responder: bind %s:%lu: %s\n", format_ipv4(listen_ip).c_str(), port,
                     std::strerror(errno));
        return 1;
    }

    constexpr int batch = 64;
    static std::array<std::array<uint8_t, msg_buffer_size>, batch> in{}, out{};
    std::array<iovec, batch> in_iov{}, out_iov{};
    std::array<mmsghdr, batch> in_msgs{}, out_msgs{};
    std::array<sockaddr_in, batch> dest{};
    std::array<sockaddr_in6, batch> from6{}, dest6{};

    counters c;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(max_seconds);
    while (!stop_requested) {
        if (report_requested) {
            report_requested = 0;
            print_counters(c);
        }
        if (max_seconds != 0 && std::chrono::steady_clock::now() >= deadline) break;
        pollfd p{*sock, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        for (int i = 0; i < batch; ++i) {
            in_iov[i] = {in[i].data(), in[i].size()};
            in_msgs[i] = {};
            in_msgs[i].msg_hdr.msg_iov = &in_iov[i];
            in_msgs[i].msg_hdr.msg_iovlen = 1;
            if (v6) {
                in_msgs[i].msg_hdr.msg_name = &from6[i];
                in_msgs[i].msg_hdr.msg_namelen = sizeof from6[i];
            }
        }
        int n = recvmmsg(*sock, in_msgs.data(), batch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                std::fprintf(stderr, "responder: recvmmsg: %s\n", std::strerror(errno));
                return 1;
            }
            continue;
        }
        int k = 0;
        for (int i = 0; i < n; ++i) {
            ++c.received;
            const uint8_t *m = in[i].data();
            if (v6) {
                // The answer goes back to the relay that sent, at its port.
                std::size_t len = build_relay_reply(m, in_msgs[i].msg_len, out[k].data(), out[k].size());
                if (len == 0) {
                    ++c.ignored;
                    continue;
                }
                dest6[k] = from6[i];
                out_iov[k] = {out[k].data(), len};
                out_msgs[k] = {};
                out_msgs[k].msg_hdr.msg_name = &dest6[k];
                out_msgs[k].msg_hdr.msg_namelen = sizeof dest6[k];
                out_msgs[k].msg_hdr.msg_iov = &out_iov[k];
                out_msgs[k].msg_hdr.msg_iovlen = 1;
                ++k;
                continue;
            }
            if (!is_relayed_request(m, in_msgs[i].msg_len)) {
                ++c.ignored;
                continue;
            }
            std::size_t len = build_offer(m, listen_ip, out[k].data());
            dest[k] = {};
            dest[k].sin_family = AF_INET;
            dest[k].sin_port = htons(port_server);
            std::memcpy(&dest[k].sin_addr.s_addr, m + msg_giaddr, 4);
            out_iov[k] = {out[k].data(), len};
            out_msgs[k] = {};
            out_msgs[k].msg_hdr.msg_name = &dest[k];
            out_msgs[k].msg_hdr.msg_namelen = sizeof dest[k];
            out_msgs[k].msg_hdr.msg_iov = &out_iov[k];
            out_msgs[k].msg_hdr.msg_iovlen = 1;
            ++k;
        }
        // Every answer of the batch is sent or counted as failed: a full
        // send buffer is waited out a little, never spun on for ever.
        int done = 0, stalls = 0;
        while (done < k && stalls < 100) {
            int s = sendmmsg(*sock, out_msgs.data() + done, static_cast<unsigned>(k - done), 0);
            if (s > 0) {
                done += s;
                c.answered += static_cast<unsigned>(s);
            } else if (s < 0 && (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
                ++stalls;
                pollfd w{*sock, POLLOUT, 0};
                poll(&w, 1, 1);
            } else {
                // One answer the kernel refuses (no route, say) must not
                // hold back the rest of the batch.
                ++c.send_errors;
                ++done;
            }
        }
        c.send_errors += static_cast<unsigned>(k - done);
    }
    print_counters(c);
    return 0;
}
