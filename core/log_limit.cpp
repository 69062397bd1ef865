// Counting and summing up the lines of a log flood.
#include "core/log_limit.h"

#include <cstdio>

namespace kestivane {

namespace {

constexpr int64_t second_ms = 1000;

bool same(log_limit::key a, log_limit::key b) { return a.format == b.format && a.interface == b.interface; }

} // namespace

log_limit::slot *log_limit::find(key k) {
    for (slot &s : slots_)
        if (s.k.format != nullptr && same(s.k, k)) return &s;
    return nullptr;
}

void log_limit::close_window(slot &s, std::vector<std::string> &due) {
    if (s.suppressed != 0) {
        char line[1200];
        if (s.k.interface != nullptr)
            std::snprintf(line, sizeof line, "%s: %lu more suppressed on %s in the last second", s.text.c_str(),
                          s.suppressed, s.k.interface);
        else
            std::snprintf(line, sizeof line, "%s: %lu more suppressed in the last second", s.text.c_str(),
                          s.suppressed);
        due.emplace_back(line);
    }
    // The slot is free again: a message that comes back opens a new second.
    s.k = {nullptr, nullptr};
    s.passed = 0;
    s.suppressed = 0;
}

bool log_limit::admit(key k, int64_t now_ms, std::vector<std::string> &due) {
    slot *s = find(k);
    if (s != nullptr && now_ms - s->start_ms >= second_ms) {
        close_window(*s, due);
        s = nullptr;
    }
    if (s == nullptr) {
        for (slot &free_slot : slots_) {
            if (free_slot.k.format == nullptr) {
                s = &free_slot;
                break;
            }
        }
        if (s == nullptr) return true;
        s->k = k;
        s->start_ms = now_ms;
    }
    if (s->passed < lines_per_second) {
        ++s->passed;
        return true;
    }
    ++s->suppressed;
    return false;
}

void log_limit::passed(key k, const char *text) {
    slot *s = find(k);
    if (s != nullptr) s->text = text;
}

void log_limit::flush(int64_t now_ms, std::vector<std::string> &due) {
    for (slot &s : slots_)
        if (s.k.format != nullptr && now_ms - s.start_ms >= second_ms) close_window(s, due);
}

} // namespace kestivane
