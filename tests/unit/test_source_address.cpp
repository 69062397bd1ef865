// Which interface an answer at a shared source address is for: link
// selection first, then a circuit-id that is an interface's name, and only
// among the interfaces sending from that address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/wire.h"
#include "net/relay_suboptions.h"
#include "net/source_address.h"

namespace {

struct interface_fixture {
    struct interface record{};
};

uint32_t address(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

// A reply whose options are option 82 with agent_info (empty: none).
struct dhcp_packet reply_with(const std::vector<uint8_t> &agent_info) {
    struct dhcp_packet p{};
    auto *m = reinterpret_cast<uint8_t *>(&p);
    m[kestivane::wire::msg_op] = 2;
    const uint8_t cookie[] = {99, 130, 83, 99};
    std::memcpy(m + kestivane::wire::msg_fixed_size, cookie, sizeof cookie);
    std::size_t at = kestivane::wire::msg_options;
    m[at++] = 53, m[at++] = 1, m[at++] = 2;
    if (!agent_info.empty()) {
        m[at++] = 82;
        m[at++] = static_cast<uint8_t>(agent_info.size());
        std::memcpy(m + at, agent_info.data(), agent_info.size());
        at += agent_info.size();
    }
    m[at] = 255;
    return p;
}

std::vector<uint8_t> link_selection(const char *dotted) {
    uint32_t a = address(dotted);
    std::vector<uint8_t> v(6);
    v[0] = 5, v[1] = 4;
    std::memcpy(v.data() + 2, &a, sizeof a);
    return v;
}

std::vector<uint8_t> circuit_id(const std::string &text) {
    std::vector<uint8_t> v(2 + text.size());
    v[0] = 1, v[1] = static_cast<uint8_t>(text.size());
    std::memcpy(v.data() + 2, text.data(), text.size());
    return v;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    for (uint8_t byte : b) a.push_back(byte);
    return a;
}

} // namespace

TEST(source_address, AnswersFindTheirInterfaceAmongThoseSharingTheAddress) {
    // seg0 and seg1 send from 127.0.0.1; seg2 keeps its own address.
    interface_fixture f[3];
    const char *names[] = {"seg0", "seg1", "seg2"};
    const char *addresses[] = {"198.51.100.1", "198.51.100.65", "198.51.100.129"};
    for (int i = 0; i < 3; ++i) {
        f[i].record.idx = i;
        std::snprintf(f[i].record.name, sizeof f[i].record.name, "%s", names[i]);
        f[i].record.ip = address(addresses[i]);
        f[i].record.sock = -1;
        ifs[i] = &f[i].record;
    }
    if_num = 3;
    // A check opens no socket: the table is the same.
    kestivane::check_only = true;
    kestivane::choose_source_interface("seg0", "lo", address("127.0.0.1"));
    kestivane::choose_source_interface("seg1", "lo", address("127.0.0.1"));
    kestivane::settle_source_addresses();
    EXPECT_EQ(kestivane::relay_address(ifs[0]), address("127.0.0.1"));
    EXPECT_EQ(kestivane::relay_address(ifs[1]), address("127.0.0.1"));
    EXPECT_EQ(kestivane::relay_address(ifs[2]), address("198.51.100.129"));
    EXPECT_FALSE(kestivane::has_source_address(ifs[2]));

    struct {
        const char *what;
        std::vector<uint8_t> agent_info;
        int32_t want; // 3: none
    } cases[] = {
        {"link selection of seg0", link_selection("198.51.100.1"), 0},
        {"link selection of seg1 after a circuit-id", circuit_id("x") + link_selection("198.51.100.65"), 1},
        {"link selection of seg2, which sends from its own address", link_selection("198.51.100.129"), 3},
        {"link selection of no interface", link_selection("198.51.100.200"), 3},
        {"link selection decides over a circuit-id", circuit_id("seg0") + link_selection("198.51.100.200"), 3},
        {"circuit-id seg1 without link selection", circuit_id("seg1"), 1},
        {"circuit-id of seg2", circuit_id("seg2"), 3},
        {"circuit-id that only begins with a name", circuit_id("seg1x"), 3},
        {"no option 82", {}, 3},
        {"a sub-option running past its option", {5, 9, 198, 51, 100, 1}, 3},
        {"link selection of the wrong length", {5, 3, 198, 51, 100}, 3},
        {"the last link selection, the relay's own, decides",
         link_selection("198.51.100.65") + link_selection("198.51.100.1"), 0},
    };
    for (const auto &c : cases) {
        struct dhcp_packet answer = reply_with(c.agent_info);
        EXPECT_EQ(kestivane::interface_of_answer(answer, 0), c.want) << c.what;
    }
    EXPECT_EQ(kestivane::first_interface_of(0), 0);

    // A client on seg0 that writes its own option 82 naming seg1 gets no say:
    // the request leaves with the relay's link selection alone, and the
    // answer that echoes it comes back to seg0.
    kestivane::settle_relay_suboptions();
    struct queue_item item{};
    item.buf = reply_with(circuit_id("sw") + link_selection("198.51.100.65"));
    auto *m = reinterpret_cast<uint8_t *>(&item.buf);
    m[kestivane::wire::msg_op] = 1;
    const uint32_t giaddr = address("127.0.0.1");
    std::memcpy(m + kestivane::wire::msg_giaddr, &giaddr, sizeof giaddr);
    item.dst_ip = INADDR_BROADCAST;
    struct dhcp_packet sent{};
    ASSERT_GT(kestivane::with_relay_suboptions(item, ifs[0], sent), 0);
    const uint8_t *m82 = reinterpret_cast<const uint8_t *>(&sent) + kestivane::wire::msg_options + 3;
    ASSERT_EQ(m82[0], 82);
    EXPECT_EQ(std::vector<uint8_t>(m82 + 2, m82 + 2 + m82[1]), circuit_id("sw") + link_selection("198.51.100.1"));
    EXPECT_EQ(kestivane::interface_of_answer(sent, 0), 0);

    kestivane::forget_source_addresses();
    kestivane::check_only = false;
    EXPECT_FALSE(kestivane::has_source_address(ifs[0]));
    for (int i = 0; i < 3; ++i) ifs[i] = nullptr;
    if_num = 0;
}
