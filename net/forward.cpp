// Forwarding requests to servers: the request queue's consumer, then per
// request the hop limit, giaddr, and one send to every server of the
// capturing interface, each after the send_to_server hooks.
#include "net/forward.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "core/settings.h"
#include "core/wire.h"
#include "plugins/hooks.h"

using namespace kestivane::wire;

namespace {

// A send_to_server hook may rewrite the item's if_idx, so the interface is
// taken afresh each time it is needed, and an index outside the table ends
// the request instead of reading past ifs.
struct interface *capturing_interface(const struct queue_item *item) {
    struct interface *iface = get_interface_by_idx(item->if_idx);
    if (iface == nullptr)
        logd(kestivane::log_error, "Interface index %d of a queued request is out of range. Dropped.",
             item->if_idx);
    return iface;
}

void forward(struct queue_item *item) {
    auto *message = reinterpret_cast<uint8_t *>(&item->buf);
    if (message[msg_hops] >= static_cast<uint32_t>(max_hops)) return;
    ++message[msg_hops];

    struct interface *iface = capturing_interface(item);
    if (iface == nullptr) return;
    uint32_t giaddr;
    std::memcpy(&giaddr, message + msg_giaddr, sizeof giaddr);
    if (giaddr == 0) std::memcpy(message + msg_giaddr, &iface->ip, sizeof iface->ip);

    for (int32_t i = 0;; ++i) {
        iface = capturing_interface(item);
        if (iface == nullptr || i >= iface->srv_count) return;
        struct server *target = servers[iface->srv_idx[i]];
        bool accepted = kestivane::run_hooks<&plugin::send_to_server>(&target->addr, iface, item);
        int32_t len = kestivane::measure_after_hooks(&item->buf, "send_to_server");
        if (!accepted || len == 0) continue;
        iface = capturing_interface(item);
        if (iface == nullptr) return;
        // A failed send is not retried: the client repeats its request.
        (void)sendto(iface->sock, &item->buf, static_cast<std::size_t>(len), 0,
                     reinterpret_cast<const struct sockaddr *>(&target->addr), sizeof target->addr);
    }
}

} // namespace

extern "C" void process_queue(struct queue_item *item) {
    forward(item);
    std::free(item);
}

void consume_queue() {
    for (;;) {
        pthread_mutex_lock(&queue_lock);
        while (queue_size == 0) pthread_cond_wait(&queue_cond, &queue_lock);
        struct queue_item *item = STAILQ_FIRST(&q_head);
        STAILQ_REMOVE_HEAD(&q_head, next);
        --queue_size;
        pthread_mutex_unlock(&queue_lock);
        process_queue(item);
    }
}
