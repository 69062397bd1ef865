// Interfaces after start-up: opened while the relay runs (a reload that
// adds one, or one named in the configuration that appears later) and
// retired (a reload that removes one). A record keeps its slot in ifs and
// its idx for the life of the process: a retired one stays a valid record,
// unused, so that a plug-in holding its index or pointer reads nothing
// freed, and the same name opened again takes its old slot back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/kestivane_plugin.h"

namespace kestivane {

// Opens (or reopens in its old slot) a configured interface after start-up,
// through open_privileged, with the servers srv (indexes in servers), and
// starts its listener; logs "Listen at ..." as start-up does. False (said
// in the log) when it cannot be opened now.
bool open_interface_at_run_time(const char *name, const int32_t *srv, int32_t srv_count);

// Stops relaying on it: its listener ends, its channels close once no
// packet path uses them, its server list empties. Its record and idx stay
// (slot unused); requests already queued for it are dropped, answers for it
// are not delivered, look-ups do not find it and its metrics series go.
void retire_interface(struct interface *iface);

// An interface of the configuration that could not be opened at start-up
// (not there, or without its IPv4 address yet), with a server it is to
// relay to (null: none yet), remembered to be opened once it is there. A
// server is kept by value: a server line whose interfaces were all missing
// is taken out of the table.
// While the relay runs (a reload naming an interface that is not there)
// the watcher is told at once.
void await_interface(const char *name, const struct server *srv);
// The same for a DHCPv6 lower interface, with the text of a [servers6]
// server it is to relay to; it is opened once it is there with an IPv6
// address.
void await_interface6(const char *name, const char *server_text);
// The configuration no longer names it: it is not opened when it comes.
void stop_awaiting(const char *name);
// ... for DHCPv6 only.
void stop_awaiting6(const char *name);
// The names awaited, in the order first named.
std::vector<std::string> awaited_interface_names();
struct awaited_families {
    bool v4 = false;
    bool v6 = false;
};
awaited_families awaited_for(const char *name);
// Opens an awaited interface for the families that are ready (each family
// with the servers it was named with, found in the tables or added to
// them); one log line ("Listen at ...") for each family opened, or the
// failure's. True when it relays now for every family it was awaited for.
bool open_awaited_interface(const char *name, awaited_families ready = {true, true});

// Whether the record in slot idx is retired. Read by the packet paths under
// the interface record lock.
bool interface_retired(int32_t idx);

// Moves each time an interface is opened after start-up or retired, so that
// a thread that keeps its own list of the interfaces' sockets (the answer
// thread) builds it again.
uint64_t interface_set_version();

// Moves the version for a change of the sockets the answer thread watches
// other than an opening or a retirement (a reload's new relay port or
// source addresses); the caller holds the interface record lock
// exclusively.
void interface_sockets_changed();

// Holds openings and retirements back (a reload that replaces every relay
// socket); the watcher's hold is taken after it.
std::unique_lock<std::mutex> hold_interface_set();

// if_num, read by a thread that does not hold the interface record lock.
int32_t interface_count();

} // namespace kestivane
