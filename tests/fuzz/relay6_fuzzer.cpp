// Fuzzing the DHCPv6 message code: the walk and checks over a message from
// a lower link or from above, the Relay-Forward built around it and the
// Relay-Reply taken apart. The input is the datagram's payload, copied into
// a buffer of exactly its size so that any read past it is caught.
// Checked for every input:
// - the three views agree: a message that is not well formed is malformed
//   to classify_lower and refused by unwrap_relay_reply;
// - a well-formed message from below stays there only when it is a
//   server's message for below; every other type, known or not, goes up;
// - a Relay-Reply's peer-address passes exactly when it is a unicast
//   address a host can have (by the system's own address tests);
// - a Relay-Reply that unwraps points only inside the datagram, and what it
//   carries is itself well formed, neither empty nor a Relay-Forward;
// - a message the relay would forward gives a Relay-Forward that re-parses:
//   well formed, a Relay-Forward, its fields as given, its Relay Message the
//   input byte for byte, its length the sum of its parts; refused only when
//   it would not fit;
// - that Relay-Forward answered (type changed to Relay-Reply) unwraps back
//   to the input and its Interface-ID, unless the input was itself a
//   Relay-Forward, which never travels downward.
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "dhcp6/message6.h"
#include "fuzz_support.h"

using namespace kestivane::dhcp6;

namespace {

bool inside(const uint8_t *p, std::size_t n, const uint8_t *begin, std::size_t len) {
    return p >= begin && n <= len && static_cast<std::size_t>(p - begin) <= len - n;
}

// The server messages for below, by their numbers in the IANA registry.
bool server_message_for_below(uint8_t type) {
    static const uint8_t types[] = {2, 7, 10, 13, 15, 16, 17, 19, 21, 37};
    return std::memchr(types, type, sizeof types) != nullptr;
}

void check_peer_address(const uint8_t *peer) {
    struct in6_addr a;
    std::memcpy(&a, peer, sizeof a);
    const bool refused = IN6_IS_ADDR_MULTICAST(&a) || IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) ||
                         IN6_IS_ADDR_V4MAPPED(&a);
    FUZZ_CHECK(peer_address_usable(peer) == !refused);
}

void check_reply(const uint8_t *msg, std::size_t len) {
    relay_reply r{};
    if (!unwrap_relay_reply(msg, len, r)) return;
    check_peer_address(r.peer_address);
    FUZZ_CHECK(well_formed(msg, len));
    FUZZ_CHECK(inside(r.link_address, 16, msg, len) && inside(r.peer_address, 16, msg, len));
    FUZZ_CHECK(r.inner != nullptr && inside(r.inner, r.inner_len, msg, len));
    FUZZ_CHECK(r.inner_len >= client_header_size && well_formed(r.inner, r.inner_len));
    FUZZ_CHECK(r.inner[0] != msg_relay_forw);
    FUZZ_CHECK(r.inner_is_relay_reply == (r.inner[0] == msg_relay_repl));
    if (r.interface_id != nullptr) FUZZ_CHECK(inside(r.interface_id, r.interface_id_len, msg, len));
}

void check_forward(const uint8_t *msg, std::size_t len, lower_kind kind) {
    static const uint8_t iface[] = {'e', 't', 'h', '0'};
    static const uint8_t mac[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
    forward_fields f{};
    f.hop_count = kind == lower_kind::client ? 0 : static_cast<uint8_t>(msg[relay_hop_count] + 1);
    for (int i = 0; i < 16; ++i) {
        f.link_address[i] = static_cast<uint8_t>(0x20 + i);
        f.peer_address[i] = static_cast<uint8_t>(0xfe - i);
    }
    // The options vary with the input, so every combination is built.
    const bool with_id = (len & 1) != 0, with_mac = (len & 2) != 0 && kind == lower_kind::client;
    if (with_id) {
        f.interface_id = iface;
        f.interface_id_len = sizeof iface;
    }
    if (with_mac) f.mac = mac;
    const std::size_t want = relay_header_size + option_header_size + len +
                             (with_id ? option_header_size + sizeof iface : 0) +
                             (with_mac ? option_header_size + 8 : 0);

    // One byte short of room is refused; exact room is enough.
    std::vector<uint8_t> out(want);
    FUZZ_CHECK(build_relay_forward(out.data(), want - 1, f, msg, len) == 0);
    const std::size_t n = build_relay_forward(out.data(), want, f, msg, len);
    if (want > max_message_size) {
        FUZZ_CHECK(n == 0);
        return;
    }
    FUZZ_CHECK(n == want);
    FUZZ_CHECK(well_formed(out.data(), n) && classify_lower(out.data(), n) == lower_kind::relay_forward);
    FUZZ_CHECK(out[relay_hop_count] == f.hop_count);
    FUZZ_CHECK(std::memcmp(out.data() + relay_link_address, f.link_address, 16) == 0);
    FUZZ_CHECK(std::memcmp(out.data() + relay_peer_address, f.peer_address, 16) == 0);
    int relay_msgs = 0, ids = 0, macs = 0;
    walk_options(out.data() + relay_header_size, n - relay_header_size, [&](option_view o) {
        if (o.code == opt_relay_msg) {
            ++relay_msgs;
            FUZZ_CHECK(o.len == len && std::memcmp(o.data, msg, len) == 0);
        } else if (o.code == opt_interface_id) {
            ++ids;
            FUZZ_CHECK(o.len == sizeof iface && std::memcmp(o.data, iface, sizeof iface) == 0);
        } else if (o.code == opt_client_linklayer_addr) {
            ++macs;
            FUZZ_CHECK(o.len == 8 && o.data[0] == 0 && o.data[1] == 1 && std::memcmp(o.data + 2, mac, 6) == 0);
        }
    });
    FUZZ_CHECK(relay_msgs == 1 && ids == (with_id ? 1 : 0) && macs == (with_mac ? 1 : 0));

    out[0] = msg_relay_repl;
    relay_reply r{};
    const bool unwrapped = unwrap_relay_reply(out.data(), n, r);
    FUZZ_CHECK(unwrapped == (kind == lower_kind::client));
    if (!unwrapped) return;
    FUZZ_CHECK(r.inner_len == len && std::memcmp(r.inner, msg, len) == 0);
    FUZZ_CHECK(r.inner_is_relay_reply == false);
    FUZZ_CHECK(with_id ? (r.interface_id_len == sizeof iface && std::memcmp(r.interface_id, iface, 4) == 0)
                       : r.interface_id == nullptr);
    check_reply(out.data(), n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> msg(data, data + size);
    const bool formed = well_formed(msg.data(), size);
    const lower_kind kind = classify_lower(msg.data(), size);
    FUZZ_CHECK(formed == (kind != lower_kind::malformed));
    if (formed) {
        const lower_kind want = msg[0] == msg_relay_forw          ? lower_kind::relay_forward
                                : server_message_for_below(msg[0]) ? lower_kind::not_relayed
                                                                   : lower_kind::client;
        FUZZ_CHECK(kind == want);
    }
    // Any 16 bytes can arrive as a peer-address.
    if (size >= 16) check_peer_address(msg.data());
    relay_reply r{};
    if (!formed) FUZZ_CHECK(!unwrap_relay_reply(msg.data(), size, r));
    check_reply(msg.data(), size);
    if (kind == lower_kind::client || kind == lower_kind::relay_forward) check_forward(msg.data(), size, kind);
    return 0;
}
