// The counter table.
#include "metrics/counters.h"

#include <array>

namespace kestivane::metrics {

namespace {

// One block per slot of ifs: a slot is never reused for another interface,
// so a counter always speaks of one interface.
std::array<interface_counters, KESTIVANE_MAX_INTERFACES> interface_table;
queue_counters queue_table;

bool in_table(int32_t idx) { return idx >= 0 && idx < KESTIVANE_MAX_INTERFACES; }

void add_message(counter (&row)[reason_count<message4>], uint8_t code) {
    row[static_cast<std::size_t>(message4_of(code))].add();
}

} // namespace

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

void count_request_message(int32_t if_idx, uint8_t code) {
    if (in_table(if_idx)) add_message(of_interface(if_idx).requests.messages_received, code);
}

void count_unicast_request(int32_t if_idx) {
    if (in_table(if_idx)) of_interface(if_idx).forwards.unicast.add();
}

void count_forwarded_message(int32_t if_idx, uint8_t code) {
    if (in_table(if_idx)) add_message(of_interface(if_idx).forwards.messages_sent, code);
}

void count_answer_message(int32_t if_idx, uint8_t code) {
    if (in_table(if_idx)) add_message(of_interface(if_idx).answers.messages_received, code);
}

void count_delivered_message(int32_t if_idx, uint8_t code) {
    if (in_table(if_idx)) add_message(of_interface(if_idx).answers.messages_sent, code);
}

} // namespace kestivane::metrics
