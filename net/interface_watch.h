// Following the links at run time, for both families: noticing that one
// has vanished, been replaced, or lost its relay address, and reopening it
// when it is back, in place, while the other links carry on.
#pragma once

#include "plugins/kestivane_plugin.h"

namespace kestivane {

// Starts the thread that follows every interface of ifs and every DHCPv6
// lower interface. Called once, when both tables are complete and before
// any thread that uses them starts. With end_when_all_gone the relay ends
// once no link of either family has relayed for interface_grace seconds.
void start_interface_watch(bool end_when_all_gone);

// Called by a listener whose capture read ended: woken by the watcher, or
// failed with the text given. Returns when the listener may read its
// capture again: at once when the interface is relaying (a wake-up asked
// for a moment ago and already undone), or once the interface has been
// reopened. While it waits the listener does not touch its capture, so the
// reopening may rebind it.
void wait_until_reopened(struct interface *iface, bool woken, const char *text);

} // namespace kestivane
