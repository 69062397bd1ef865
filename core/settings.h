// Settings of the relay that plug-ins do not see, and the limits of the
// shared tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugins/kestivane_plugin.h"

// Requests whose hops count has reached this are not forwarded (1..16).
extern int32_t max_hops;
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
// The request queue's bound. At this machine's forwarding rate of some
// 40,000 to 50,000 requests a second, 1,024 requests are 20 to 25 ms of work:
// enough to keep the consumer busy between two reads of a listener, short
// of anything a client would notice (it retries after about 4 s), and about
// 1.5 MB of memory. The highest bound, a million, would be a minute of work
// and 1.5 GB.
inline constexpr int32_t default_queue_limit = 1024;
inline constexpr int32_t max_queue_limit = 1000000;

// Log levels as syslog numbers them.
inline constexpr int32_t log_error = 3;
inline constexpr int32_t log_warning = 4;
inline constexpr int32_t log_debug = 7;

} // namespace kestivane
