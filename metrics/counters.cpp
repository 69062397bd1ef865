// The counter table and the names of its reasons.
#include "metrics/counters.h"

#include <array>

namespace kestivane::metrics {

namespace {

constexpr std::array<const char *, request_drop_count> request_drop_names = {
    "too_long",   "too_short",  "not_ipv4",        "short_dhcp", "no_end",          "reply",
    "rate_limit", "queue_full", "plugin_rejected", "hop_limit",  "bad_after_plugin",
};

constexpr std::array<const char *, answer_drop_count> answer_drop_names = {
    "too_short",    "receive_error", "plugin_rejected", "bad_after_plugin",
    "unknown_giaddr", "not_a_server",  "not_a_reply",     "truncated",
};

// One block per slot of ifs: a slot is never reused for another interface,
// so a counter always speaks of one interface.
std::array<interface_counters, KESTIVANE_MAX_INTERFACES> interface_table;
queue_counters queue_table;

bool in_table(int32_t idx) { return idx >= 0 && idx < KESTIVANE_MAX_INTERFACES; }

} // namespace

const char *name_of(request_drop reason) { return request_drop_names[static_cast<std::size_t>(reason)]; }
const char *name_of(answer_drop reason) { return answer_drop_names[static_cast<std::size_t>(reason)]; }

interface_counters &of_interface(int32_t idx) { return interface_table[static_cast<std::size_t>(idx)]; }
queue_counters &of_queue() { return queue_table; }

void count_request_drop(int32_t if_idx, request_drop reason) {
    if (in_table(if_idx)) of_interface(if_idx).requests.dropped[static_cast<std::size_t>(reason)].add();
}

void count_answer_drop(int32_t if_idx, answer_drop reason) {
    if (in_table(if_idx)) of_interface(if_idx).answers.dropped[static_cast<std::size_t>(reason)].add();
}

void count_captured(int32_t if_idx) {
    if (in_table(if_idx)) of_interface(if_idx).requests.captured.add();
}

void count_answer_received(int32_t if_idx) {
    if (in_table(if_idx)) of_interface(if_idx).answers.received.add();
}

void count_delivery(int32_t if_idx, bool written) {
    if (!in_table(if_idx)) return;
    auto &answers = of_interface(if_idx).answers;
    (written ? answers.delivered : answers.write_errors).add();
}

void count_forward(int32_t if_idx, int32_t srv, bool sent) {
    if (in_table(if_idx)) of_interface(if_idx).count_forward(srv, sent);
}

} // namespace kestivane::metrics
