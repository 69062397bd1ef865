// Reloading the configuration file on SIGHUP: the new file is checked
// completely in a child process, and only a file that passes is applied,
// by its difference from the running configuration, one table at a time.
// A file that does not pass leaves everything as it was.
#pragma once

#include <string>

namespace kestivane {

// Blocks SIGHUP in the calling thread, and so in every thread started from
// it later, for one thread to take it with sigwait. Called before any other
// thread starts (plug-ins may start their own).
void block_reload_signal();

// Remembers the running configuration (read from path); each reload's
// check runs in a child of the opener. Called once the file is read and
// settled, before the relay's threads start.
void prepare_reload(const std::string &path);

// Starts the thread that reloads on each SIGHUP.
void start_reload_thread();

} // namespace kestivane
