// The listeners' packets-per-second limit and their work on one frame, kept
// apart from the capture loop so that both can be driven without a capture.
#pragma once

#include <cstdint>
#include <ctime>

#include "plugins/kestivane_plugin.h"

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

// A listener's own state, kept from frame to frame: its rate window, the
// copies the hooks work on, and the item of a request it forwards itself.
struct capture_work {
    request_rate_limit rate;
    struct dhcp_packet packet;
    struct frame_headers headers;
    struct queue_item here;
    // The frame's place in the read that brought it (1: the first) and the
    // frames that read brought, set by the reading loop; 0 when the reader
    // does not say. The listener may forward itself the frames of a small
    // read (here_per_read at most) and the first of a larger one: the rest
    // of a burst goes through the queue, so that under load the consumer
    // forwards while the listener reads on.
    uint32_t read_position = 0;
    uint32_t read_size = 0;
    static constexpr uint32_t here_per_read = 4;
};

// The work on one captured frame of len bytes: rate limit, checks, copies,
// client_request hooks, and the queue for a request that passes (or, with
// the consumer idle and no send_to_server hook, its forwarding at once). The
// listener loop calls it for each frame it reads; it stands apart from the
// capture so that frames can be handed to it directly.
void handle_captured_frame(struct interface *iface, capture_work &work, const uint8_t *frame, uint32_t len);

} // namespace kestivane
