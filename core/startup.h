// Start-up of the relay: command line, plug-in initialisation, pid file,
// detaching and the threads. Ends in the queue consumer and never returns.
#pragma once

[[noreturn]] void run_relay(int argc, char **argv);
