// The request queue: the listeners push, the consumer takes. q_head holds
// the waiting items in the order they were pushed and queue_size counts
// them, both under queue_lock, as plug-ins know them; the per-interface
// counts and the fair order are this file's own.
#include "net/request_queue.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>

#include "core/settings.h"
#include "metrics/counters.h"
#include "net/answer_backlog.h"
#include "net/interface_lifecycle.h"

namespace kestivane::request_queue {

namespace {

// Items waiting per interface, written under queue_lock and read without it
// by has_room (a stale read only sends the listener to the locked check).
std::array<std::atomic<uint32_t>, KESTIVANE_MAX_INTERFACES> waiting{};
// How many items the counts above hold in all: 0 when they are all 0.
uint32_t counted = 0;

// Listeners waiting for room, and the condition they wait on. It runs on
// the monotonic clock, so that a change of the wall clock cannot stretch a
// wait.
int room_waiters = 0;
pthread_cond_t room_cond;
pthread_once_t room_cond_once = PTHREAD_ONCE_INIT;

void init_room_cond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&room_cond, &attr);
    pthread_condattr_destroy(&attr);
}

// The backlog of a consumer waiting in take with nothing queued; null while
// no consumer waits (it forwards a batch, or none runs) and from the moment
// a push queues an item. Written under queue_lock, read without it: every
// listener asks before each request it might forward itself, and with many
// segments a lock there had them queue for it (futex waits per request).
std::atomic<const answer_backlog *> idle_consumer{nullptr};

bool in_table(int32_t idx) { return idx >= 0 && idx < KESTIVANE_MAX_INTERFACES; }

// A plug-in may take items off q_head itself, as the globals allow; once it
// has emptied the queue, no interface has anything waiting, whatever the
// counts say. Called with queue_lock held.
void forget_drained() {
    if (queue_size != 0 || counted == 0) return;
    for (auto &count : waiting) count.store(0, std::memory_order_relaxed);
    counted = 0;
}

bool room_locked(int32_t idx) {
    forget_drained();
    return !in_table(idx) || waiting[static_cast<std::size_t>(idx)].load(std::memory_order_relaxed) < share();
}

void note_length() {
    auto length = static_cast<uint64_t>(queue_size);
    metrics::queue_counters &gauges = metrics::of_queue();
    gauges.length.set(length);
    if (length > gauges.length_max.get()) gauges.length_max.set(length);
}

// A list taken off q_head, split by interface and put back together one
// item of each interface in turn. The last bucket holds items whose index
// lies outside the table (a plug-in may push such items itself).
struct bucket {
    struct queue_item *first = nullptr;
    struct queue_item **last = &first;
};
constexpr std::size_t bucket_count = KESTIVANE_MAX_INTERFACES + 1;
std::size_t next_turn = 0; // the bucket that goes first at the next take

struct queue_item *in_fair_order(struct queue_item *list) {
    if (list == nullptr || STAILQ_NEXT(list, next) == nullptr) return list;
    std::array<bucket, bucket_count> buckets;
    for (auto &b : buckets) b.last = &b.first;
    // The buckets that hold items: each round visits these alone. Walking
    // every slot of the table each round cost a large batch of one
    // segment's requests a hundred empty slots per request.
    std::array<std::size_t, bucket_count> used{};
    std::size_t used_count = 0;
    while (list != nullptr) {
        struct queue_item *item = list;
        list = STAILQ_NEXT(item, next);
        std::size_t b = in_table(item->if_idx) ? static_cast<std::size_t>(item->if_idx) : bucket_count - 1;
        if (buckets[b].first == nullptr) used[used_count++] = b;
        STAILQ_NEXT(item, next) = nullptr;
        *buckets[b].last = item;
        buckets[b].last = &STAILQ_NEXT(item, next);
    }
    const std::size_t start = next_turn;
    next_turn = (next_turn + 1) % bucket_count;
    // A round goes round the table from start: the used buckets in that
    // order.
    auto turn = [start](std::size_t b) { return (b + bucket_count - start) % bucket_count; };
    std::sort(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(used_count),
              [&](std::size_t a, std::size_t b) { return turn(a) < turn(b); });
    struct queue_item *fair = nullptr;
    struct queue_item **tail = &fair;
    while (used_count > 0) {
        // One item of each bucket; the emptied ones leave the round, the
        // others keep their order.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < used_count; ++i) {
            bucket &b = buckets[used[i]];
            struct queue_item *item = b.first;
            b.first = STAILQ_NEXT(item, next);
            STAILQ_NEXT(item, next) = nullptr;
            *tail = item;
            tail = &STAILQ_NEXT(item, next);
            if (b.first != nullptr) used[kept++] = used[i];
        }
        used_count = kept;
    }
    return fair;
}

// Empties q_head; called with queue_lock held. The items taken no longer
// count against their interfaces' shares: from here on they cost the
// consumer's time, not queue room.
struct queue_item *take_locked() {
    struct queue_item *list = STAILQ_FIRST(&q_head);
    STAILQ_INIT(&q_head);
    queue_size = 0;
    forget_drained();
    note_length();
    if (room_waiters > 0) pthread_cond_broadcast(&room_cond);
    return list;
}

} // namespace

uint32_t share() {
    // A reload may change the limit while listeners ask.
    const int32_t configured = std::atomic_ref<int32_t>(queue_limit).load(std::memory_order_relaxed);
    uint32_t limit = configured > 0 ? static_cast<uint32_t>(configured) : 1;
    const int32_t count = interface_count();
    uint32_t interfaces = count > 0 ? static_cast<uint32_t>(count) : 1;
    uint32_t part = limit / interfaces;
    return part > 0 ? part : 1;
}

bool has_room(int32_t if_idx) {
    return !in_table(if_idx) ||
           waiting[static_cast<std::size_t>(if_idx)].load(std::memory_order_relaxed) < share();
}

uint32_t waiting_of(int32_t if_idx) {
    return in_table(if_idx) ? waiting[static_cast<std::size_t>(if_idx)].load(std::memory_order_relaxed) : 0;
}

bool wait_for_room(int32_t if_idx, int timeout_ms) {
    if (has_room(if_idx)) return true;
    pthread_once(&room_cond_once, init_room_cond);
    struct timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&queue_lock);
    ++room_waiters;
    bool room = room_locked(if_idx);
    while (!room) {
        int status = pthread_cond_timedwait(&room_cond, &queue_lock, &deadline);
        room = room_locked(if_idx);
        if (status == ETIMEDOUT) break;
    }
    --room_waiters;
    pthread_mutex_unlock(&queue_lock);
    return room;
}

bool push(struct queue_item *item) {
    pthread_mutex_lock(&queue_lock);
    if (!room_locked(item->if_idx)) {
        pthread_mutex_unlock(&queue_lock);
        return false;
    }
    STAILQ_INSERT_TAIL(&q_head, item, next);
    ++queue_size;
    idle_consumer.store(nullptr, std::memory_order_relaxed);
    if (in_table(item->if_idx)) {
        waiting[static_cast<std::size_t>(item->if_idx)].fetch_add(1, std::memory_order_relaxed);
        ++counted;
    }
    note_length();
    pthread_mutex_unlock(&queue_lock);
    // Signalled after the unlock: a consumer woken while the lock was still
    // held would find it taken, sleep on it and be woken once more by the
    // unlock (two more system calls and task switches per request, the
    // common case on a second processor). The consumer checks queue_size
    // under the lock before it waits, so no push goes unseen.
    pthread_cond_signal(&queue_cond);
    return true;
}

struct queue_item *take_waiting() {
    pthread_mutex_lock(&queue_lock);
    struct queue_item *list = take_locked();
    pthread_mutex_unlock(&queue_lock);
    return in_fair_order(list);
}

struct queue_item *take(const answer_backlog *answers) {
    pthread_mutex_lock(&queue_lock);
    while (queue_size == 0) {
        idle_consumer.store(answers, std::memory_order_relaxed);
        pthread_cond_wait(&queue_cond, &queue_lock);
    }
    idle_consumer.store(nullptr, std::memory_order_relaxed);
    struct queue_item *list = take_locked();
    pthread_mutex_unlock(&queue_lock);
    return in_fair_order(list);
}

bool may_forward_here() {
    // A push a moment after this look lets a request pass one queued
    // microseconds before it; no order beyond that is promised.
    const answer_backlog *consumer = idle_consumer.load(std::memory_order_relaxed);
    return consumer != nullptr && consumer->keeping_up();
}

} // namespace kestivane::request_queue
