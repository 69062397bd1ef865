// The answer thread's pass, driven one pass at a time on loopback: each
// interface's answer socket is a UDP socket on 127.0.0.1, its servers and a
// stranger send from other loopback addresses, and the frames it writes
// arrive on the other end of a datagram socket pair. What is checked: who
// may answer on which interface, answers longer than the receive buffer,
// and that a socket swapped under a ready descriptor never stops the pass.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "core/wire.h"
#include "metrics/counters.h"
#include "net/answer.h"
#include "ipv4_address.h"

using namespace kestivane::wire;
using kestivane::test::addr;
using kestivane::metrics::answer_drop;

namespace {

// A UDP socket bound to ip and a free port. The relay's own are blocking,
// as the relay opens them.
int udp_socket(const char *ip, bool blocking = false) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = addr(ip);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        ADD_FAILURE() << "UDP socket on " << ip << ": " << std::strerror(errno);
        return -1;
    }
    return fd;
}

sockaddr_in bound_address(int fd) {
    sockaddr_in at{};
    socklen_t len = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr *>(&at), &len);
    return at;
}

// A message of size bytes: op, flags, giaddr, yiaddr, a chaddr, the cookie,
// option 53 and END at end_at (none when end_at is 0), zeros elsewhere.
std::vector<uint8_t> message(uint8_t op, uint32_t giaddr, std::size_t size, std::size_t end_at = 243) {
    std::vector<uint8_t> m(size, 0);
    m[msg_op] = op;
    m[1] = 1;
    m[2] = 6;
    std::memcpy(&m[msg_yiaddr], "\xc6\x33\x64\x14", 4); // 198.51.100.20
    std::memcpy(&m[msg_giaddr], &giaddr, 4);
    std::memcpy(&m[msg_chaddr], "\x02\x00\x5e\x00\x53\x21", 6);
    std::memcpy(&m[msg_fixed_size], "\x63\x82\x53\x63", 4);
    m[240] = 53;
    m[241] = 1;
    m[242] = 5;
    if (end_at != 0) m[end_at] = 255;
    return m;
}

// The server_answer hook of the swap test: on the first answer it sees, it
// does what the interface watcher does when an interface moves to another
// address, a fresh socket put under the old one's number.
std::atomic<int> swap_onto{-1};
std::atomic<int> swap_with{-1};
int32_t swap_socket(sockaddr_in *, dhcp_packet *) {
    int onto = swap_onto.exchange(-1);
    if (onto >= 0) dup2(swap_with.load(), onto);
    return 1;
}
char swap_name[] = "swap";
plugin swapper{swap_name, nullptr, nullptr, nullptr, nullptr, swap_socket, nullptr};

class answer_path : public testing::Test {
protected:
    static constexpr int interfaces = 2;
    struct fake {
        interface record{};
        int32_t srv = 0;
        int wire_end = -1;
    };
    std::array<fake, interfaces> fakes;
    std::array<server, interfaces> server_records{};
    char server_names[interfaces][16] = {"127.0.0.2", "127.0.0.3"};
    // Interface i forwards to server i, which answers from 127.0.0.(2 + i);
    // the stranger is none of them.
    int server_of[interfaces] = {-1, -1};
    int stranger = -1;
    std::unique_ptr<kestivane::answer_state> state = std::make_unique<kestivane::answer_state>();
    int32_t saved_debug = debug;

    void SetUp() override {
        debug = 1;
        bootps_port = htons(67);
        bootpc_port = htons(68);
        max_packet_size = 1400;
        kestivane::answer_sources_accepted = kestivane::answer_sources::servers;
        const char *relay_ips[interfaces] = {"198.51.100.1", "198.51.100.65"};
        for (int i = 0; i < interfaces; ++i) {
            fake &f = fakes[static_cast<std::size_t>(i)];
            f.record.idx = i;
            std::snprintf(f.record.name, sizeof f.record.name, "seg%d", i);
            f.record.ip = addr(relay_ips[i]);
            const uint8_t mac[6] = {0x02, 0, 0x5e, 0x10, 0xfe, static_cast<uint8_t>(i)};
            std::memcpy(f.record.mac, mac, 6);
            f.record.sock = udp_socket("127.0.0.1", true);
            int pair[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
            f.record.bpf = pair[0];
            f.wire_end = pair[1];
            fcntl(f.wire_end, F_SETFL, O_NONBLOCK);
            f.srv = i;
            f.record.srv_count = 1;
            f.record.srv_idx = &f.srv;
            ifs[i] = &f.record;

            server &s = server_records[static_cast<std::size_t>(i)];
            s.name = server_names[i];
            s.addr.sin_family = AF_INET;
            s.addr.sin_port = htons(67);
            s.addr.sin_addr.s_addr = addr(server_names[i]);
            servers[i] = &s;
            server_of[i] = udp_socket(server_names[i]);
        }
        if_num = interfaces;
        srv_num = interfaces;
        stranger = udp_socket("127.0.0.4");
    }

    void TearDown() override {
        for (int i = 0; i < interfaces; ++i) {
            close(fakes[static_cast<std::size_t>(i)].record.sock);
            close(fakes[static_cast<std::size_t>(i)].record.bpf);
            close(fakes[static_cast<std::size_t>(i)].wire_end);
            close(server_of[i]);
            ifs[i] = nullptr;
            servers[i] = nullptr;
        }
        close(stranger);
        if_num = 0;
        srv_num = 0;
        plugins[0] = nullptr;
        plugins_number = 0;
        max_packet_size = 1400;
        debug = saved_debug;
        kestivane::answer_sources_accepted = kestivane::answer_sources::servers;
    }

    void send_to(int from, int on, const std::vector<uint8_t> &bytes) {
        sockaddr_in to = bound_address(fakes[static_cast<std::size_t>(on)].record.sock);
        ASSERT_EQ(sendto(from, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    // One pass; what it logged.
    std::string pass() {
        testing::internal::CaptureStdout();
        kestivane::answer_pass(*state);
        return testing::internal::GetCapturedStdout();
    }

    // The length of the next frame written on interface i, -1 for none.
    ssize_t frame_on(int i) {
        uint8_t frame[2048];
        return recv(fakes[static_cast<std::size_t>(i)].wire_end, frame, sizeof frame, 0);
    }

    uint64_t dropped(int i, answer_drop reason) {
        return kestivane::metrics::of_interface(i).answers.dropped[static_cast<std::size_t>(reason)].get();
    }
};

// Only replies from a server of the interface that received them go on;
// everything else is dropped before any hook, counted under its reason, and
// logged with its sender. With answer_sources=any the sender is not asked.
TEST_F(answer_path, AcceptsRepliesOnlyFromTheReceivingInterfacesServers) {
    enum sender { own_server, other_server, stranger_host };
    struct row {
        const char *name;
        sender from;
        uint8_t op;
        kestivane::answer_sources sources;
        answer_drop reason; // answer_drop::count: delivered
        const char *line;
    };
    const row rows[] = {
        {"a reply from the interface's server", own_server, 2, kestivane::answer_sources::servers,
         answer_drop::count, ""},
        {"a reply from a stranger", stranger_host, 2, kestivane::answer_sources::servers, answer_drop::not_a_server,
         "Answer from 127.0.0.4 on seg0, which is not a server of it. Dropped."},
        {"a reply from another interface's server", other_server, 2, kestivane::answer_sources::servers,
         answer_drop::not_a_server, "Answer from 127.0.0.3 on seg0, which is not a server of it. Dropped."},
        {"a request from the interface's server", own_server, 1, kestivane::answer_sources::servers,
         answer_drop::not_a_reply, "Message of op 1 from 127.0.0.2 on seg0 is not a reply. Dropped."},
        {"op 3 from the interface's server", own_server, 3, kestivane::answer_sources::servers,
         answer_drop::not_a_reply, "Message of op 3 from 127.0.0.2 on seg0 is not a reply. Dropped."},
        {"a reply from a stranger, any source", stranger_host, 2, kestivane::answer_sources::any,
         answer_drop::count, ""},
        {"a request from a stranger, any source", stranger_host, 1, kestivane::answer_sources::any,
         answer_drop::not_a_reply, "Message of op 1 from 127.0.0.4 on seg0 is not a reply. Dropped."},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        kestivane::answer_sources_accepted = r.sources;
        int from = r.from == own_server ? server_of[0] : r.from == other_server ? server_of[1] : stranger;
        uint64_t before = r.reason == answer_drop::count ? 0 : dropped(0, r.reason);
        // Received on segment 0's socket, for segment 1's clients.
        send_to(from, 0, message(r.op, addr("198.51.100.65"), 300));
        std::string log = pass();
        if (r.reason == answer_drop::count) {
            // The 244-byte message goes out padded to 300 bytes.
            EXPECT_EQ(frame_on(1), static_cast<ssize_t>(300 + headers_size));
            EXPECT_EQ(log, "");
        } else {
            EXPECT_EQ(frame_on(1), -1);
            EXPECT_EQ(dropped(0, r.reason), before + 1);
            EXPECT_EQ(log, std::string(r.line) + "\n");
        }
        EXPECT_EQ(frame_on(0), -1);
    }
}

// A datagram longer than max_packet_size lets in is taken in part. When its
// message ends within that part (padding cut off) it is delivered; otherwise
// it is dropped as too long, not blamed on plug-ins that were never there.
TEST_F(answer_path, TellsAnAnswerCutByTheReceiveBuffer) {
    max_packet_size = 600; // 558 bytes of message
    struct row {
        const char *name;
        std::size_t size, end_at;
        ssize_t frame; // -1: dropped as truncated
        const char *line;
    };
    const row rows[] = {
        {"END within the part taken", 700, 243, 300 + headers_size, ""},
        {"END beyond it", 700, 650, -1,
         "Answer of 700 bytes from 127.0.0.2 on seg0 has no END within the 558 bytes that max_packet_size lets in. "
         "Dropped."},
        {"no END at all", 1500, 0, -1,
         "Answer of 1500 bytes from 127.0.0.2 on seg0 has no END within the 558 bytes that max_packet_size lets "
         "in. Dropped."},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        uint64_t before = dropped(0, answer_drop::truncated);
        send_to(server_of[0], 0, message(2, addr("198.51.100.1"), r.size, r.end_at));
        std::string log = pass();
        EXPECT_EQ(frame_on(0), r.frame);
        EXPECT_EQ(dropped(0, answer_drop::truncated), before + (r.frame < 0 ? 1 : 0));
        EXPECT_EQ(log, r.line[0] == '\0' ? std::string() : std::string(r.line) + "\n");
    }
}

// The interface watcher puts a fresh socket under an interface's descriptor
// number while the answer thread is between its wait and its reads. The
// thread must not wait on the fresh, empty socket: it holds the interface
// lock there, and every segment's answers would stop behind it.
TEST_F(answer_path, GoesOnWhenAReadySocketIsSwapped) {
    int fresh = udp_socket("127.0.0.1", true);
    swap_with = fresh;
    swap_onto = fakes[1].record.sock;
    plugins[0] = &swapper;
    plugins_number = 1;
    // Both sockets ready; the hook swaps segment 1's while segment 0's
    // answer is in hand.
    send_to(server_of[0], 0, message(2, addr("198.51.100.1"), 300));
    send_to(server_of[1], 1, message(2, addr("198.51.100.65"), 300));

    std::atomic<bool> done{false};
    std::thread answers([&] {
        kestivane::answer_pass(*state);
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool finished = done;
    if (!finished) {
        // Wake the read that waits on the fresh socket, so the test ends.
        sockaddr_in to = bound_address(fakes[1].record.sock);
        auto wake = message(2, addr("198.51.100.65"), 300);
        sendto(server_of[1], wake.data(), wake.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    answers.join();
    close(fresh);
    ASSERT_TRUE(finished) << "the pass waited on the swapped socket";
    EXPECT_GT(frame_on(0), 0);

    // The other segment's answers keep flowing.
    send_to(server_of[0], 0, message(2, addr("198.51.100.1"), 300));
    testing::internal::CaptureStdout();
    kestivane::answer_pass(*state);
    testing::internal::GetCapturedStdout();
    EXPECT_GT(frame_on(0), 0);
}

} // namespace
