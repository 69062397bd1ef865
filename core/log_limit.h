// Log floods: per message and interface, the first lines of each second
// pass as they are, the rest are counted and summed up in one line once the
// second is over. Kept apart from the output so that it can be driven with
// a made-up clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestivane {

class log_limit {
public:
    // Lines of one message about one interface that pass per second. Every
    // message of the relay and its tests needs fewer in one second; only a
    // flood of untrusted frames makes more.
    static constexpr uint32_t lines_per_second = 10;
    // Message/interface pairs followed at once, each holding the text of its
    // last line (at most a log line, 1 KiB): the relay's messages on all of
    // its interfaces fit many times over. Should plug-ins' formats or a
    // relay's interfaces ever make more pairs log in one second, the lines
    // of the pairs beyond share one more limit, so that memory stays bounded
    // and no line escapes a limit.
    static constexpr std::size_t pairs_max = 1024;

    // The key of a line: its format (the call site's literal, compared by
    // address) and the interface it is about (null: none; compared by
    // address too, its name is copied for the summary).
    struct key {
        const char *format;
        const char *interface;
        bool operator==(const key &) const = default;
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
    // comes again, and forgets the pairs whose second ended.
    void flush(int64_t now_ms, std::vector<std::string> &due);

    // Pairs followed now (for the tests of the bound).
    std::size_t pairs() const { return windows_.size(); }

private:
    struct window {
        int64_t start_ms = 0;
        uint32_t passed = 0;
        unsigned long suppressed = 0;
        std::string interface;
        std::string text;
    };
    struct key_hash {
        std::size_t operator()(const key &k) const {
            return std::hash<const void *>()(k.format) * 31 + std::hash<const void *>()(k.interface);
        }
    };
    using windows = std::unordered_map<key, window, key_hash>;

    static void summarise(const window &w, std::vector<std::string> &due);
    static void summarise_others(const window &w, std::vector<std::string> &due);
    static bool count(window &w);

    windows windows_;
    // The shared second of the pairs beyond pairs_max, while open.
    window others_;
    bool others_open_ = false;
};

} // namespace kestivane
