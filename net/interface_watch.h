// Following the links at run time, for both families: noticing that one
// has vanished, been replaced, or lost its relay address, and reopening it
// when it is back, in place, while the other links carry on.
#pragma once

#include <cstddef>

#include "plugins/kestivane_plugin.h"

namespace kestivane {

// Starts the thread that follows every interface of ifs and every DHCPv6
// lower interface. Called once, when both tables are complete and before
// any thread that uses them starts. With end_when_all_gone the relay ends
// once no link of either family has relayed for interface_grace seconds
// (an interface awaited since start-up does not count until it is opened).
// The interfaces awaited (interface_lifecycle.h) are opened once they are
// there with an IPv4 address to relay from.
void start_interface_watch(bool end_when_all_gone);

// Called by a listener whose capture read ended: woken by the watcher, or
// failed with the text given. Returns when the listener may read its
// capture again: at once when the interface is relaying (a wake-up asked
// for a moment ago and already undone), or once the interface has been
// reopened. While it waits the listener does not touch its capture, so the
// reopening may rebind it.
// False when the interface is being retired: the listener ends at once.
bool wait_until_reopened(struct interface *iface, bool woken, const char *text);

// Marks the link of that name as awaited (interface_lifecycle.h) for
// DHCPv4 or for DHCPv6, when the watch runs; before, the watch learns the
// names as it starts.
void await_link(const char *name, bool v6);
// The link of that name is awaited no more for that family.
void forget_awaited_link(const char *name, bool v6);

// Follows an interface opened after start-up, before its listener starts.
void watch_interface(struct interface *iface);
// Follows DHCPv6 lower interface idx, opened after start-up.
void watch_lower(std::size_t idx);
// Stops following DHCPv6 lower interface idx; once it returns the watcher
// no longer touches its record.
void stop_watching_lower(std::size_t idx);

// A reload's new relay address for iface, with sock already bound to it:
// taken while the watcher keeps off the interface, since the watcher
// otherwise alone reads and moves the address.
void move_watched_address(struct interface *iface, uint32_t ip, int sock);

// Keeps the watcher off every interface's address and socket while held: a
// reload that replaces the relay sockets reads each address and puts a new
// socket in place without the watcher moving them meanwhile. Taken after
// hold_interface_set (net/interface_lifecycle.h), before the record lock.
class watcher_hold {
public:
    watcher_hold();
    ~watcher_hold();
    watcher_hold(const watcher_hold &) = delete;
    watcher_hold &operator=(const watcher_hold &) = delete;
};

// Ends the listener of iface for good and stops following its DHCPv4
// channel. Returns once the listener has left its capture (or, should it be
// held elsewhere, after a few seconds, said in the log).
void stop_watching(struct interface *iface);


} // namespace kestivane
