// The reporter thread: every stats_interval seconds it reads the counter
// table, judges the health alarms and rewrites the metrics file; on SIGUSR1
// it logs the counters; several times a second it tells the summaries of
// log floods. It is the only reader of the table at run time, and
// the packet paths never wait for it.
#pragma once

#include <cstdint>
#include <string>

namespace kestivane::metrics {

// Blocks SIGUSR1 in the calling thread, and so in every thread started from
// it later: the signal stays pending until the reporter takes it with
// sigtimedwait, so no handler runs and nothing logs in signal context.
// Called before any other thread starts (plug-ins may start their own).
void block_dump_signal();

// Starts the reporter; it runs as long as the relay does.
void start_reporter();

// A reload's new metrics file (empty: none) and interval: the reporter
// takes them within a quarter of a second, writes the file at once and
// from then on at the new pace.
void set_stats_output(const std::string &file, int32_t interval);

} // namespace kestivane::metrics
