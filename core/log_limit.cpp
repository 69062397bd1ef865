// Counting and summing up the lines of a log flood.
#include "core/log_limit.h"

#include <cstdio>

namespace kestivane {

namespace {

constexpr int64_t second_ms = 1000;

bool ended(int64_t start_ms, int64_t now_ms) { return now_ms - start_ms >= second_ms; }

} // namespace

void log_limit::summarise(const window &w, std::vector<std::string> &due) {
    if (w.suppressed == 0) return;
    char line[1200];
    if (!w.interface.empty())
        std::snprintf(line, sizeof line, "%s: %lu more suppressed on %s in the last second", w.text.c_str(),
                      w.suppressed, w.interface.c_str());
    else
        std::snprintf(line, sizeof line, "%s: %lu more suppressed in the last second", w.text.c_str(), w.suppressed);
    due.emplace_back(line);
}

// Lines of many messages: no one text stands for them.
void log_limit::summarise_others(const window &w, std::vector<std::string> &due) {
    if (w.suppressed == 0) return;
    char line[128];
    std::snprintf(line, sizeof line, "%lu more lines of other messages suppressed in the last second", w.suppressed);
    due.emplace_back(line);
}

bool log_limit::count(window &w) {
    if (w.passed < lines_per_second) {
        ++w.passed;
        return true;
    }
    ++w.suppressed;
    return false;
}

bool log_limit::admit(key k, int64_t now_ms, std::vector<std::string> &due) {
    auto found = windows_.find(k);
    // A message that comes back after its second opens a new one.
    if (found != windows_.end() && ended(found->second.start_ms, now_ms)) {
        summarise(found->second, due);
        windows_.erase(found);
        found = windows_.end();
    }
    if (found == windows_.end() && windows_.size() >= pairs_max) flush(now_ms, due);
    if (found == windows_.end() && windows_.size() < pairs_max) {
        window w;
        w.start_ms = now_ms;
        if (k.interface != nullptr) w.interface = k.interface;
        found = windows_.emplace(k, std::move(w)).first;
    }
    if (found != windows_.end()) return count(found->second);
    if (!others_open_) {
        others_ = window{};
        others_.start_ms = now_ms;
        others_open_ = true;
    }
    return count(others_);
}

void log_limit::passed(key k, const char *text) {
    auto found = windows_.find(k);
    if (found != windows_.end()) found->second.text = text;
}

void log_limit::flush(int64_t now_ms, std::vector<std::string> &due) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (!ended(it->second.start_ms, now_ms)) {
            ++it;
            continue;
        }
        summarise(it->second, due);
        it = windows_.erase(it);
    }
    if (others_open_ && ended(others_.start_ms, now_ms)) {
        summarise_others(others_, due);
        others_open_ = false;
    }
}

} // namespace kestivane
