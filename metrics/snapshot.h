// A copy of the counter table at one moment, with the names readers print:
// the interface's name and each server as address:port. The metrics file,
// the dump and the health alarm all read the table through it.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "metrics/counters.h"
#include "metrics/counters6.h"

namespace kestivane::metrics {

struct server_snapshot {
    std::string label; // address:port
    uint64_t forwarded = 0;
    uint64_t errors = 0;
};

struct interface_snapshot {
    int32_t idx = 0;
    std::string name;
    uint64_t captured = 0;
    std::array<uint64_t, reason_count<request_drop>> dropped{};
    uint64_t unicast = 0; // requests sent to the relay's address, relayed
    uint64_t capture_kernel_dropped = 0;
    std::vector<server_snapshot> servers; // one per distinct label, in forwarding order
    uint64_t received = 0;
    std::array<uint64_t, reason_count<answer_drop>> answer_dropped{};
    uint64_t delivered = 0;
    uint64_t write_errors = 0;
    uint64_t socket_dropped = 0;
    uint64_t up = 0;       // 1 while it relays, 0 while it is gone
    uint64_t reopened = 0; // times it came back or moved to another address
    // Messages by type: requests taken in and answers read from its socket;
    // copies sent to servers and answers written to its segment.
    std::array<uint64_t, reason_count<message4>> messages_received{};
    std::array<uint64_t, reason_count<message4>> messages_sent{};

    uint64_t forwarded_total() const;
};

// A DHCPv6 lower interface: what came from its link, and the answers it
// took from above.
struct interface6_snapshot {
    std::string name;
    uint64_t received = 0;
    std::array<uint64_t, reason_count<request6_drop>> dropped{};
    std::vector<server_snapshot> servers; // one per distinct label, in line order
    uint64_t delivered = 0;
    uint64_t write_errors = 0;
    uint64_t up = 0;       // 1 while it relays, 0 while it is gone
    uint64_t reopened = 0; // times it came back or moved to another link-address
    // Messages by type: from its link and Relay-Replies for it; Relay-Forwards
    // sent for it and messages sent on its link.
    std::array<uint64_t, reason_count<message6>> messages_received{};
    std::array<uint64_t, reason_count<message6>> messages_sent{};

    uint64_t forwarded_total() const;
};

// What came from the DHCPv6 servers before any lower interface took it.
struct upper6_snapshot {
    uint64_t received = 0;
    std::array<uint64_t, reason_count<answer6_drop>> dropped{};
};

struct snapshot {
    std::vector<interface_snapshot> interfaces;
    uint64_t queue_length = 0;
    uint64_t queue_length_max = 0;
    // A relay without DHCPv6 shows no DHCPv6 metrics at all, rather than
    // families that can never have a sample.
    bool v6 = false;
    std::vector<interface6_snapshot> interfaces6;
    upper6_snapshot upper6;
};

// The readings of a row of counters, one per reason.
template <std::size_t N> void read_counts(const counter (&from)[N], std::array<uint64_t, N> &to) {
    for (std::size_t r = 0; r < N; ++r) to[r] = from[r].get();
}

// The sums of two rows of counters, one per type.
template <std::size_t N>
void read_sums(const counter (&a)[N], const counter (&b)[N], std::array<uint64_t, N> &to) {
    for (std::size_t r = 0; r < N; ++r) to[r] = a[r].get() + b[r].get();
}

// Gathers one interface's forwarding counts per server, for both families:
// a server index listed twice is counted once (its counters are per index
// already), and two servers with one label (the same server written twice,
// or two names for one host) go under that label together, since a label
// set may appear only once in the metrics.
class server_merger {
public:
    explicit server_merger(std::vector<server_snapshot> &list) : list_(list) {}

    // True the first time srv is offered; add its counts then.
    bool first(std::size_t srv);
    void add(std::string label, uint64_t forwarded, uint64_t errors);

private:
    std::vector<server_snapshot> &list_;
    std::vector<std::size_t> seen_;
};

// address:port of a server, as the labels show it.
std::string server_label(const struct server &target);

// [address]:port of a DHCPv6 server, with %interface when the address
// needs one (link-local and multicast servers).
std::string server6_label(const struct sockaddr_in6 &addr, unsigned upper_index);

// The counters of the first if_num interfaces of table.
snapshot take_snapshot(struct interface *const *table, int32_t if_num, struct server *const *server_table,
                       int32_t server_count);

// Adds the DHCPv6 relay's counters to shot, when the v6 relay has work.
// Takes the record lock shared itself: the caller holds none.
void take_snapshot6(snapshot &shot);

} // namespace kestivane::metrics
