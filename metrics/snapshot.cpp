#include "metrics/snapshot.h"

#include <arpa/inet.h>

#include <cstring>

namespace kestivane::metrics {

uint64_t interface_snapshot::forwarded_total() const {
    uint64_t total = 0;
    for (const auto &s : servers) total += s.forwarded;
    return total;
}

std::string server_label(const struct server &target) {
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &target.addr.sin_addr, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(ntohs(target.addr.sin_port));
}

namespace {

// Two server entries may stand for one address (the same server written
// twice, or two names for one host): their counts go under one label, since
// a label set may appear only once in the metrics.
void add_server(std::vector<server_snapshot> &list, std::string label, uint64_t forwarded, uint64_t errors) {
    for (auto &s : list) {
        if (s.label == label) {
            s.forwarded += forwarded;
            s.errors += errors;
            return;
        }
    }
    list.push_back({std::move(label), forwarded, errors});
}

} // namespace

snapshot take_snapshot(struct interface *const *table, int32_t if_num, struct server *const *server_table,
                       int32_t server_count) {
    snapshot shot;
    for (int32_t i = 0; i < if_num && i < KESTIVANE_MAX_INTERFACES; ++i) {
        const struct interface *iface = table[i];
        if (iface == nullptr || iface->idx < 0 || iface->idx >= KESTIVANE_MAX_INTERFACES) continue;
        const interface_counters &c = of_interface(iface->idx);
        interface_snapshot s;
        s.idx = iface->idx;
        s.name.assign(iface->name, strnlen(iface->name, sizeof iface->name));
        s.captured = c.requests.captured.get();
        for (std::size_t r = 0; r < request_drop_count; ++r) s.dropped[r] = c.requests.dropped[r].get();
        s.capture_kernel_dropped = c.requests.capture_kernel_dropped.get();
        // The same server index twice in one list is counted once: the
        // counters are per index already.
        std::vector<int32_t> seen;
        for (int32_t k = 0; k < iface->srv_count; ++k) {
            int32_t srv = iface->srv_idx[k];
            if (srv < 0 || srv >= server_count || server_table[srv] == nullptr) continue;
            bool again = false;
            for (int32_t other : seen) again = again || other == srv;
            if (again) continue;
            seen.push_back(srv);
            add_server(s.servers, server_label(*server_table[srv]), c.forwards.forwarded[srv].get(),
                       c.forwards.forward_errors[srv].get());
        }
        s.received = c.answers.received.get();
        for (std::size_t r = 0; r < answer_drop_count; ++r) s.answer_dropped[r] = c.answers.dropped[r].get();
        s.delivered = c.answers.delivered.get();
        s.write_errors = c.answers.write_errors.get();
        s.socket_dropped = c.answers.socket_dropped.get();
        shot.interfaces.push_back(std::move(s));
    }
    shot.queue_length = of_queue().length.get();
    shot.queue_length_max = of_queue().length_max.get();
    return shot;
}

} // namespace kestivane::metrics
