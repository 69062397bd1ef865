// Forwarding requests to servers: the request queue's consumer, then per
// request the hop limit, giaddr, and one send to every server of the
// capturing interface, each after the send_to_server hooks.
#include "net/forward.h"

#include <sched.h>
#include <sys/socket.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "core/wire.h"
#include "dhcp/message_type.h"
#include "metrics/counters.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/platform.h"
#include "net/relay_suboptions.h"
#include "net/request_queue.h"
#include "net/source_address.h"
#include "plugins/hooks.h"

using namespace kestivane::wire;
using kestivane::metrics::request_drop;

namespace {

// Requests of one interface in one batch from which its segment counts as
// busy: a segment at a thousand requests a second has one or two.
constexpr uint32_t busy_in_batch = 8;

using batch_counts = std::array<uint32_t, KESTIVANE_MAX_INTERFACES>;
using batch_times = std::array<int64_t, KESTIVANE_MAX_INTERFACES>;

// How long a segment counts as served after a request of it was in a batch.
constexpr int64_t served_lately_ms = 100;

bool in_table(int32_t if_idx) { return if_idx >= 0 && if_idx < KESTIVANE_MAX_INTERFACES; }

int64_t coarse_ms() {
    struct timespec t = kestivane::platform::coarse_now();
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Whether a segment other than busy has been served lately or has a
// request waiting in the queue.
bool others_served(const batch_times &last_batch, int32_t busy, int64_t now_ms) {
    for (int32_t i = 0; i < kestivane::interface_count() && i < KESTIVANE_MAX_INTERFACES; ++i) {
        if (i == busy) continue;
        if (now_ms - last_batch[i] < served_lately_ms || kestivane::request_queue::waiting_of(i) > 0) return true;
    }
    return false;
}

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
    // A request of an interface retired since it was queued goes nowhere:
    // its socket is closed and its servers are no longer its own.
    if (kestivane::interface_retired(item->if_idx)) return;
    auto *message = reinterpret_cast<uint8_t *>(&item->buf);
    if (message[msg_hops] >= static_cast<uint32_t>(max_hops))
        return kestivane::metrics::count_request_drop(item->if_idx, request_drop::hop_limit);
    ++message[msg_hops];

    struct interface *iface = capturing_interface(item);
    if (iface == nullptr) return;
    uint32_t giaddr;
    std::memcpy(&giaddr, message + msg_giaddr, sizeof giaddr);
    // With a source interface, giaddr is its address: the client segment's
    // own may be the same on other relays (an anycast gateway).
    if (giaddr == 0) {
        giaddr = kestivane::relay_address(iface);
        std::memcpy(message + msg_giaddr, &giaddr, sizeof giaddr);
    }
    // A client renewing with the relay it was told is its server. The
    // capture is the one path that relays it: the interface's socket,
    // which the kernel hands it to as well, leaves it.
    if (item->dst_ip != INADDR_BROADCAST) kestivane::metrics::count_unicast_request(item->if_idx);
    const uint8_t type = kestivane::dhcp::message_type_code(message, sizeof item->buf);

    for (int32_t i = 0;; ++i) {
        iface = capturing_interface(item);
        if (iface == nullptr || i >= iface->srv_count) return;
        int32_t srv = iface->srv_idx[i];
        struct server *target = servers[srv];
        bool accepted = kestivane::run_hooks<&plugin::send_to_server>(&target->addr, iface, item);
        int32_t len = kestivane::measure_after_hooks(&item->buf, "send_to_server");
        // Counted once per server the request was meant for.
        if (!accepted) kestivane::metrics::count_request_drop(item->if_idx, request_drop::plugin_rejected);
        else if (len == 0) kestivane::metrics::count_request_drop(item->if_idx, request_drop::bad_after_plugin);
        if (!accepted || len == 0) continue;
        iface = capturing_interface(item);
        if (iface == nullptr) return;
        // The relay's own sub-options go into a copy, after the hooks: each
        // server's hooks see the request as the one before them left it.
        const struct dhcp_packet *out = &item->buf;
        struct dhcp_packet with_ours;
        if (kestivane::writes_suboptions(iface)) {
            len = kestivane::with_relay_suboptions(*item, iface, with_ours);
            if (len == 0) {
                kestivane::metrics::count_request_drop(item->if_idx, request_drop::agent_info_full);
                continue;
            }
            out = &with_ours;
        }
        // A failed send is not retried: the client repeats its request.
        ssize_t sent = sendto(kestivane::sending_socket(iface), out, static_cast<std::size_t>(len), 0,
                              reinterpret_cast<const struct sockaddr *>(&target->addr), sizeof target->addr);
        kestivane::metrics::count_forward(item->if_idx, srv, sent >= 0);
        if (sent >= 0) kestivane::metrics::count_forwarded_message(item->if_idx, type);
    }
}

} // namespace

void kestivane::forward_request(::queue_item *item) { forward(item); }

extern "C" void process_queue(struct queue_item *item) {
    {
        kestivane::interface_reader steady;
        forward(item);
    }
    std::free(item);
}

// Every item waiting is taken in one hold of queue_lock and then forwarded
// one at a time without the lock, every interface in turn (each in its own
// push order). Under load this takes the lock once per burst instead of
// once per request, so the listeners rarely find it held by the consumer
// (and the consumer rarely sleeps on it while a listener pushes); and a
// request of a quiet segment waits behind at most the one burst in hand,
// not behind a flooded segment's backlog. queue_size counts the items not
// yet taken.
void consume_queue(const kestivane::answer_backlog &answers) {
    // A listener signals queue_cond while it still holds queue_lock. Woken
    // on the listener's processor, the consumer would preempt it there at
    // once, find the lock still held, sleep on it and be woken again by the
    // unlock: four task switches per request instead of one. As a batch
    // task the consumer does not preempt on wake-up; it runs when the
    // listener goes back to its capture (microseconds later) or at once on
    // an idle processor. Nothing else changes: the kernel still shares the
    // processor fairly. A refusal leaves the normal policy, which only costs
    // time.
    struct sched_param normal_priority{};
    (void)sched_setscheduler(0, SCHED_BATCH, &normal_priority);
    // Requests of each interface in the batch in hand, and when a batch last
    // held one of each (a slot per possible index).
    batch_counts in_batch{};
    batch_times last_batch;
    last_batch.fill(INT64_MIN / 2);
    for (;;) {
        struct queue_item *item = kestivane::request_queue::take(&answers);
        const int64_t now_ms = coarse_ms();
        in_batch.fill(0);
        for (struct queue_item *i = item; i != nullptr; i = STAILQ_NEXT(i, next)) {
            if (!in_table(i->if_idx)) continue;
            ++in_batch[i->if_idx];
            last_batch[i->if_idx] = now_ms;
        }
        while (item != nullptr) {
            // Read before forwarding: process_queue frees the item, and its
            // hooks may write over its link.
            struct queue_item *next = STAILQ_NEXT(item, next);
            // The lines of a request's forwarding are about the segment it
            // came from.
            struct interface *from = get_interface_by_idx(item->if_idx);
            kestivane::limit_log_lines(from != nullptr ? from->name : nullptr);
            // Answers first holds a busy segment's requests only while it
            // is the one segment served. Holding one segment's flood while
            // another segment was served lengthened the other's waits too,
            // in both directions, even with its own requests never held
            // (measured: its p99 from 15-19 to 23-57 ms); so then
            // everything goes on as without the hold.
            const int32_t idx = item->if_idx;
            if (in_table(idx) && in_batch[idx] >= busy_in_batch)
                answers.wait_until_caught_up([&] { return others_served(last_batch, idx, coarse_ms()); });
            process_queue(item);
            item = next;
        }
    }
}
