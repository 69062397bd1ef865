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
    std::fprintf(stderr, "usage: responder --listen ADDR [--port N] [--max-seconds S]\n");
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

} // namespace

int main(int argc, char **argv) {
    uint32_t listen_ip = 0;
    unsigned long port = port_server, max_seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (i + 1 >= argc) usage();
        std::string_view v = argv[++i];
        if (a == "--listen") {
            if (!parse_ipv4(v, listen_ip)) usage();
        } else if (a == "--port") {
            if (!parse_uint(v, port) || port == 0 || port > 65535) usage();
        } else if (a == "--max-seconds") {
            if (!parse_uint(v, max_seconds)) usage();
        } else {
            usage();
        }
    }
    if (listen_ip == 0) usage();

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_report;
    sigaction(SIGUSR1, &sa, nullptr);

    unique_fd sock(new int(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP)));
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
    if (bind(*sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "responder: bind %s:%lu: %s\n", format_ipv4(listen_ip).c_str(), port,
                     std::strerror(errno));
        return 1;
    }

    constexpr int batch = 64;
    static std::array<std::array<uint8_t, msg_buffer_size>, batch> in{}, out{};
    std::array<iovec, batch> in_iov{}, out_iov{};
    std::array<mmsghdr, batch> in_msgs{}, out_msgs{};
    std::array<sockaddr_in, batch> dest{};

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
