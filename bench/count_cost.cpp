// What counting adds to one relayed request, timed without the noise of a
// whole relay: the increments one answered request makes (captured,
// forwarded, received, delivered), each through the same call the packet
// paths make, on three threads as in the relay (listener, consumer, answer
// thread), while a fourth reads the table as the reporter does. Prints the
// nanoseconds per request; built with KESTIVANE_COUNTING=OFF it times the
// calls alone.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "metrics/counters.h"

using namespace kestivane::metrics;

int main(int argc, char **argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 20000000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t sum = 0;
        while (!done.load(std::memory_order_relaxed)) {
            sum += of_interface(0).requests.captured.get() + of_interface(0).answers.delivered.get();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::printf("(reader saw %llu)\n", static_cast<unsigned long long>(sum % 10));
    });
    auto start = std::chrono::steady_clock::now();
    std::thread listener([&] {
        for (long i = 0; i < rounds; ++i) count_captured(0);
    });
    std::thread consumer([&] {
        for (long i = 0; i < rounds; ++i) count_forward(0, 0, true);
    });
    std::thread answers([&] {
        for (long i = 0; i < rounds; ++i) {
            count_answer_received(0);
            count_delivery(0, true);
        }
    });
    listener.join();
    consumer.join();
    answers.join();
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    done = true;
    reader.join();
    // The three threads run side by side; their sum of CPU time is what the
    // relay's CPU per answer would carry, about three times the wall time
    // when each has a core, or the wall time when they share one.
    std::printf("count_cost: %ld requests, %.2f ns per request (wall), captured=%llu\n", rounds, ns / rounds,
                static_cast<unsigned long long>(of_interface(0).requests.captured.get()));
    return 0;
}
