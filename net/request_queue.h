// The request queue between the listeners and the consumer: bounded by
// queue_limit, with an equal share of it per interface, and taken in an
// order that serves every interface in turn.
#pragma once

#include <cstdint>

#include "plugins/kestivane_plugin.h"

namespace kestivane {
class answer_backlog;
}

namespace kestivane::request_queue {

// The items one interface may have waiting: queue_limit divided among the
// interfaces, at least one. A flooded segment can fill its own share only,
// so the others always find room.
uint32_t share();

// Whether interface if_idx may push one more item now. Lock-free: a
// listener asks before every frame.
bool has_room(int32_t if_idx);

// The items of interface if_idx waiting now. Lock-free, so it may be a
// moment stale.
uint32_t waiting_of(int32_t if_idx);

// The backpressure wait: blocks until interface if_idx may push, for at most
// timeout_ms. True when there is room. A listener waits here instead of
// reading its capture, so that the excess of a flood stays in the kernel's
// capture ring, where it is dropped (and counted) at no cost to the relay.
bool wait_for_room(int32_t if_idx, int timeout_ms);

// Appends item at the tail of q_head unless its interface's share is full.
// False then: the item is still the caller's.
bool push(struct queue_item *item);

// Takes every waiting item and returns them linked through next, in fair
// order: one item of each interface in turn, each interface's items in the
// order they were pushed, the turn starting one interface further at each
// take. Null when nothing waits. Does not block.
struct queue_item *take_waiting();

// As take_waiting, but waits on queue_cond until something is waiting.
// While it waits, the consumer is idle: nothing is queued and it holds no
// batch, so a listener may forward a request itself (may_forward_here)
// while answers, the backlog the consumer obeys, says the answer thread
// keeps up. Null answers: no listener forwards while this consumer waits.
struct queue_item *take(const answer_backlog *answers = nullptr);

// Whether a listener may forward its request at once instead of queuing
// it: the consumer waits idle in take, nothing is queued, and the answer
// thread's last pass emptied its sockets. The request then passes no other
// request, and costs no hand-off (a wake-up and a task switch). Whatever
// is queued, the consumer busy, or answers left waiting: false, and the
// request is queued as ever, so the fair order, the bound and answers
// first hold under load.
bool may_forward_here();

} // namespace kestivane::request_queue
