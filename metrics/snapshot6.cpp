// The DHCPv6 relay's counters in the snapshot, with the names of its lower
// interfaces and servers.
#include <arpa/inet.h>
#include <net/if.h>

#include "metrics/snapshot.h"
#include "net/interface_guard.h"
#include "net/relay6.h"

namespace kestivane::metrics {

std::string server6_label(const struct sockaddr_in6 &addr, unsigned upper_index) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &addr.sin6_addr, text, sizeof text);
    std::string label = "[";
    label += text;
    // The same link-local or multicast address on two upper links is two
    // servers: the interface keeps their labels apart.
    if (upper_index != 0 && (IN6_IS_ADDR_LINKLOCAL(&addr.sin6_addr) || IN6_IS_ADDR_MULTICAST(&addr.sin6_addr))) {
        char name[IF_NAMESIZE] = "";
        label += '%';
        label += if_indextoname(upper_index, name) != nullptr ? name : std::to_string(upper_index);
    }
    return label + "]:" + std::to_string(ntohs(addr.sin6_port));
}

uint64_t interface6_snapshot::forwarded_total() const {
    uint64_t total = 0;
    for (const auto &s : servers) total += s.forwarded;
    return total;
}

void take_snapshot6(snapshot &shot) {
    // A reload and an interface that comes change the tables under the
    // record lock held exclusively.
    interface_reader steady;
    if (!relay6::configured()) return;
    shot.v6 = true;
    const auto &server_table = relay6::servers();
    const auto &lower_table = relay6::lowers();
    for (std::size_t i = 0; i < lower_table.size() && i < v6_interfaces_limit; ++i) {
        const relay6::lower6 &l = lower_table[i];
        // A retired interface's series go; they come back, counts and all,
        // when a reload names it again.
        if (l.retired) continue;
        const interface6_counters &c = of_interface6(i);
        interface6_snapshot s;
        s.name = l.name;
        s.received = c.requests.received.get();
        read_counts(c.requests.dropped, s.dropped);
        server_merger merger(s.servers);
        for (std::size_t srv : l.servers) {
            if (srv >= server_table.size() || srv >= v6_servers_limit || !merger.first(srv)) continue;
            merger.add(server6_label(server_table[srv].addr, server_table[srv].upper_index),
                       c.requests.forwarded[srv].get(), c.requests.forward_errors[srv].get());
        }
        s.delivered = c.answers.delivered.get();
        s.write_errors = c.answers.write_errors.get();
        s.up = c.link.up.get();
        s.reopened = c.link.reopened.get();
        read_sums(c.requests.messages_received, c.answers.messages_received, s.messages_received);
        read_sums(c.requests.messages_sent, c.answers.messages_sent, s.messages_sent);
        shot.interfaces6.push_back(std::move(s));
    }
    shot.upper6.received = of_upper6().received.get();
    read_counts(of_upper6().dropped, shot.upper6.dropped);
}

} // namespace kestivane::metrics
