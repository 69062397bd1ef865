// Answers first: while answers wait in the answer sockets beyond a few
// milliseconds' worth, the consumer forwards no new requests. Each forwarded
// request brings one more answer; forwarding then only lengthens the wait of
// every answer already on its way, and takes the processor from the thread
// that delivers them. The requests held back stay in the queue, then in the
// capture rings, where the excess of a flood is dropped at no cost.
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
    }

    bool behind() const { return behind_.load(std::memory_order_relaxed); }

    // The consumer, before each request: waits while the answer thread is
    // behind, at most wait_limit_us, so that an answer thread that cannot
    // catch up (a slow hook, say) slows the forwarding but never stops it.
    void wait_until_caught_up() const;

    // A 300-byte answer costs its socket about 1 KiB: high_bytes is some
    // 500 answers, under 10 ms of the thread's work. Bursts below it (a
    // rate-limit window's answers at once) pass as before.
    static constexpr uint64_t high_bytes = 512 * 1024;
    static constexpr uint64_t low_bytes = 128 * 1024;
    static constexpr int64_t wait_limit_us = 20000;

private:
    std::atomic<bool> behind_{false};
};

} // namespace kestivane
