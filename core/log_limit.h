// Log floods: per message and interface, the first lines of each second
// pass as they are, the rest are counted and summed up in one line once the
// second is over. Kept apart from the output so that it can be driven with
// a made-up clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestivane {

class log_limit {
public:
    // Lines of one message about one interface that pass per second. Every
    // message of the relay and its tests needs fewer in one second; only a
    // flood of untrusted frames makes more.
    static constexpr uint32_t lines_per_second = 10;
    // Messages followed at once. A line whose key finds no free slot passes
    // unlimited: better a flood in the log than a line lost unsaid.
    static constexpr std::size_t slots = 64;

    // The key of a line: its format (the call site's literal, compared by
    // address) and the interface it is about (null: none).
    struct key {
        const char *format;
        const char *interface;
    };

    // Decides on one line at now_ms (a monotonic clock in milliseconds).
    // True: log it, then hand its text to passed(). False: it is counted and
    // dropped. The summaries of every second that ended for this key are
    // appended to due.
    bool admit(key k, int64_t now_ms, std::vector<std::string> &due);

    // The text of the line just admitted for k: the summary repeats it.
    void passed(key k, const char *text);

    // Appends the summaries of every second that ended by now_ms, so that
    // the count of a flood that stopped is not held back until its message
    // comes again.
    void flush(int64_t now_ms, std::vector<std::string> &due);

private:
    struct slot {
        key k{nullptr, nullptr};
        int64_t start_ms = 0;
        uint32_t passed = 0;
        unsigned long suppressed = 0;
        std::string text;
    };
    static void close_window(slot &s, std::vector<std::string> &due);
    slot *find(key k);

    std::array<slot, slots> slots_{};
};

} // namespace kestivane
