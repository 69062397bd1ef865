// The DHCPv6 counter table.
#include "metrics/counters6.h"

#include <array>

namespace kestivane::metrics {

namespace {

std::array<interface6_counters, v6_interfaces_limit> interface6_table;
upper6_counters upper6_table;

} // namespace

interface6_counters &of_interface6(std::size_t idx) { return interface6_table[idx]; }
upper6_counters &of_upper6() { return upper6_table; }

void count_request6_drop(std::size_t if_idx, request6_drop reason) {
    if (if_idx < v6_interfaces_limit)
        of_interface6(if_idx).requests.dropped[static_cast<std::size_t>(reason)].add();
}

void count_answer6_drop(answer6_drop reason) {
    of_upper6().dropped[static_cast<std::size_t>(reason)].add();
}

} // namespace kestivane::metrics
