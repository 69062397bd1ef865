// The relay's counters: what happened to every frame and datagram, per
// interface, by reason. The packet paths only increment (relaxed atomics:
// no lock, no system call, no allocation); readers (the metrics file, the
// dump, the tests) take a snapshot whenever they like. Each reason has one
// name here, which is the label value readers print.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "plugins/kestivane_plugin.h"

namespace kestivane::metrics {

// Every list of reasons ends in `count`, and beside it reason_names gives
// the label value of each reason, in enum order: the metrics file, the dump
// and the log read them from there and nowhere else.
template <class Reason> struct reason_names;

template <class Reason> inline constexpr std::size_t reason_count = static_cast<std::size_t>(Reason::count);

template <class Reason> const char *name_of(Reason reason) {
    static_assert(std::size(reason_names<Reason>::names) == reason_count<Reason>, "one label value per reason");
    return reason_names<Reason>::names[static_cast<std::size_t>(reason)];
}

// Why a captured request went no further.
enum class request_drop : std::size_t {
    too_long,
    too_short,
    not_ipv4,
    short_dhcp,
    no_end,
    reply,
    rate_limit,
    queue_full,
    plugin_rejected,
    hop_limit,
    bad_after_plugin,
    agent_info_full, // no room in option 82 or the message for the relay's own sub-options
    count
};

template <> struct reason_names<request_drop> {
    static constexpr const char *names[] = {
        "too_long",   "too_short",  "not_ipv4",        "short_dhcp", "no_end",           "reply",
        "rate_limit", "queue_full", "plugin_rejected", "hop_limit",  "bad_after_plugin", "agent_info_full",
    };
};

// Why an answer from a server went no further.
enum class answer_drop : std::size_t {
    too_short,
    receive_error,
    plugin_rejected,
    bad_after_plugin,
    unknown_giaddr,
    not_a_server, // the sender is none of the receiving interface's servers
    not_a_reply,  // op is not 2 (BOOTREPLY)
    truncated,    // longer than the receive buffer, and no END within it
    unknown_link, // at a source address, and its option 82 names no interface sending from there
    count
};

template <> struct reason_names<answer_drop> {
    static constexpr const char *names[] = {
        "too_short",      "receive_error", "plugin_rejected", "bad_after_plugin",
        "unknown_giaddr", "not_a_server",  "not_a_reply",     "truncated",
        "unknown_link",
    };
};

// The DHCPv4 message types the message counters tell apart: the types of
// codes 1 to 8 in code order, then every other (a BOOTP message, a type
// without a name here).
enum class message4 : std::size_t { discover, offer, request, decline, ack, nak, release, inform, other, count };

template <> struct reason_names<message4> {
    static constexpr const char *names[] = {"discover", "offer", "request", "decline", "ack",
                                            "nak",      "release", "inform", "other"};
};

// The message type of option 53's value (0: none).
constexpr message4 message4_of(uint8_t code) {
    return code >= 1 && code <= 8 ? static_cast<message4>(code - 1) : message4::other;
}

// A counter written by the packet paths and read by anyone. A build with
// KESTIVANE_NO_COUNTING leaves the packet paths' increments out, so that
// the cost of counting can be measured against a relay that does not count.
class counter {
public:
#ifdef KESTIVANE_NO_COUNTING
    void add(uint64_t = 1) {}
#else
    void add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
#endif
    void set(uint64_t n) { value_.store(n, std::memory_order_relaxed); }
    uint64_t get() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> value_{0};
};

// One interface's counters. The groups are written by different threads
// (its listener, the queue's consumer, the answer thread), so each starts
// on a cache line of its own and a write on one path never slows another.
struct interface_counters {
    struct alignas(64) {
        counter captured;
        counter dropped[reason_count<request_drop>];
        counter capture_kernel_dropped; // the capture ring's own drops, as last read
        // Requests taken in (past the rate limit and the frame checks), by type.
        counter messages_received[reason_count<message4>];
    } requests;
    struct alignas(64) {
        // Per server, indexed like servers.
        counter forwarded[KESTIVANE_MAX_SERVERS];
        counter forward_errors[KESTIVANE_MAX_SERVERS];
        // Copies sent to servers, by type: one per server. The server side
        // has no interface of its own, so they count as the capturing
        // interface's.
        counter messages_sent[reason_count<message4>];
        // Requests sent to the relay's own address (renewals of clients told
        // the relay is their server), taken to be relayed: once each.
        counter unicast;
    } forwards;
    struct alignas(64) {
        counter received;
        counter dropped[reason_count<answer_drop>];
        counter delivered;
        counter write_errors;
        counter socket_dropped; // the UDP socket's receive-buffer drops, as last read
        // Answers read from this interface's socket, by type (counted where
        // they arrived), and answers written to its segment, by type.
        counter messages_received[reason_count<message4>];
        counter messages_sent[reason_count<message4>];
    } answers;
    // Written by the thread that follows the interfaces.
    struct alignas(64) {
        counter up;       // 1 while the relay relays on it, 0 while it is gone
        counter reopened; // times it came back, or moved to another address
    } link;
    // Both counted once per server a request was meant for.
    void count_forward(int32_t srv, bool sent) {
        if (srv < 0 || srv >= KESTIVANE_MAX_SERVERS) return;
        (sent ? forwards.forwarded : forwards.forward_errors)[srv].add();
    }
};

// The queue's length now and the most it has held.
struct queue_counters {
    counter length;
    counter length_max;
};

// The counters of interface idx (0 .. KESTIVANE_MAX_INTERFACES - 1).
interface_counters &of_interface(int32_t idx);
queue_counters &of_queue();

// Shorthands for the packet paths. An index outside the table counts
// nothing (a hook may have rewritten it).
void count_request_drop(int32_t if_idx, request_drop reason);
void count_answer_drop(int32_t if_idx, answer_drop reason);
void count_captured(int32_t if_idx);
void count_answer_received(int32_t if_idx);
void count_delivery(int32_t if_idx, bool written);
void count_forward(int32_t if_idx, int32_t srv, bool sent);
// One message of the type whose option 53 value is code (0: none): a request
// taken in, a copy of it sent to a server, an answer read from the
// interface's socket, an answer written to its segment.
void count_request_message(int32_t if_idx, uint8_t code);
void count_forwarded_message(int32_t if_idx, uint8_t code);
void count_unicast_request(int32_t if_idx);
void count_answer_message(int32_t if_idx, uint8_t code);
void count_delivered_message(int32_t if_idx, uint8_t code);

} // namespace kestivane::metrics
