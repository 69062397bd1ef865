// The listeners' rate-limit clock: read only when a burst passes the limit,
// and millisecond resolution is all the one-second window needs.
#include <ctime>

#include "net/platform.h"

namespace kestivane::platform {

struct timespec coarse_now() {
    struct timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now;
}

} // namespace kestivane::platform
