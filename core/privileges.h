// What the relay gives up once start-up has opened everything it needs:
// the user it was started as (when root), every capability in every
// thread, and, with the sandbox on, every system call it does not make.
#pragma once

#include <string>
#include <string_view>

// The user to run as: the [options] key user=<name> (line_number names the
// line in messages) or the command line's -u (line_number 0). Only root can
// change user, so only then is the name looked up (an unknown one ends
// start-up); otherwise it is noted and left.
void set_run_as_user(std::string_view name, int line_number);

// Called once the options are read: a relay started as root with no user
// named runs as the packaged user kestivane when it exists, and otherwise
// stays root, saying so in one warning line. user=root stays root quietly.
void settle_run_as_user();

// The [options] keys sandbox=on|off (off unless set) and
// sandbox_allow=<call>,<call>... (system calls added to the allow-list,
// for plug-ins that need them; may be given more than once). A bad value
// or an unknown call ends start-up naming the line.
void set_sandbox(std::string_view value, int line_number);
void add_sandbox_calls(std::string_view names, int line_number);

// Called once by start-up, after the pid file is written and before the
// relay starts its threads (a plug-in's may run already): switches every
// thread to the user's groups, group and user when running as root,
// empties every thread's capability sets and sets no-new-privileges,
// installs the sandbox when it is on, and then reads every thread's state
// back from the kernel. Any failure ends the process.
void drop_privileges();

// Called once in the opener, a process of one thread forked by start-up:
// it runs as the user the relay will run as and keeps CAP_NET_RAW and
// CAP_NET_BIND_SERVICE (those of them it has) and nothing else, in every
// set; the bounding set narrowed to them where it may be, no-new-privileges
// set. Checked from what the kernel reports. Returns what failed, empty
// when all went as said.
std::string confine_opener();
