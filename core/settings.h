// Settings of the relay that plug-ins do not see, and the limits of the
// shared tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugins/kestivane_plugin.h"

// Requests whose hops count has reached this are not forwarded (1..16).
extern int32_t max_hops;
// Seconds the relay goes on while none of its interfaces is there; after
// that it ends, for the service manager to start it afresh (1..3600).
extern int32_t interface_grace;
// Directory of plug-in files, always ending in '/' when it fits.
extern char plugin_base[80];
// Requests that may wait for the consumer, all interfaces together (1 or more).
extern int32_t queue_limit;

namespace kestivane {

inline constexpr int32_t interfaces_limit = KESTIVANE_MAX_INTERFACES - 1; // 99 usable slots
inline constexpr int32_t servers_limit = KESTIVANE_MAX_SERVERS - 1;       // 63 usable slots
inline constexpr int plugins_limit = KESTIVANE_MAX_PLUGINS;

inline constexpr int32_t min_packet_size = 300;
inline constexpr int32_t max_packet_size_limit = 1500;
inline constexpr int32_t min_hops_limit = 1;
inline constexpr int32_t max_hops_limit = 16;
inline constexpr int32_t interface_grace_limit = 3600;

// Exit statuses of the run-time ends that a service manager should answer
// with a restart: no interface left for the grace period, and an interface
// that came back needing a socket the relay no longer has the privilege to
// open.
inline constexpr int32_t exit_no_interface = 75;
inline constexpr int32_t exit_no_privilege = 77;
// The request queue's bound. At this machine's forwarding rate of some
// 25,000 to 50,000 requests a second, 256 requests are 5 to 10 ms of work:
// enough to keep the consumer busy while a listener refills its share (it
// takes a request in a few microseconds), and short enough that a request
// past capacity waits milliseconds, not the seconds after which a client
// retries anyway. Memory: about 400 KB. Larger bounds measured no more
// answers, only longer waits (bench/RESULTS.md). The highest bound, a
// million, would be 1.5 GB.
inline constexpr int32_t default_queue_limit = 256;
inline constexpr int32_t max_queue_limit = 1000000;

// The metrics file (empty: none) and the seconds between two writes, which
// also pace the health alarm.
extern std::string stats_file;
extern int32_t stats_interval;
inline constexpr int32_t default_stats_interval = 10;
inline constexpr int32_t min_stats_interval = 1;
inline constexpr int32_t max_stats_interval = 86400;

// Who may send answers to an interface's socket: its own servers only, or
// anyone (for servers that answer from an address other than the one the
// relay sends to, such as a cluster's shared address or a broadcast one).
enum class answer_sources { servers, any };
extern answer_sources answer_sources_accepted;

// The UDP port the relay sends DHCPv4 requests to servers from and takes
// their answers on (host order; 0: the bootps port). Any other port than
// the bootps port makes the relay name it to the servers in option 82
// (relay source port, sub-option 19), so that they answer there; from 1024
// on it needs no privilege to bind. The value the configuration read at
// start-up: the DHCPv6 side's; the DHCPv4 side's may move on a reload.
extern int32_t relay_port;
inline constexpr int32_t relay_port_limit = 65535;
// The port of the relay's DHCPv4 server sockets, in network byte order:
// relay_port's (or the bootps port) until a reload moves it. Read by any
// thread; moved by the reload under the interface record lock, together
// with the sockets.
uint16_t relay_socket_port();
// A relay_port value (host order; 0: the bootps port) as relay_socket_port
// gives it.
uint16_t relay_socket_port_of(int32_t port);
void move_relay_socket_port(uint16_t port);

// A check of the configuration (-t): everything is read and checked as a
// start reads it (keys, server lines, bindings, interfaces as they are now,
// plug-ins loaded and their descriptors found), but nothing is opened: no
// capture, packet or UDP socket, no syslog, no plug-in's init. Log lines go
// to standard output. Set once, before anything is read.
extern bool check_only;

// Log levels as syslog numbers them.
inline constexpr int32_t log_error = 3;
inline constexpr int32_t log_warning = 4;
inline constexpr int32_t log_debug = 7;

} // namespace kestivane
