// The DHCPv6 message code: what a relay takes from below, the Relay-Forward
// it builds, and the Relay-Reply it takes apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dhcp6/message6.h"

using namespace kestivane::dhcp6;
using bytes = std::vector<uint8_t>;

namespace {

bytes hex(const std::string &text) {
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

bytes option(uint16_t code, const bytes &data) {
    bytes out = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), static_cast<uint8_t>(data.size() >> 8),
                 static_cast<uint8_t>(data.size())};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bytes relay(uint8_t type, uint8_t hop, const bytes &inner, const bytes &extra = {}) {
    bytes out = {type, hop};
    out.resize(relay_header_size, 0);
    bytes msg = option(opt_relay_msg, inner);
    out.insert(out.end(), msg.begin(), msg.end());
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

// A relay message's header and the given options, without a Relay Message.
bytes header_only(uint8_t type, const bytes &options = {}) {
    bytes out = {type, 0};
    out.resize(relay_header_size, 0);
    out.insert(out.end(), options.begin(), options.end());
    return out;
}

const bytes solicit = hex("01abcdef000100020a0b");

} // namespace

TEST(Dhcp6Message, ClassifiesWhatComesFromBelow) {
    struct {
        const char *name;
        bytes msg;
        lower_kind want;
    } cases[] = {
        {"solicit", solicit, lower_kind::client},
        {"header only", hex("0b123456"), lower_kind::client},
        {"every client type", hex("09123456"), lower_kind::client},
        {"three bytes", hex("011234"), lower_kind::malformed},
        {"option past the end", hex("01abcdef000100030a0b"), lower_kind::malformed},
        {"option header cut", hex("01abcdef0001"), lower_kind::malformed},
        {"advertise", hex("02abcdef"), lower_kind::not_relayed},
        {"reply", hex("07abcdef"), lower_kind::not_relayed},
        {"reconfigure", hex("0aabcdef"), lower_kind::not_relayed},
        // Types this relay does not know go up as a client's would; of the
        // later types only those a server sends downward stay below.
        {"leasequery", hex("0eabcdef"), lower_kind::client},
        {"dhcpv4-query", hex("14abcdef"), lower_kind::client},
        {"unknown type", hex("fe123456"), lower_kind::client},
        {"unknown type, reserved 0", hex("00123456"), lower_kind::client},
        {"unknown type, malformed", hex("fe12345600"), lower_kind::malformed},
        {"leasequery-reply", hex("0fabcdef"), lower_kind::not_relayed},
        {"leasequery-done", hex("10abcdef"), lower_kind::not_relayed},
        {"leasequery-data", hex("11abcdef"), lower_kind::not_relayed},
        {"reconfigure-reply", hex("13abcdef"), lower_kind::not_relayed},
        {"dhcpv4-response", hex("15abcdef"), lower_kind::not_relayed},
        {"addr-reg-reply", hex("25abcdef"), lower_kind::not_relayed},
        {"relay-forward", relay(msg_relay_forw, 0, solicit), lower_kind::relay_forward},
        {"relay-forward twice", relay(msg_relay_forw, 1, relay(msg_relay_forw, 0, solicit)), lower_kind::relay_forward},
        {"relay-forward without message", header_only(msg_relay_forw), lower_kind::malformed},
        {"relay-forward around a short one", relay(msg_relay_forw, 0, hex("0100")), lower_kind::malformed},
        {"relay-forward cut in its header", bytes(relay_header_size - 1, msg_relay_forw), lower_kind::malformed},
        {"relay-reply", relay(msg_relay_repl, 0, hex("07abcdef")), lower_kind::not_relayed},
    };
    for (const auto &c : cases) EXPECT_EQ(classify_lower(c.msg.data(), c.msg.size()), c.want) << c.name;
}

TEST(Dhcp6Message, RefusesNestingBeyondAnyRelayedDepth) {
    bytes msg = solicit;
    for (int i = 0; i < 2 * hop_count_limit; ++i) msg = relay(msg_relay_forw, 0, msg);
    EXPECT_TRUE(well_formed(msg.data(), msg.size()));
    msg = relay(msg_relay_forw, 0, msg);
    EXPECT_FALSE(well_formed(msg.data(), msg.size()));
}

TEST(Dhcp6Message, BuildsTheRelayForwardAndTakesTheReplyApart) {
    const uint8_t mac[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
    const bytes name = {'e', 't', 'h', '1'};
    forward_fields f{};
    f.hop_count = 3;
    f.link_address[0] = 0x20;
    f.peer_address[0] = 0xfe;
    f.interface_id = name.data();
    f.interface_id_len = name.size();
    f.mac = mac;
    uint8_t out[200];
    std::size_t n = build_relay_forward(out, sizeof out, f, solicit.data(), solicit.size());
    bytes want = relay(msg_relay_forw, 3, solicit, option(opt_interface_id, name));
    want[relay_link_address] = 0x20;
    want[relay_peer_address] = 0xfe;
    bytes ll = option(opt_client_linklayer_addr, {0, 1, 0x02, 0, 0x5e, 0x10, 0, 1});
    want.insert(want.end(), ll.begin(), ll.end());
    ASSERT_EQ(bytes(out, out + n), want);
    EXPECT_EQ(build_relay_forward(out, want.size() - 1, f, solicit.data(), solicit.size()), 0u);

    out[0] = msg_relay_repl;
    relay_reply r{};
    ASSERT_TRUE(unwrap_relay_reply(out, n, r));
    EXPECT_EQ(bytes(r.inner, r.inner + r.inner_len), solicit);
    EXPECT_EQ(bytes(r.interface_id, r.interface_id + r.interface_id_len), name);
    EXPECT_EQ(r.link_address, out + relay_link_address);
    EXPECT_FALSE(r.inner_is_relay_reply);
}

TEST(Dhcp6Message, RelaySourcePortGoesLastAndComesBackAsTheLowerRelaysPort) {
    const bytes lower = relay(msg_relay_forw, 0, solicit);
    struct {
        const char *name;
        bool option;
        uint16_t port;
    } forwards[] = {{"no option", false, 0}, {"own port only", true, 0}, {"lower relay's port", true, 6768}};
    for (const auto &c : forwards) {
        forward_fields f{};
        f.hop_count = 1;
        f.relay_source_port = c.option;
        f.downstream_port = c.port;
        uint8_t out[200];
        std::size_t n = build_relay_forward(out, sizeof out, f, lower.data(), lower.size());
        bytes want = relay(msg_relay_forw, 1, lower);
        if (c.option) {
            bytes port = option(opt_relay_source_port, {static_cast<uint8_t>(c.port >> 8), static_cast<uint8_t>(c.port)});
            want.insert(want.end(), port.begin(), port.end());
        }
        ASSERT_EQ(bytes(out, out + n), want) << c.name;
        EXPECT_EQ(build_relay_forward(out, want.size() - 1, f, lower.data(), lower.size()), 0u) << c.name;
    }
    // The server hands the option back in the Relay-Reply: a port of 2
    // bytes counts, the first such option; anything else is no port.
    const bytes inner = relay(msg_relay_repl, 0, hex("07abcdef"));
    struct {
        const char *name;
        bytes extra;
        uint16_t port;
    } replies[] = {
        {"none", {}, 0},
        {"port", option(opt_relay_source_port, {0x1a, 0x70}), 6768},
        {"zero", option(opt_relay_source_port, {0, 0}), 0},
        {"three bytes", option(opt_relay_source_port, {0x1a, 0x70, 0}), 0},
        {"first of two", [] {
             bytes b = option(opt_relay_source_port, {0x1a, 0x70});
             bytes c = option(opt_relay_source_port, {0, 99});
             b.insert(b.end(), c.begin(), c.end());
             return b;
         }(), 6768},
    };
    for (const auto &c : replies) {
        bytes msg = relay(msg_relay_repl, 1, inner, c.extra);
        relay_reply r{};
        ASSERT_TRUE(unwrap_relay_reply(msg.data(), msg.size(), r)) << c.name;
        EXPECT_EQ(r.downstream_port, c.port) << c.name;
        EXPECT_TRUE(r.inner_is_relay_reply) << c.name;
    }
}

TEST(Dhcp6Message, UnwrapsOnlyRelayRepliesThatHoldAMessage) {
    const bytes reply = hex("07abcdef");
    struct {
        const char *name;
        bytes msg;
        bool ok;
        bool for_relay;
    } cases[] = {
        {"reply for a client", relay(msg_relay_repl, 0, reply), true, false},
        {"reply for a lower relay", relay(msg_relay_repl, 1, relay(msg_relay_repl, 0, reply)), true, true},
        {"relay-forward", relay(msg_relay_forw, 0, reply), false, false},
        {"relay-forward inside", relay(msg_relay_repl, 0, relay(msg_relay_forw, 0, solicit)), false, false},
        {"short message inside", relay(msg_relay_repl, 0, hex("0700")), false, false},
        {"empty message inside", relay(msg_relay_repl, 0, bytes{}), false, false},
        {"no relay message", header_only(msg_relay_repl, option(opt_interface_id, {'x'})), false, false},
        {"option past the end", [&] {
             bytes b = relay(msg_relay_repl, 0, reply);
             b.push_back(0);
             return b;
         }(), false, false},
    };
    for (const auto &c : cases) {
        relay_reply r{};
        ASSERT_EQ(unwrap_relay_reply(c.msg.data(), c.msg.size(), r), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(r.inner_is_relay_reply, c.for_relay) << c.name;
        }
    }
}

TEST(Dhcp6Message, SendsRepliesOnlyToUnicastPeers) {
    struct {
        const char *name;
        const char *address; // 32 hex digits
        bool usable;
    } cases[] = {
        {"link-local", "fe800000000000000000000000000001", true},
        {"global", "20010db8000000010000000000000100", true},
        {"unique local", "fd000000000000000000000000000001", true},
        {"all nodes", "ff020000000000000000000000000001", false},
        {"relay agents and servers", "ff020000000000000000000000010002", false},
        {"site-scope group", "ff050000000000000000000000010003", false},
        {"unspecified", "00000000000000000000000000000000", false},
        {"loopback", "00000000000000000000000000000001", false},
        {"IPv4-mapped", "00000000000000000000ffffc0000201", false},
    };
    for (const auto &c : cases) EXPECT_EQ(peer_address_usable(hex(c.address).data()), c.usable) << c.name;
}
