// What every fuzz target shares: invariant checks that make libFuzzer keep
// the input, and quiet logging (log lines go to standard output in debug
// mode, which the targets send to the null device; nothing reaches syslog).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "plugins/kestivane_plugin.h"

namespace kestivane::fuzz {

// A broken invariant is a finding like a crash: abort, so that libFuzzer
// saves the input and prints the stack.
[[noreturn]] inline void violated(const char *what, const char *file, int line) {
    std::fprintf(stderr, "INVARIANT VIOLATED: %s at %s:%d\n", what, file, line);
    std::abort();
}

// Log lines are formatted (so format bugs still show) but go nowhere,
// unless KESTIVANE_FUZZ_TRACE is set to follow an input.
inline void quiet_logging() {
    debug = 1;
    if (std::getenv("KESTIVANE_FUZZ_TRACE") != nullptr) return;
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

} // namespace kestivane::fuzz

#define FUZZ_CHECK(cond)                                                                         \
    do {                                                                                         \
        if (!(cond)) ::kestivane::fuzz::violated(#cond, __FILE__, __LINE__);                     \
    } while (0)
