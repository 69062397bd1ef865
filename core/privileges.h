// What the relay gives up once start-up has opened everything it needs:
// the user it was started as (when root and a user is configured), then
// every capability, for good.
#pragma once

#include <string_view>

// The [options] key user=<name>. Only root can change user, so only then is
// the name looked up (an unknown one ends start-up); otherwise it is noted
// and left. line_number names the line in messages.
void set_run_as_user(std::string_view name, int line_number);

// Called once by start-up, after the pid file is written and before any
// thread starts: switches to the configured user's groups, group and user
// when running as root, then empties every capability set and forbids
// gaining privileges again. Any failure ends the process.
void drop_privileges();
