#include "net/answer_backlog.h"

#include <time.h>

namespace kestivane {

namespace {

int64_t now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

} // namespace

void answer_backlog::wait_until_caught_up() const {
    if (!behind()) return;
    const int64_t until = now_us() + wait_limit_us;
    // A short sleep rather than a wake-up from the answer thread: that
    // thread is the busy one here, and a signal per pass would cost it.
    const struct timespec pause = {0, 100000};
    while (behind() && now_us() < until) nanosleep(&pause, nullptr);
}

} // namespace kestivane
