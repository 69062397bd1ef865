#include "metrics/snapshot.h"

#include <arpa/inet.h>

#include <cstring>

#include "net/interface_lifecycle.h"

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

bool server_merger::first(std::size_t srv) {
    for (std::size_t other : seen_)
        if (other == srv) return false;
    seen_.push_back(srv);
    return true;
}

void server_merger::add(std::string label, uint64_t forwarded, uint64_t errors) {
    for (auto &s : list_) {
        if (s.label == label) {
            s.forwarded += forwarded;
            s.errors += errors;
            return;
        }
    }
    list_.push_back({std::move(label), forwarded, errors});
}

snapshot take_snapshot(struct interface *const *table, int32_t if_num, struct server *const *server_table,
                       int32_t server_count) {
    snapshot shot;
    for (int32_t i = 0; i < if_num && i < KESTIVANE_MAX_INTERFACES; ++i) {
        const struct interface *iface = table[i];
        if (iface == nullptr || iface->idx < 0 || iface->idx >= KESTIVANE_MAX_INTERFACES) continue;
        // A retired interface's series go; they come back, counts and all,
        // if it is opened again.
        if (interface_retired(iface->idx)) continue;
        const interface_counters &c = of_interface(iface->idx);
        interface_snapshot s;
        s.idx = iface->idx;
        s.name.assign(iface->name, strnlen(iface->name, sizeof iface->name));
        s.captured = c.requests.captured.get();
        read_counts(c.requests.dropped, s.dropped);
        s.capture_kernel_dropped = c.requests.capture_kernel_dropped.get();
        s.unicast = c.forwards.unicast.get();
        server_merger merger(s.servers);
        for (int32_t k = 0; k < iface->srv_count; ++k) {
            int32_t srv = iface->srv_idx[k];
            if (srv < 0 || srv >= server_count || server_table[srv] == nullptr) continue;
            if (!merger.first(static_cast<std::size_t>(srv))) continue;
            merger.add(server_label(*server_table[srv]), c.forwards.forwarded[srv].get(),
                       c.forwards.forward_errors[srv].get());
        }
        s.received = c.answers.received.get();
        read_counts(c.answers.dropped, s.answer_dropped);
        s.delivered = c.answers.delivered.get();
        s.write_errors = c.answers.write_errors.get();
        s.socket_dropped = c.answers.socket_dropped.get();
        s.up = c.link.up.get();
        s.reopened = c.link.reopened.get();
        read_sums(c.requests.messages_received, c.answers.messages_received, s.messages_received);
        read_sums(c.forwards.messages_sent, c.answers.messages_sent, s.messages_sent);
        shot.interfaces.push_back(std::move(s));
    }
    shot.queue_length = of_queue().length.get();
    shot.queue_length_max = of_queue().length_max.get();
    return shot;
}

} // namespace kestivane::metrics
