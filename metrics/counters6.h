// The DHCPv6 relay's counters, per lower interface, by reason: the same
// counter type and naming as the DHCPv4 counters, in a table of their own,
// since the v6 interfaces are not slots of ifs. The packet path only
// increments; readers take a snapshot whenever they like.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/counters.h"

namespace kestivane::metrics {

// The most lower interfaces and servers the v6 relay serves.
inline constexpr std::size_t v6_interfaces_limit = 99;
inline constexpr std::size_t v6_servers_limit = 63;

// Why a message from a lower link went no further.
enum class request6_drop : std::size_t {
    malformed,   // too short, a length past its message, a bad UDP header or checksum
    not_relayed, // well formed, but no message a relay passes upward
    hop_limit,   // a Relay-Forward that has passed too many relays
    too_long,    // the Relay-Forward around it would not fit in a datagram
    fragmented,  // a fragmented datagram (seen by its first fragment): not reassembled
    count
};

template <> struct reason_names<request6_drop> {
    static constexpr const char *names[] = {"malformed", "not_relayed", "hop_limit", "too_long", "fragmented"};
};

// Why a message from above went no further.
enum class answer6_drop : std::size_t {
    malformed,        // not a well-formed Relay-Reply holding a message
    unmatched,        // its Interface-ID, or without one its link-address, names no lower interface
    receive_error,    // the upper socket's receive failed
    not_a_server,     // from neither a configured server nor through a multicast server line's interface
    bad_peer_address, // a peer-address that is no unicast address of a host
    count
};

template <> struct reason_names<answer6_drop> {
    static constexpr const char *names[] = {"malformed", "unmatched", "receive_error", "not_a_server",
                                            "bad_peer_address"};
};

// The DHCPv6 message types the message counters tell apart: codes 1 to 13
// in code order, then every other.
enum class message6 : std::size_t {
    solicit,
    advertise,
    request,
    confirm,
    renew,
    rebind,
    reply,
    release,
    decline,
    reconfigure,
    information_request,
    relay_forward,
    relay_reply,
    other,
    count
};

template <> struct reason_names<message6> {
    static constexpr const char *names[] = {
        "solicit", "advertise",   "request",     "confirm",       "renew",       "rebind",      "reply",
        "release", "decline",     "reconfigure", "information_request", "relay_forward", "relay_reply", "other",
    };
};

// The message type of a DHCPv6 message's first byte.
constexpr message6 message6_of(uint8_t code) {
    return code >= 1 && code <= 13 ? static_cast<message6>(code - 1) : message6::other;
}

// One lower interface's counters; the requests are written by the upward
// thread only and the answers by the downward thread only, each group on a
// cache line of its own like the v4 blocks, so that neither the other
// writer nor the readers slow a writer.
struct interface6_counters {
    struct alignas(64) {
        counter received;
        counter dropped[reason_count<request6_drop>];
        counter forwarded[v6_servers_limit]; // per v6 server, indexed like the v6 server table
        counter forward_errors[v6_servers_limit];
        // Messages from the link, by their type, and the Relay-Forwards sent
        // to servers for them (one per server).
        counter messages_received[reason_count<message6>];
        counter messages_sent[reason_count<message6>];
    } requests;
    struct alignas(64) {
        counter delivered;
        counter write_errors;
        // Relay-Replies from servers that name this interface, and the
        // messages out of them sent on its link, by type.
        counter messages_received[reason_count<message6>];
        counter messages_sent[reason_count<message6>];
    } answers;
    // Written by the thread that follows the links.
    struct alignas(64) {
        counter up;       // 1 while the relay relays on it, 0 while it is gone
        counter reopened; // times it came back, or moved to another link-address
    } link;
};

// Counters of what came from above that no lower interface took.
struct upper6_counters {
    counter received;
    counter dropped[reason_count<answer6_drop>];
};

// The counters of v6 lower interface idx (0 .. v6_interfaces_limit - 1).
interface6_counters &of_interface6(std::size_t idx);
upper6_counters &of_upper6();

// Shorthands for the packet path; an index outside the table counts
// nothing.
void count_request6_drop(std::size_t if_idx, request6_drop reason);
void count_answer6_drop(answer6_drop reason);

} // namespace kestivane::metrics
