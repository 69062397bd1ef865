// Interfaces opened and retired while the relay runs: a retired record
// keeps its slot and is found by nothing, its listener ends and its
// channels close; opened again it takes its old slot back and its new
// listener reads; a new interface takes the next slot.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/wire.h"
#include "metrics/counters.h"
#include "net/interface_channels.h"
#include "net/interface_lifecycle.h"
#include "net/interface_watch.h"
#include "ipv4_address.h"
#include "private_netns.h"

using namespace kestivane::wire;
using kestivane::test::addr;

namespace {


// A broadcast DISCOVER as a client on the peer end sends it: what the
// request filter lets through.
std::vector<uint8_t> discover_frame() {
    std::vector<uint8_t> f(headers_size + msg_options + 4, 0);
    std::memset(f.data(), 0xff, 6);
    const uint8_t client[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(f.data() + 6, client, 6);
    store_be16(f.data() + eth_type, ethertype_ipv4);
    uint8_t *ip = f.data() + 14;
    ip[0] = 0x45;
    store_be16(ip + 2, static_cast<uint16_t>(f.size() - 14));
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    std::memset(ip + 16, 0xff, 4);
    uint8_t *udp = ip + 20;
    store_be16(udp, 68);
    store_be16(udp + 2, 67);
    store_be16(udp + 4, static_cast<uint16_t>(f.size() - 34));
    uint8_t *m = f.data() + headers_size;
    m[msg_op] = op_request;
    const uint8_t options[] = {99, 130, 83, 99, 53, 1, 1, 255};
    std::memcpy(m + msg_options - 4, options, sizeof options);
    return f;
}

// Sends one DISCOVER on the peer of ifname and says whether the relay's
// listener of idx counted it within half a second.
bool captured_one(int sender, unsigned peer_index, int32_t idx) {
    const uint64_t before = kestivane::metrics::of_interface(idx).requests.captured.get();
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(peer_index);
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    const auto f = discover_frame();
    if (sendto(sender, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) return false;
    for (int i = 0; i < 50; ++i) {
        if (kestivane::metrics::of_interface(idx).requests.captured.get() > before) return true;
        usleep(10000);
    }
    return false;
}

int lifecycle_steps() {
    if (std::system("ip link add kst-a type veth peer name kst-b && ip link add kst-c type veth peer name kst-d && "
                    "ip addr add 198.51.100.9/24 dev kst-a && ip addr add 198.51.100.77/24 dev kst-c && "
                    "for l in kst-a kst-b kst-c kst-d; do ip link set $l up; done") != 0)
        return 1;
    bootps_port = htons(67);
    static server srv{const_cast<char *>("203.0.113.2"), {}};
    srv.addr.sin_family = AF_INET;
    srv.addr.sin_addr.s_addr = addr("203.0.113.2");
    srv.addr.sin_port = htons(67);
    servers[0] = &srv;
    srv_num = 1;
    CHECK(open_interface("kst-a") == 1);
    if (if_num != 1) return failures + 1;
    struct interface *a = ifs[0];
    kestivane::start_interface_watch(false);
    pthread_t thread;
    pthread_create(&thread, nullptr, listener, a);
    pthread_detach(thread);
    int sender = socket(AF_PACKET, SOCK_RAW, 0);
    const unsigned peer_b = if_nametoindex("kst-b");
    CHECK(captured_one(sender, peer_b, 0));

    const auto started = std::chrono::steady_clock::now();
    kestivane::retire_interface(a);
    const auto took = std::chrono::steady_clock::now() - started;
    CHECK(took < std::chrono::seconds(1)); // the listener left at its wake-up
    CHECK(if_num == 1 && ifs[0] == a && a->idx == 0 && std::strcmp(a->name, "kst-a") == 0);
    CHECK(kestivane::interface_retired(0));
    CHECK(get_interface_by_name("kst-a") == nullptr && get_interface_by_idx(0) == nullptr);
    CHECK(find_interface(addr("198.51.100.9")) == if_num);
    CHECK(a->sock == -1 && a->bpf == -1 && a->srv_count == 0 && a->srv_idx == nullptr);
    CHECK(!kestivane::request_capture(0).is_open());
    CHECK(!captured_one(sender, peer_b, 0));

    const int32_t list[] = {0};
    struct row {
        const char *name;
        bool opened;
        int32_t idx; // the slot it takes
        int32_t count;
        unsigned peer;
    } rows[] = {
        {"kst-a", true, 0, 1, peer_b},                     // its old slot back
        {"kst-c", true, 1, 2, if_nametoindex("kst-d")},    // the next slot
        {"kst-a", true, 0, 2, peer_b},                     // relaying already: unchanged
        {"kst-nosuch", false, -1, 2, 0},
    };
    for (const row &r : rows) {
        const bool opened = kestivane::open_interface_at_run_time(r.name, list, 1);
        if (opened != r.opened) std::fprintf(stderr, "row %s: opened=%d\n", r.name, opened);
        CHECK(opened == r.opened && if_num == r.count);
        if (!r.opened) continue;
        struct interface *iface = get_interface_by_name(r.name);
        CHECK(iface != nullptr && iface == ifs[r.idx] && iface->idx == r.idx && !kestivane::interface_retired(r.idx));
        if (iface == nullptr) continue;
        CHECK(iface->sock >= 0 && iface->bpf >= 0 && iface->srv_count == 1 && iface->srv_idx[0] == 0);
        CHECK(captured_one(sender, r.peer, r.idx));
    }
    CHECK(a == ifs[0]); // one record for the life of the process
    close(sender);
    return failures;
}

} // namespace

TEST(interface_lifecycle, retired_keeps_its_slot_and_comes_back_in_it) {
    in_private_netns([] { return lifecycle_steps(); });
}

// An interface awaited for both families: each family's wait is kept and
// ended on its own, and an opening only tries the families that are ready.
TEST(interface_lifecycle, awaited_families_are_kept_apart) {
    using kestivane::awaited_for;
    const char *name = "kvawait0";
    const auto named = [name] {
        const auto names = kestivane::awaited_interface_names();
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    struct step {
        const char *what;
        void (*act)(const char *);
        bool v4, v6;
    };
    const step steps[] = {
        {"v4 awaited", [](const char *n) { kestivane::await_interface(n, nullptr); }, true, false},
        {"v6 too", [](const char *n) { kestivane::await_interface6(n, "2001:db8::1"); }, true, true},
        {"nothing ready: nothing opened",
         [](const char *n) { EXPECT_FALSE(kestivane::open_awaited_interface(n, {false, false})); }, true, true},
        {"v6 no more, v4 still", [](const char *n) { kestivane::stop_awaiting6(n); }, true, false},
        {"v6 again", [](const char *n) { kestivane::await_interface6(n, "2001:db8::1"); }, true, true},
        {"neither", [](const char *n) { kestivane::stop_awaiting(n); }, false, false},
        {"v6 alone", [](const char *n) { kestivane::await_interface6(n, "2001:db8::2"); }, false, true},
        {"v6 no more: gone", [](const char *n) { kestivane::stop_awaiting6(n); }, false, false},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        s.act(name);
        EXPECT_EQ(awaited_for(name).v4, s.v4);
        EXPECT_EQ(awaited_for(name).v6, s.v6);
        EXPECT_EQ(named(), s.v4 || s.v6);
    }
}
