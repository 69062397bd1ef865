#include "net/answer_backlog.h"

#include <time.h>

namespace kestivane {

int64_t answer_backlog::now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void answer_backlog::pause() {
    const struct timespec pause = {0, 100000};
    nanosleep(&pause, nullptr);
}

} // namespace kestivane
