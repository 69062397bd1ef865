// Answers first: while answers wait in the answer sockets beyond some
// milliseconds' worth, the consumer forwards no new request of a busy
// segment. Each forwarded request brings one more answer; forwarding then
// only lengthens the wait of every answer already on its way, and takes the
// processor from the thread that delivers them. The requests held back stay
// in the queue, then in the capture rings, where the excess of a flood is
// dropped at no cost.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestivane {

class answer_backlog {
public:
    // The answer thread, after a pass: the bytes still waiting in the
    // sockets it could not empty (0 when it emptied them all). Behind from
    // above high_bytes until below low_bytes.
    void report(uint64_t waiting_bytes) {
        if (waiting_bytes > high_bytes) behind_.store(true, std::memory_order_relaxed);
        else if (waiting_bytes < low_bytes) behind_.store(false, std::memory_order_relaxed);
        keeping_up_.store(waiting_bytes == 0, std::memory_order_relaxed);
    }

    bool behind() const { return behind_.load(std::memory_order_relaxed); }

    // Whether the thread's last pass left nothing in any socket: no load to
    // speak of. A listener forwards a request itself only then; under a
    // flood, forwarding at the listener's pace took the processor from the
    // answer thread (a quiet segment beside a flooded one lost a third of
    // its answers).
    bool keeping_up() const { return keeping_up_.load(std::memory_order_relaxed); }

    // The consumer, before a busy segment's request: waits while the answer
    // thread is behind, at most wait_limit_us, so that an answer thread that
    // cannot catch up (a slow hook, say) slows the forwarding but never
    // stops it; and not at all once stop() says that the hold would cost
    // other work (another segment being served).
    template <typename Stop>
    void wait_until_caught_up(Stop &&stop) const {
        if (!behind() || stop()) return;
        const int64_t until = now_us() + wait_limit_us;
        while (behind() && !stop() && now_us() < until) pause();
    }

    // A 300-byte answer costs its socket 1.25 KiB: high_bytes is some 800
    // answers, about 15 ms of the thread's work at its full rate. A
    // burst below it (a rate-limit window's answers at once, a thread that
    // was off its processor for some milliseconds) passes as before: holding
    // the forwarding for such a burst only costs requests. Forwarding goes
    // on once half of it is delivered.
    static constexpr uint64_t high_bytes = 1024 * 1024;
    static constexpr uint64_t low_bytes = 512 * 1024;
    static constexpr int64_t wait_limit_us = 20000;

private:
    static int64_t now_us();
    // A short sleep rather than a wake-up from the answer thread: that
    // thread is the busy one here, and a signal per pass would cost it.
    static void pause();

    std::atomic<bool> behind_{false};
    std::atomic<bool> keeping_up_{true};
};

} // namespace kestivane
