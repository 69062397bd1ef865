// The health alarm of one interface: requests keep going out and no answer
// comes back. It is judged on the counters alone, at each of the reporter's
// ticks, so it costs the packet paths nothing.
#pragma once

#include <cstdint>

namespace kestivane::metrics {

class answer_alarm {
public:
    enum class change { none, raised, cleared };

    // window: how long requests must have gone unanswered, in milliseconds.
    explicit answer_alarm(int64_t window_ms) : window_ms_(window_ms) {}

    // Reads the interface's forwarded and received totals at time now_ms
    // (monotonic). The alarm rises when requests were forwarded at ticks
    // at least a window apart and no answer arrived since the first of
    // them; it clears at the first answer after that. Each change is
    // reported once.
    change observe(uint64_t forwarded, uint64_t answered, int64_t now_ms);

    bool raised() const { return raised_; }

private:
    int64_t window_ms_;
    uint64_t forwarded_ = 0;
    uint64_t answered_ = 0;
    bool waiting_ = false;      // requests forwarded since the last answer
    int64_t waiting_since_ = 0; // the tick that first saw them
    bool raised_ = false;
};

} // namespace kestivane::metrics
