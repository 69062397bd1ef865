#include "metrics/health_alarm.h"

namespace kestivane::metrics {

answer_alarm::change answer_alarm::observe(uint64_t forwarded, uint64_t answered, int64_t now_ms) {
    // The counters start at zero with the relay, so the first reading is
    // measured from zero like every later one.
    bool new_forwards = forwarded != forwarded_;
    bool new_answers = answered != answered_;
    forwarded_ = forwarded;
    answered_ = answered;

    if (new_answers) {
        waiting_ = false;
        if (raised_) {
            raised_ = false;
            return change::cleared;
        }
        return change::none;
    }
    if (!new_forwards) return change::none;
    if (!waiting_) {
        waiting_ = true;
        waiting_since_ = now_ms;
    }
    if (!raised_ && now_ms - waiting_since_ >= window_ms_) {
        raised_ = true;
        return change::raised;
    }
    return change::none;
}

} // namespace kestivane::metrics
