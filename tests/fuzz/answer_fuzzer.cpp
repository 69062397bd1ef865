// Fuzzing the answer path from a received datagram to the frame written: a
// sequence of datagrams, each through one pass of the answer thread, at a
// random max_packet_size, with no plug-ins, from a random sender, with
// answer_sources servers or any. Two interfaces stand in for real ones: each
// one's answer socket is a UDP socket on 127.0.0.1, its frame output a Unix
// datagram socket pair, so the relay receives with its own recvfrom and
// writes with its own frame output, and this side sends the datagrams (from
// each interface's server, 127.0.0.2 and 127.0.0.3, or from a stranger,
// 127.0.0.4) and reads the frames. Checked after every datagram:
// - an answer is delivered exactly when it is at least 300 bytes or a whole
//   DHCP message (cookie, options through END inside it), its op is
//   2, its sender is a server of the interface that received it (or any
//   sender is accepted), it measures (within the bytes received) and names
//   an interface by its giaddr: then one frame, on that interface; otherwise
//   none anywhere;
// - a datagram refused for its op, its sender or its length beyond the
//   receive buffer is counted under that reason on the receiving interface,
//   and under no other of the three;
// - the frame is 42 header bytes and the measured message, zero-padded to
//   300 bytes (or what max_packet_size leaves, if less); IPv4 total length
//   is frame length - 14, UDP length frame length - 34, both checksums
//   verify (and the UDP one is never sent as 0, "no checksum"), and the
//   header fields are those of the interface and the
//   message;
// - no byte of the frame comes from outside this datagram or the headers:
//   the datagrams of one input are cuts of one message, long and short, so
//   a short answer measured through an earlier long one's bytes would show.
//
// Input layout (FuzzedDataProvider): control values from the end, the
// message from the beginning, so a seed is a server's answer followed by a
// few control bytes. The sender and answer_sources are read last, so a 0 (the
// interface's own server, servers only) is what a shorter seed gives.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/settings.h"
#include "core/wire.h"
#include "fuzz_support.h"
#include "metrics/counters.h"
#include "net/answer.h"

using namespace kestivane::wire;
using kestivane::metrics::answer_drop;

namespace {

constexpr std::size_t longest_datagram = 1600; // beyond any receive size
constexpr int interfaces = 2;

struct fake_interface {
    struct interface record{};
    int32_t srv = 0;           // its one server, servers[srv]
    struct server server_record{};
    struct sockaddr_in to{};   // its answer socket's address
    int wire_end = -1;         // where the frames written on this interface arrive
};
fake_interface fakes[interfaces];
// Who sends: 0 the receiving interface's server, 1 the other interface's
// server, 2 a host that is no server.
constexpr int senders = 3;
int server_socket[interfaces] = {-1, -1};
int stranger_socket = -1;
kestivane::answer_state *state = nullptr;

int udp_socket(const char *ip) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &at.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&at), sizeof at) != 0) {
        std::perror("UDP socket on loopback");
        std::abort();
    }
    return fd;
}

uint64_t dropped(int on, answer_drop reason) {
    return kestivane::metrics::of_interface(on).answers.dropped[static_cast<std::size_t>(reason)].get();
}

void make_pair(int &relay_end, int &our_end) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    relay_end = fds[0];
    our_end = fds[1];
    fcntl(our_end, F_SETFL, O_NONBLOCK);
}

// The measure of what the relay received: the first count bytes, zero
// behind them.
int32_t measure_received(const uint8_t *bytes, std::size_t count) {
    auto message = std::make_unique<dhcp_packet>();
    std::memset(message.get(), 0, sizeof *message);
    std::memcpy(message.get(), bytes, count);
    return get_dhcp_len(message.get());
}

// A datagram shorter than a BOOTP message is taken only when it holds a
// whole DHCP message: the cookie, and options that reach END before the
// datagram ends.
bool whole_message(const uint8_t *bytes, std::size_t count) {
    static const uint8_t cookie[4] = {99, 130, 83, 99};
    if (count < 241 || std::memcmp(bytes + 236, cookie, 4) != 0) return false;
    std::size_t p = 240;
    while (p < count) {
        if (bytes[p] == 255) return true;
        if (bytes[p] == 0) {
            ++p;
        } else {
            if (p + 1 >= count) return false;
            p += 2 + bytes[p + 1];
        }
    }
    return false;
}

int destination_of(const uint8_t *message) {
    for (int i = 0; i < interfaces; ++i)
        if (std::memcmp(message + msg_giaddr, &fakes[i].record.ip, 4) == 0) return i;
    return -1;
}

void check_frame(const uint8_t *frame, std::size_t len, const uint8_t *message, int32_t measure,
                 const struct interface &to) {
    auto measured = static_cast<std::size_t>(measure);
    std::size_t padded = std::min<std::size_t>(300, static_cast<std::size_t>(max_packet_size) - headers_size);
    FUZZ_CHECK(len == headers_size + std::max(measured, padded));
    FUZZ_CHECK(std::memcmp(frame + headers_size, message, measured) == 0);
    for (std::size_t i = headers_size + measured; i < len; ++i) FUZZ_CHECK(frame[i] == 0);
    FUZZ_CHECK(load_be16(frame + ip_len) == len - 14);
    FUZZ_CHECK(load_be16(frame + udp_len) == len - 34);
    FUZZ_CHECK(ip_checksum(frame + ip_vhl, ip_header_size) == 0);
    FUZZ_CHECK(udp_checksum(frame) == 0);
    FUZZ_CHECK(load_be16(frame + udp_sum) != 0); // 0 would say "no checksum"
    FUZZ_CHECK(load_be16(frame + eth_type) == ethertype_ipv4);
    FUZZ_CHECK(frame[ip_vhl] == 0x45 && frame[ip_tos] == 0x10 && frame[ip_ttl] == 16 && frame[ip_proto] == 17);
    FUZZ_CHECK(load_be16(frame + ip_id) == 0 && load_be16(frame + ip_off) == 0);
    FUZZ_CHECK(std::memcmp(frame + eth_src, to.mac, 6) == 0);
    FUZZ_CHECK(std::memcmp(frame + ip_src, &to.ip, 4) == 0);
    FUZZ_CHECK(load_be16(frame + udp_sport) == 67 && load_be16(frame + udp_dport) == 68);
    // To everyone, or to the client's hardware address and one of the
    // message's addresses for it.
    static const uint8_t everyone[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    bool broadcast = std::memcmp(frame + eth_dst, everyone, 6) == 0 &&
                     std::memcmp(frame + ip_dst, everyone, 4) == 0;
    if (message[msg_op] == op_reply && (message[msg_flags] & flag_broadcast) != 0) FUZZ_CHECK(broadcast);
    if (!broadcast) {
        FUZZ_CHECK(std::memcmp(frame + eth_dst, message + msg_chaddr, 6) == 0);
        FUZZ_CHECK(std::memcmp(frame + ip_dst, message + msg_yiaddr, 4) == 0 ||
                   std::memcmp(frame + ip_dst, message + msg_ciaddr, 4) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kestivane::fuzz::quiet_logging();
    bootps_port = htons(67);
    bootpc_port = htons(68);
    const char *addresses[interfaces] = {"198.51.100.1", "203.0.113.1"};
    static char server_names[interfaces][16] = {"127.0.0.2", "127.0.0.3"};
    for (int i = 0; i < interfaces; ++i) {
        fake_interface &f = fakes[i];
        f.record.idx = i;
        std::snprintf(f.record.name, sizeof f.record.name, "fuzz%d", i);
        inet_pton(AF_INET, addresses[i], &f.record.ip);
        const uint8_t mac[6] = {0x02, 0, 0x5e, 0x10, 0xff, static_cast<uint8_t>(i)};
        std::memcpy(f.record.mac, mac, 6);
        f.record.sock = udp_socket("127.0.0.1");
        socklen_t len = sizeof f.to;
        getsockname(f.record.sock, reinterpret_cast<struct sockaddr *>(&f.to), &len);
        make_pair(f.record.bpf, f.wire_end);
        f.srv = i;
        f.record.srv_count = 1;
        f.record.srv_idx = &f.srv;
        f.server_record.name = server_names[i];
        f.server_record.addr.sin_family = AF_INET;
        f.server_record.addr.sin_port = htons(67);
        inet_pton(AF_INET, server_names[i], &f.server_record.addr.sin_addr);
        servers[i] = &f.server_record;
        server_socket[i] = udp_socket(server_names[i]);
        ifs[i] = &f.record;
    }
    stranger_socket = udp_socket("127.0.0.4");
    if_num = interfaces;
    srv_num = interfaces;
    plugins_number = 0;
    state = new kestivane::answer_state{};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    max_packet_size = in.ConsumeIntegralInRange<int32_t>(300, 1500);
    struct cut {
        std::size_t len;
        int on;
        uint16_t at;
        uint8_t value;
        int from;
    };
    std::vector<cut> cuts(in.ConsumeIntegralInRange<std::size_t>(1, 8));
    for (cut &c : cuts) {
        c.len = in.ConsumeIntegralInRange<std::size_t>(0, longest_datagram);
        c.on = in.ConsumeIntegralInRange<int>(0, interfaces - 1);
        c.at = in.ConsumeIntegralInRange<uint16_t>(0, longest_datagram);
        c.value = in.ConsumeIntegral<uint8_t>();
    }
    bool any_source = in.ConsumeBool();
    kestivane::answer_sources_accepted =
        any_source ? kestivane::answer_sources::any : kestivane::answer_sources::servers;
    for (cut &c : cuts) c.from = in.ConsumeIntegralInRange<int>(0, senders - 1);
    std::vector<uint8_t> body = in.ConsumeRemainingBytes<uint8_t>();
    body.resize(longest_datagram, 0);

    std::vector<uint8_t> datagram(longest_datagram);
    uint8_t frame[2048];
    for (const cut &c : cuts) {
        std::memcpy(datagram.data(), body.data(), longest_datagram);
        if (c.at < c.len) datagram[c.at] = c.value;
        int from = c.from == 0 ? server_socket[c.on] : c.from == 1 ? server_socket[1 - c.on] : stranger_socket;
        ssize_t sent = sendto(from, datagram.data(), c.len, 0, reinterpret_cast<struct sockaddr *>(&fakes[c.on].to),
                              sizeof fakes[c.on].to);
        FUZZ_CHECK(sent == static_cast<ssize_t>(c.len));
        const answer_drop judged[] = {answer_drop::not_a_reply, answer_drop::not_a_server, answer_drop::truncated};
        uint64_t before[3];
        for (int r = 0; r < 3; ++r) before[r] = dropped(c.on, judged[r]);
        kestivane::answer_pass(*state);

        // What the relay received: the datagram cut to its receive size.
        std::size_t room = static_cast<std::size_t>(max_packet_size) - headers_size;
        std::size_t count = std::min(c.len, room);
        bool long_enough = count >= 300 || whole_message(datagram.data(), count);
        int32_t measure = long_enough ? measure_received(datagram.data(), count) : 0;
        // Why it goes no further, of the reasons judged at the entry.
        int reason = -1;
        if (long_enough && datagram[msg_op] != op_reply) reason = 0;
        else if (long_enough && !any_source && c.from != 0) reason = 1;
        else if (long_enough && c.len > room && measure == 0) reason = 2;
        for (int r = 0; r < 3; ++r) FUZZ_CHECK(dropped(c.on, judged[r]) == before[r] + (r == reason ? 1 : 0));
        int to = measure != 0 && reason < 0 ? destination_of(datagram.data()) : -1;
        for (int i = 0; i < interfaces; ++i) {
            ssize_t got = recv(fakes[i].wire_end, frame, sizeof frame, 0);
            if (i != to) {
                FUZZ_CHECK(got < 0);
                continue;
            }
            FUZZ_CHECK(got > 0);
            check_frame(frame, static_cast<std::size_t>(got), datagram.data(), measure, fakes[i].record);
            FUZZ_CHECK(recv(fakes[i].wire_end, frame, sizeof frame, 0) < 0); // one frame only
        }
    }
    return 0;
}
