// The request queue's consumer: the main thread's work once start-up is done.
#pragma once

#include "net/answer_backlog.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// One request to every server of its interface, as the consumer forwards
// it, with the send_to_server hooks; the item stays the caller's. The
// caller holds an interface_reader.
void forward_request(::queue_item *item);

} // namespace kestivane

// Forwards no request while the answer thread reports a backlog.
[[noreturn]] void consume_queue(const kestivane::answer_backlog &answers);
