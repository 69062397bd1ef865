// Interface queries and look-ups, opening an interface, the request frame
// checks, the listeners' rate limit, and forwarding queued requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "core/wire.h"
#include "net/interface_channels.h"
#include "net/answer_backlog.h"
#include "net/listener.h"
#include "net/relay6.h"
#include "net/request_queue.h"
#include "net/reopen_interface.h"
#include "private_netns.h"

using namespace kestivane::wire;

namespace {

// Runs body with debug logging and returns what it printed.
template <typename Body>
std::string logged(Body body) {
    int32_t saved = debug;
    debug = 1;
    testing::internal::CaptureStdout();
    body();
    std::string out = testing::internal::GetCapturedStdout();
    debug = saved;
    return out;
}

uint32_t addr(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// Restores the tables the tests fill, whatever a test left in them.
class relay_tables : public testing::Test {
protected:
    void TearDown() override {
        for (int32_t i = 0; i < if_num; ++i) ifs[i] = nullptr;
        if_num = 0;
        for (int32_t i = 0; i < srv_num; ++i) servers[i] = nullptr;
        srv_num = 0;
        for (unsigned i = 0; i < plugins_number; ++i) plugins[i] = nullptr;
        plugins_number = 0;
        max_packet_size = 1400;
        max_hops = 4;
    }
};

// ---------------------------------------------------------------- look-ups

using interface_lookups = relay_tables;

TEST_F(interface_lookups, find_by_address_name_and_index) {
    EXPECT_EQ(find_interface(addr("198.51.100.1")), 0) << "empty table";

    interface a{}, b{}, c{};
    std::strcpy(a.name, "em1");
    a.ip = addr("198.51.100.1");
    std::strcpy(b.name, "em10");
    b.ip = addr("198.51.100.2");
    std::strcpy(c.name, "em2");
    c.ip = addr("198.51.100.2");
    ifs[0] = &a;
    ifs[1] = &b;
    ifs[2] = &c;
    if_num = 3;

    EXPECT_EQ(find_interface(addr("198.51.100.2")), 1) << "shared address: the lower index";
    EXPECT_EQ(find_interface(addr("203.0.113.9")), 3) << "no match gives if_num";
    EXPECT_EQ(get_interface_by_idx(-1), nullptr);
    EXPECT_EQ(get_interface_by_idx(3), nullptr);
    EXPECT_EQ(get_interface_by_idx(2), &c);
    EXPECT_EQ(get_interface_by_name("em10"), &b);
    EXPECT_EQ(get_interface_by_name("em1"), &a) << "whole names, not prefixes";
    EXPECT_EQ(get_interface_by_name("em"), nullptr);
    EXPECT_EQ(get_interface_by_name("em100"), nullptr);
}

// ---------------------------------------------------------- system queries

TEST(interface_queries, loopback_addresses) {
    uint8_t mac[6];
    std::memset(mac, 0xAA, sizeof mac);
    EXPECT_EQ(get_mac("lo", mac), 1);
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), std::vector<uint8_t>(6, 0)) << "lo's address is all zeros";

    uint32_t ip = 0;
    EXPECT_EQ(get_ip("lo", &ip, nullptr), 1);
    EXPECT_EQ(ip, addr("127.0.0.1"));
    EXPECT_EQ(get_ip("lo", nullptr, nullptr), 1) << "a name and two nulls: has it an IPv4 address";
    uint32_t wanted = addr("127.0.0.1");
    ip = 0;
    EXPECT_EQ(get_ip("lo", &ip, &wanted), 1);
    EXPECT_EQ(ip, wanted);
    wanted = addr("198.51.100.200");
    ip = 7;
    EXPECT_EQ(get_ip("lo", &ip, &wanted), 0) << "an address lo does not carry";
    EXPECT_EQ(ip, 7u);
}

TEST(interface_queries, unknown_interface) {
    uint8_t mac[6];
    std::memset(mac, 0xAA, sizeof mac);
    std::string out = logged([&] { EXPECT_EQ(get_mac("kst-nosuch0", mac), 0); });
    EXPECT_EQ(out, "can't find mac for interface kst-nosuch0\n");
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), std::vector<uint8_t>(6, 0xAA)) << "destination untouched";
    uint32_t ip = 7;
    EXPECT_EQ(get_ip("kst-nosuch0", &ip, nullptr), 0);
    EXPECT_EQ(ip, 7u);
    EXPECT_EQ(get_ip("l", &ip, nullptr), 0) << "names compare whole";
}

// --------------------------------------- inside a private network namespace


TEST(interface_queries, wanted_address_may_be_the_second) {
    in_private_netns([] {
        failures = 0;
        if (std::system("ip addr add 198.51.100.9/24 dev lo") != 0) return 1;
        uint32_t ip = 0;
        CHECK(get_ip("lo", &ip, nullptr) == 1 && ip == addr("127.0.0.1"));
        uint32_t wanted = addr("198.51.100.9");
        ip = 0;
        CHECK(get_ip("lo", &ip, &wanted) == 1 && ip == wanted);
        // A link with no IPv4 address at all.
        if (std::system("ip link add kst-a type veth peer name kst-b") != 0) return 1;
        CHECK(get_ip("kst-a", nullptr, nullptr) == 0);
        uint8_t mac[6] = {};
        CHECK(get_mac("kst-a", mac) == 1);
        CHECK(std::vector<uint8_t>(mac, mac + 6) != std::vector<uint8_t>(6, 0));
        return failures;
    });
}

TEST(open_interface, opens_channels_and_grows_the_server_list) {
    in_private_netns([] {
        failures = 0;
        if (std::system("ip addr add 198.51.100.9/24 dev lo && "
                        "ip link add kst-a type veth peer name kst-b && ip link set kst-a up") != 0)
            return 1;
        bootps_port = htons(67);
        srv_num = 0;

        std::string out = logged([] { CHECK(open_interface("kst-nosuch0") == 0); });
        CHECK(out.find("Trying to open interface: kst-nosuch0\n") != std::string::npos);
        CHECK(if_num == 0 && ifs[0] == nullptr);
        // A link without an IPv4 address is not opened either.
        CHECK(open_interface("kst-a") == 0);
        CHECK(if_num == 0 && ifs[0] == nullptr);

        // A binding to lo's second address chooses it over the first.
        ip_binding binding{};
        char lo_name[] = "lo";
        binding.ifname = lo_name;
        binding.ip = addr("198.51.100.9");
        STAILQ_INSERT_TAIL(&ip_binding_map_head, &binding, next);
        out = logged([] { CHECK(open_interface("lo") == 1); });
        CHECK(if_num == 1);
        interface *lo = ifs[0];
        CHECK(lo != nullptr && lo->idx == 0 && std::strcmp(lo->name, "lo") == 0);
        CHECK(lo->ip == addr("198.51.100.9"));
        CHECK(lo->bpf >= 0 && lo->cap != nullptr && lo->sock >= 0);
        CHECK(lo->srv_count == 1 && lo->srv_idx[0] == -1);
        CHECK(out.find("Listen at lo: 198.51.100.9, 00:00:00:00:00:00\n") != std::string::npos);

        // The socket is bound to the address and the bootps port.
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(lo->sock, reinterpret_cast<sockaddr *>(&bound), &len);
        CHECK(bound.sin_addr.s_addr == addr("198.51.100.9") && bound.sin_port == htons(67));

        // Opening it again adds the newest server (-1 while there is none)
        // until the list is as long as the server table.
        CHECK(open_interface("lo") == 1);
        CHECK(if_num == 1 && lo->srv_count == 2 && lo->srv_idx[1] == -1);
        srv_num = 3;
        CHECK(open_interface("lo") == 1);
        CHECK(lo->srv_count == 3 && lo->srv_idx[2] == 2);
        CHECK(open_interface("lo") == 1);
        CHECK(if_num == 1 && lo->srv_count == 3);
        return failures;
    });
}

// The index a packet socket is bound to.
int bound_index(int fd) {
    sockaddr_ll link{};
    socklen_t len = sizeof link;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&link), &len) != 0) return -1;
    return link.sll_ifindex;
}

// Reopening on a new link moves the frame output together with the
// record's addresses or not at all: a reopening that fails half-way must
// not leave answers going out on the new link with the old hardware
// address. Each row tries one reopening of kst-a's record onto kst-c.
TEST(reopen_interface, frame_output_moves_with_the_addresses_or_not_at_all) {
    in_private_netns([] {
        failures = 0;
        if (std::system("ip link add kst-a type veth peer name kst-b && ip link add kst-c type veth peer name kst-d && "
                        "ip addr add 198.51.100.9/24 dev kst-a && ip addr add 198.51.100.10/24 dev kst-c && "
                        "ip link set kst-a up && ip link set kst-c up") != 0)
            return 1;
        bootps_port = htons(67);
        srv_num = 0;
        CHECK(open_interface("kst-a") == 1);
        interface *iface = ifs[0];
        if (iface == nullptr) return failures + 1;
        const int old_index = static_cast<int>(if_nametoindex("kst-a"));
        const unsigned new_index = if_nametoindex("kst-c");
        uint8_t old_mac[6];
        std::memcpy(old_mac, iface->mac, 6);
        uint8_t new_mac[6];
        CHECK(get_mac("kst-c", new_mac) == 1);
        struct row {
            const char *what;
            const char *ip;
            bool done;
        } rows[] = {
            // 192.0.2.77 is on no link: its socket cannot be bound.
            {"a new address that cannot be bound", "192.0.2.77", false},
            {"the same address on the new link", "198.51.100.9", true},
        };
        for (const row &r : rows) {
            const bool done = kestivane::reopen_interface(iface, new_index, new_mac, addr(r.ip), false) ==
                              kestivane::reopen_result::done;
            if (done != r.done) std::fprintf(stderr, "row '%s': done=%d\n", r.what, done);
            CHECK(done == r.done);
            CHECK(bound_index(iface->bpf) == (r.done ? static_cast<int>(new_index) : old_index));
            CHECK(std::memcmp(iface->mac, r.done ? new_mac : old_mac, 6) == 0);
            CHECK(iface->ip == addr("198.51.100.9"));
        }
        return failures;
    });
}

// The DHCPv6 link-address as a lower interface's addresses change: the
// one in use while the link keeps it, else its first global address (never
// a link-local one), else ::.
TEST(link_address6, follows_the_addresses_of_the_link) {
    const auto a6 = [](const char *text) {
        in6_addr a{};
        inet_pton(AF_INET6, text, &a);
        return a;
    };
    struct row {
        const char *what;
        const char *current;
        std::vector<const char *> addresses;
        const char *chosen;
    } rows[] = {
        {"kept while the link has it", "2001:db8:0:1::1", {"fe80::1", "2001:db8:0:2::1", "2001:db8:0:1::1"},
         "2001:db8:0:1::1"},
        {"gone: the first global one", "2001:db8:0:1::1", {"fe80::1", "2001:db8:0:21::1", "2001:db8:0:22::1"},
         "2001:db8:0:21::1"},
        {"none before: the first global one", "::", {"fe80::1", "2001:db8:0:21::1"}, "2001:db8:0:21::1"},
        {"only link-local left: ::", "2001:db8:0:1::1", {"fe80::1"}, "::"},
        {"no address at all: ::", "2001:db8:0:1::1", {}, "::"},
    };
    for (const row &r : rows) {
        kestivane::platform::link_view view;
        for (const char *text : r.addresses) view.ipv6.push_back(a6(text));
        const in6_addr chosen = kestivane::relay6::choose_link_address(a6(r.current), view);
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &chosen, text, sizeof text);
        EXPECT_STREQ(text, r.chosen) << r.what;
    }
}

TEST(open_interface, refuses_the_hundredth) {
    // process_error exits the process; run it where that is harmless.
    EXPECT_EXIT(
        {
            if_num = kestivane::interfaces_limit;
            open_interface("lo");
        },
        testing::ExitedWithCode(32), "too many interfaces");
}

// ------------------------------------------------------------ frame checks

// A request frame of len bytes: IPv4 EtherType, the given UDP length, and
// the given bytes from the options' offset on (the rest zero).
std::vector<uint8_t> request_frame(std::size_t len, uint16_t udp_length, std::vector<uint8_t> options) {
    std::vector<uint8_t> f(len, 0);
    store_be16(f.data() + eth_type, ethertype_ipv4);
    store_be16(f.data() + udp_len, udp_length);
    if (len > headers_size) f[headers_size + msg_op] = op_request;
    for (std::size_t i = 0; i < options.size() && frame_options + i < len; ++i) f[frame_options + i] = options[i];
    return f;
}

std::string check_line(const std::vector<uint8_t> &f, uint32_t len, int32_t expected) {
    return logged([&] { EXPECT_EQ(sanity_check(f.data(), len), expected); });
}

class frame_checks : public relay_tables {};

TEST_F(frame_checks, shortest_frame_passes_only_with_end) {
    auto f = request_frame(283, 241, {255});
    EXPECT_EQ(check_line(f, 283, 1), "");
    f[frame_options] = 0;
    EXPECT_EQ(check_line(f, 283, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n");
    // Shorter than 283, nothing can hold END.
    auto g = request_frame(282, 241, {});
    EXPECT_EQ(check_line(g, 282, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n");
}

TEST_F(frame_checks, lengths) {
    max_packet_size = 400;
    auto f = request_frame(401, 241, {255});
    EXPECT_EQ(check_line(f, 401, 0), "length too big -- packet discarded\n");
    auto g = request_frame(400, 241, {255});
    EXPECT_EQ(check_line(g, 400, 1), "");
    // The length is unsigned: a huge one is too big, not negative.
    EXPECT_EQ(check_line(g, 0xFFFFFFFFu, 0), "length too big -- packet discarded\n");
    auto h = request_frame(277, 241, {255});
    EXPECT_EQ(check_line(h, 277, 0), "length too little -- packet discarded\n");
    auto i = request_frame(278, 241, {});
    EXPECT_EQ(check_line(i, 278, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n")
        << "278 bytes pass the length checks";
}

TEST_F(frame_checks, ether_type_and_udp_length) {
    auto vlan = request_frame(300, 241, {255});
    store_be16(vlan.data() + eth_type, 0x8100);
    EXPECT_EQ(check_line(vlan, 300, 0), "wrong ether type -- packet discarded\n");
    auto short_udp = request_frame(300, 240, {255});
    EXPECT_EQ(check_line(short_udp, 300, 0), "not enough DHCP data -- packet ignore\n");
    auto enough = request_frame(300, 241, {255});
    EXPECT_EQ(check_line(enough, 300, 1), "");
}

TEST_F(frame_checks, first_failing_check_speaks) {
    // Too big, wrong type and short UDP at once: only the first is told.
    max_packet_size = 300;
    auto f = request_frame(301, 10, {});
    store_be16(f.data() + eth_type, 0x86dd);
    EXPECT_EQ(check_line(f, 301, 0), "length too big -- packet discarded\n");
    auto g = request_frame(300, 10, {});
    store_be16(g.data() + eth_type, 0x86dd);
    EXPECT_EQ(check_line(g, 300, 0), "wrong ether type -- packet discarded\n");
}

TEST_F(frame_checks, option_walk) {
    // PADs, an option, then END.
    auto f = request_frame(300, 241, {0, 0, 53, 1, 1, 255});
    EXPECT_EQ(check_line(f, 300, 1), "");
    // An option whose length carries the walk past the captured bytes.
    auto g = request_frame(300, 241, {61, 200, 255});
    EXPECT_EQ(check_line(g, 300, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n");
    // An option code in the last captured byte has no length byte.
    auto h = request_frame(290, 241, {0, 0, 0, 0, 0, 0, 0, 12});
    EXPECT_EQ(check_line(h, 290, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n");
    // END after the captured length does not count.
    auto i = request_frame(300, 241, {0, 0, 0, 255});
    EXPECT_EQ(check_line(i, 285, 0), "malformed dhcp packet (can't find option 255) -- packet ignore\n");
    // A reply passes the checks: dropping it is the listener's business.
    auto j = request_frame(300, 241, {255});
    j[headers_size + msg_op] = op_reply;
    EXPECT_EQ(check_line(j, 300, 1), "");
}

// ---------------------------------------------------------------- listener

// A whole request frame with the given xid and op, END right after option 53.
std::vector<uint8_t> capture_frame(uint32_t xid, uint8_t op) {
    auto f = request_frame(300, 300 - 34, {53, 1, 1, 255});
    f[headers_size + msg_op] = op;
    f[ip_dst] = 255, f[ip_dst + 1] = 255, f[ip_dst + 2] = 255, f[ip_dst + 3] = 255;
    for (int i = 0; i < 4; ++i) f[headers_size + msg_xid + i] = static_cast<uint8_t>(xid >> (24 - 8 * i));
    std::fill(f.begin() + headers_size + 44, f.begin() + headers_size + 60, 0x5a); // sname, to see the copy
    return f;
}

uint32_t xid_of(const dhcp_packet &p) {
    const auto *m = reinterpret_cast<const uint8_t *>(&p);
    return static_cast<uint32_t>(m[4]) << 24 | m[5] << 16 | m[6] << 8 | m[7];
}

// The client_request hook of the listener test: rewrites the frame's IPv4
// destination and rejects the request with xid 0xB.
int32_t test_client_request(interface * /*iface*/, dhcp_packet *packet, frame_headers *headers) {
    const uint8_t rewritten[4] = {198, 51, 100, 255};
    std::memcpy(headers->ip_dst, rewritten, 4);
    return xid_of(*packet) == 0xB ? 0 : 1;
}

TEST(listener, checks_hooks_rate_and_queue) {
    // A datagram socket pair stands in for the packet socket: each frame
    // written to one end is one frame for the listener at the other.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    {
        auto vlan = capture_frame(0xF, op_request);
        store_be16(vlan.data() + eth_type, 0x8100);
        std::vector<std::vector<uint8_t>> frames = {
            capture_frame(0xA, op_request), capture_frame(0xE, op_reply), vlan,
            capture_frame(0xB, op_request), capture_frame(0xC, op_request),
            capture_frame(0xD, op_request), capture_frame(0x10, op_request)};
        for (const auto &f : frames) ASSERT_EQ(send(pair[1], f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    }
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The listener never returns; it runs in a child that ends when done.
        failures = 0;
        static interface iface{};
        std::strcpy(iface.name, "kst0");
        iface.idx = 0;
        if (!kestivane::request_capture(0).adopt(pair[0])) _exit(2);
        ifs[0] = &iface;
        if_num = 1;
        static char name[] = "tester";
        static plugin tester{};
        tester.name = name;
        tester.client_request = test_client_request;
        plugins[0] = &tester;
        plugins_number = 1;
        rps_limit = 1;
        debug = 1;
        testing::internal::CaptureStdout();
        pthread_t thread;
        pthread_create(&thread, nullptr, listener, &iface);
        // Every frame is read at once; give the listener time to queue them.
        usleep(300000);
        pthread_mutex_lock(&queue_lock);
        std::vector<queue_item *> items;
        for (queue_item *item = STAILQ_FIRST(&q_head); item != nullptr; item = STAILQ_NEXT(item, next))
            items.push_back(item);
        int32_t size = queue_size;
        pthread_mutex_unlock(&queue_lock);
        std::string out = testing::internal::GetCapturedStdout();

        // Limit 1: frames 1-2 pass, 3 opens a window, 4-5 pass, 6-7 are over.
        CHECK(out == "wrong ether type -- packet discarded\n"
                     "The packet rejected by tester plugin\n"
                     "The packet on interface kst0 droped due to RPS limit\n"
                     "The packet on interface kst0 droped due to RPS limit\n");
        CHECK(size == 2 && items.size() == 2);
        if (items.size() == 2) {
            CHECK(xid_of(items[0]->buf) == 0xA && xid_of(items[1]->buf) == 0xC);
            for (queue_item *item : items) {
                const auto *m = reinterpret_cast<const uint8_t *>(&item->buf);
                CHECK(item->if_idx == 0);
                CHECK(item->dst_ip == addr("198.51.100.255"));
                CHECK(m[44] == 0x5a && m[59] == 0x5a);
                CHECK(m[240] == 53 && m[243] == 255);
                bool zero_after = true;
                for (std::size_t i = 300 - headers_size; i < sizeof item->buf; ++i) zero_after &= m[i] == 0;
                CHECK(zero_after);
            }
        }
        if (failures != 0) std::fprintf(stderr, "listener printed:\n%s", out.c_str());
        _exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(pair[0]);
    close(pair[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's CHECK lines above";
}

// -------------------------------------------------------------- rate limit

struct fake_clock {
    struct timespec now{100, 0};
    int reads = 0;
    struct timespec operator()() {
        ++reads;
        return now;
    }
    void advance_us(long us) {
        long ns = now.tv_nsec + us * 1000;
        now.tv_sec += ns / 1000000000;
        now.tv_nsec = ns % 1000000000;
    }
};

std::string admitted(kestivane::request_rate_limit &rate, uint32_t limit, fake_clock &clock, int frames) {
    std::string out;
    for (int i = 0; i < frames; ++i) {
        out += rate.admit(limit, clock) ? '+' : '-';
        clock.advance_us(100);
    }
    return out;
}

TEST(rate_limit, off_never_reads_the_clock) {
    kestivane::request_rate_limit rate;
    fake_clock clock;
    EXPECT_EQ(admitted(rate, 0, clock, 50), std::string(50, '+'));
    EXPECT_EQ(clock.reads, 0);
}

TEST(rate_limit, burst_after_start_and_next_window) {
    kestivane::request_rate_limit rate;
    fake_clock clock;
    // 1-3 under the limit, 4 opens a window, 5-7 under it, 8-10 dropped.
    EXPECT_EQ(admitted(rate, 2, clock, 10), "+++++++---");
    EXPECT_EQ(clock.reads, 4) << "read only for frames over the limit";
    // Frame 4 came at +300us; a nanosecond short of a second after it the
    // window is still open...
    clock.now = {101, 299999};
    EXPECT_FALSE(rate.admit(2, clock));
    // ...and a full second after it the next window opens.
    clock.now = {101, 300000};
    EXPECT_TRUE(rate.admit(2, clock));
    EXPECT_EQ(admitted(rate, 2, clock, 5), "+++--");
}

TEST(rate_limit, negative_limit_is_a_large_unsigned_one) {
    kestivane::request_rate_limit rate;
    fake_clock clock;
    EXPECT_EQ(admitted(rate, static_cast<uint32_t>(-1), clock, 100), std::string(100, '+'));
    EXPECT_EQ(clock.reads, 0);
}

// --------------------------------------------------------------- forwarding

// A UDP socket on loopback with a port of the system's choosing.
struct udp_endpoint {
    int fd = -1;
    sockaddr_in address{};
    udp_endpoint() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t len = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len);
    }
    ~udp_endpoint() { close(fd); }
    udp_endpoint(const udp_endpoint &) = delete;
    udp_endpoint &operator=(const udp_endpoint &) = delete;

    // The next datagram, or nothing within a short wait.
    std::vector<uint8_t> receive(int timeout_ms = 200) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return {};
        std::vector<uint8_t> data(2000);
        ssize_t n = recv(fd, data.data(), data.size(), 0);
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return data;
    }
};

// What the test plug-in's send_to_server hook does.
enum class hook_action { accept, reject_first_server, drop_end, move_interface };
hook_action action = hook_action::accept;
in_port_t first_server_port = 0;
int hook_calls = 0;

int32_t test_send_to_server(sockaddr_in *server, interface * /*iface*/, queue_item *item) {
    ++hook_calls;
    switch (action) {
    case hook_action::accept:
        return 1;
    case hook_action::reject_first_server:
        return server->sin_port == first_server_port ? 0 : 1;
    case hook_action::drop_end:
        item->buf.options[4] = 0;
        return 1;
    case hook_action::move_interface:
        item->if_idx = 7;
        return 1;
    }
    return 1;
}

class forwarding : public relay_tables {
protected:
    udp_endpoint relay_socket, first, second;
    interface iface{};
    server servers_store[2]{};
    int32_t srv_list[2] = {0, 1};
    char plugin_name[8] = "tester";
    plugin tester{};

    void SetUp() override {
        std::strcpy(iface.name, "kst0");
        iface.sock = relay_socket.fd;
        iface.ip = addr("198.51.100.1");
        iface.srv_count = 2;
        iface.srv_idx = srv_list;
        ifs[0] = &iface;
        if_num = 1;
        servers_store[0].addr = first.address;
        servers_store[1].addr = second.address;
        servers[0] = &servers_store[0];
        servers[1] = &servers_store[1];
        srv_num = 2;
        first_server_port = first.address.sin_port;
        tester.name = plugin_name;
        tester.send_to_server = test_send_to_server;
        action = hook_action::accept;
        hook_calls = 0;
    }

    // A queued request with hops and giaddr as given, options 53 and END.
    static queue_item *request(uint8_t hops, uint32_t giaddr = 0) {
        auto *item = static_cast<queue_item *>(std::calloc(1, sizeof(queue_item)));
        item->buf.op = op_request;
        item->buf.hops = hops;
        item->buf.giaddr = giaddr;
        const uint8_t options[] = {99, 130, 83, 99};
        std::memcpy(item->buf.cookie, options, 4);
        const uint8_t opts[] = {53, 1, 1, 0, 255};
        std::memcpy(item->buf.options, opts, sizeof opts);
        item->if_idx = 0;
        return item;
    }
};

TEST_F(forwarding, hops_giaddr_and_measured_length) {
    process_queue(request(3));
    for (udp_endpoint *to : {&first, &second}) {
        auto got = to->receive();
        ASSERT_EQ(got.size(), 245u) << "exactly through END, not the whole buffer";
        EXPECT_EQ(got[msg_hops], 4);
        uint32_t giaddr;
        std::memcpy(&giaddr, got.data() + msg_giaddr, 4);
        EXPECT_EQ(giaddr, addr("198.51.100.1"));
    }
    process_queue(request(0, addr("203.0.113.7")));
    auto got = first.receive();
    ASSERT_EQ(got.size(), 245u);
    uint32_t giaddr;
    std::memcpy(&giaddr, got.data() + msg_giaddr, 4);
    EXPECT_EQ(giaddr, addr("203.0.113.7")) << "an earlier relay's giaddr stays";
    EXPECT_EQ(got[msg_hops], 1);
}

TEST_F(forwarding, hop_limit_and_empty_server_list) {
    std::string out = logged([&] { process_queue(request(4)); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(first.receive(50).empty());
    max_hops = 16;
    process_queue(request(15));
    EXPECT_EQ(first.receive().size(), 245u);
    EXPECT_EQ(second.receive().size(), 245u);
    iface.srv_count = 0;
    process_queue(request(0));
    EXPECT_TRUE(first.receive(50).empty());
    EXPECT_TRUE(second.receive(50).empty());
}

TEST_F(forwarding, rejection_is_per_server) {
    plugins[0] = &tester;
    plugins_number = 1;
    action = hook_action::reject_first_server;
    std::string out = logged([&] { process_queue(request(0)); });
    EXPECT_EQ(out, "The packet rejected by tester plugin\n");
    EXPECT_TRUE(first.receive(50).empty());
    EXPECT_EQ(second.receive().size(), 245u);
    EXPECT_EQ(hook_calls, 2);
}

TEST_F(forwarding, malformed_after_hooks_is_dropped_for_every_server) {
    plugins[0] = &tester;
    plugins_number = 1;
    action = hook_action::drop_end;
    std::string out = logged([&] { process_queue(request(0)); });
    EXPECT_EQ(out, "send_to_server: plugins generated wrong packet. Dropped.\n"
                   "send_to_server: plugins generated wrong packet. Dropped.\n");
    EXPECT_TRUE(first.receive(50).empty());
    EXPECT_TRUE(second.receive(50).empty());
}

TEST_F(forwarding, hook_moving_the_interface_out_of_the_table) {
    plugins[0] = &tester;
    plugins_number = 1;
    action = hook_action::move_interface;
    std::string out = logged([&] { process_queue(request(0)); });
    EXPECT_EQ(out, "Interface index 7 of a queued request is out of range. Dropped.\n");
    EXPECT_EQ(hook_calls, 1);
    EXPECT_TRUE(first.receive(50).empty());
    EXPECT_TRUE(second.receive(50).empty());
}

// With the consumer waiting idle, the listener forwards a request itself
// (the servers have it before anything is queued) when it came in a small
// read or first in a larger one, and when no send_to_server hook has to see
// it on the forwarding thread; otherwise the consumer takes it off the queue.
TEST_F(forwarding, the_listener_forwards_small_reads_itself) {
    struct Case {
        uint32_t position, read_size;
        bool hook, here;
    };
    constexpr uint32_t most = kestivane::capture_work::here_per_read;
    const Case cases[] = {
        {1, 1, false, true},           {most, most, false, true},       {1, most + 1, false, true},
        {2, most + 1, false, false},   {0, 0, false, false},            {1, 1, true, false},
    };
    kestivane::answer_backlog answers;
    kestivane::capture_work work{};
    const auto frame = capture_frame(0x42, op_request);
    for (const Case &c : cases) {
        plugins[0] = &tester;
        plugins_number = c.hook ? 1 : 0;
        queue_item *taken = nullptr;
        std::thread consumer([&] { taken = kestivane::request_queue::take(&answers); });
        for (int i = 0; i < 5000 && !kestivane::request_queue::may_forward_here(); ++i) usleep(1000);
        work.read_position = c.position;
        work.read_size = c.read_size;
        kestivane::handle_captured_frame(&iface, work, frame.data(), static_cast<uint32_t>(frame.size()));
        const bool arrived = !first.receive(c.here ? 200 : 50).empty();
        EXPECT_EQ(arrived, c.here) << "read of " << c.read_size << ", frame " << c.position << (c.hook ? ", hook" : "");
        if (c.here) { // release the consumer, which should still be waiting
            auto *nudge = static_cast<queue_item *>(std::calloc(1, sizeof(queue_item)));
            EXPECT_TRUE(kestivane::request_queue::push(nudge));
        }
        consumer.join();
        ASSERT_NE(taken, nullptr);
        EXPECT_EQ(STAILQ_NEXT(taken, next), nullptr) << "one item queued";
        EXPECT_EQ(xid_of(taken->buf), c.here ? 0u : 0x42u) << "the request itself, or the nudge";
        std::free(taken);
        second.receive(50);
    }
}

} // namespace
