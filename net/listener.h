// The listeners' packets-per-second limit, kept apart from the capture loop
// so that its window arithmetic can be exercised with a clock of one's own.
#pragma once

#include <cstdint>
#include <ctime>

namespace kestivane {

class request_rate_limit {
public:
    // Decides on one frame under a limit of `limit` frames (0: no limit).
    // Within a window the frame that opened it and limit + 1 more pass. The
    // clock is read only once the counter is over the limit, so frames under
    // the limit cost no clock read. The window starts at the clock's origin,
    // which lies more than a second in the past, so the first frame over the
    // limit opens a window.
    template <typename Clock>
    bool admit(uint32_t limit, Clock &&now) {
        if (limit == 0) return true;
        if (count_ <= limit) {
            ++count_;
            return true;
        }
        struct timespec t = now();
        // Whole microseconds elapsed, so a window lasts a full second.
        int64_t elapsed_ns = (static_cast<int64_t>(t.tv_sec) - window_.tv_sec) * 1000000000 +
                             (static_cast<int64_t>(t.tv_nsec) - window_.tv_nsec);
        if (elapsed_ns / 1000 > 999999) {
            count_ = 0;
            window_ = t;
            return true;
        }
        return false;
    }

private:
    uint32_t count_ = 0;
    struct timespec window_{};
};

} // namespace kestivane
