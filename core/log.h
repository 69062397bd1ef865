// What the relay's own threads tell the logging code beyond logd's lines.
#pragma once

namespace kestivane {

// From now on the calling thread's lines are limited: per message and
// second, the first lines pass and the rest are summed up. The packet
// paths call it when they start (start-up's lines, which a configuration
// with many servers or interfaces makes numerous, stay unlimited).
// interface_name names the interface the thread's lines are about: a
// listener names its own, since all its lines (its frame checks, its rate
// limit, its plug-ins' client_request lines) concern the segment it
// captures, and so a flood on one segment never silences another's.
// Threads that serve every interface (the consumer, the answer thread)
// pass null and their lines are limited per message alone.
void limit_log_lines(const char *interface_name);

// Logs the summary of every second of suppressed lines that has ended. The
// metrics reporter, which runs as long as the relay does whatever it
// relays, calls it several times a second, so that a flood's last count is
// told on time even when its message does not come again.
void log_flush_suppressed();

// Called before the relay starts its threads: from then on process_error
// ends the process without running exit handlers or static destructors
// (the other threads still use what they would destroy), still removing
// the pid file and logging its line as always.
void fatal_exits_skip_exit_handlers();

} // namespace kestivane
