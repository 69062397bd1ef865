#include "metrics/reporter.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "metrics/dump.h"
#include "metrics/exposition.h"
#include "metrics/health_alarm.h"
#include "metrics/socket_drops.h"
#include "metrics/stats_file.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/platform.h"

namespace kestivane::metrics {

namespace {

// How often the summaries of log floods are told: a second of suppressed
// lines is summed up at most this long after it ended.
constexpr int64_t log_flush_ms = 250;

// A reload's settings for the reporter, taken at its next turn.
struct stats_output {
    std::mutex lock;
    bool pending = false;
    std::string file;
    int32_t interval = 0;
};
stats_output next_output;

int64_t monotonic_ms() {
    struct timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

sigset_t dump_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

// An interface of either family: the same rule, the same lines.
template <typename interface_snapshot_type>
std::string joined_servers(const interface_snapshot_type &i) {
    std::string text;
    for (const auto &s : i.servers) text += (text.empty() ? "" : ", ") + s.label;
    return text.empty() ? std::string("(none)") : text;
}

class reporter {
public:
    reporter()
        : interval_ms_(static_cast<int64_t>(stats_interval) * 1000),
          alarms_(KESTIVANE_MAX_INTERFACES, answer_alarm(6 * interval_ms_)),
          alarms6_(v6_interfaces_limit, answer_alarm(6 * interval_ms_)) {
        struct timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        extras_.start_time = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
        extras_.version = KESTIVANE_VERSION;
    }

    [[noreturn]] void run() {
        const sigset_t set = dump_signal_set();
        int64_t next = monotonic_ms();
        for (;;) {
            int64_t now = monotonic_ms();
            if (take_new_output()) next = now;
            if (now >= next) {
                tick(now);
                next += interval_ms_;
                if (next <= now) next = now + interval_ms_;
            }
            log_flush_suppressed();
            int64_t wait = std::min(next - now, log_flush_ms);
            struct timespec timeout{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
            if (sigtimedwait(&set, nullptr, &timeout) == SIGUSR1) dump();
        }
    }

private:
    // The reporter is the only thread that reads the two settings once the
    // relay runs, so it switches them itself.
    bool take_new_output() {
        std::lock_guard<std::mutex> hold(next_output.lock);
        if (!next_output.pending) return false;
        next_output.pending = false;
        stats_file = next_output.file;
        stats_interval = next_output.interval;
        interval_ms_ = static_cast<int64_t>(stats_interval) * 1000;
        write_failed_ = false;
        return true;
    }

    void read_socket_drops() {
        for (int32_t i = 0; i < if_num && i < KESTIVANE_MAX_INTERFACES; ++i) {
            const struct interface *iface = ifs[i];
            if (iface == nullptr || iface->idx < 0 || iface->idx >= KESTIVANE_MAX_INTERFACES) continue;
            if (interface_retired(iface->idx)) continue;
            platform::socket_drops reading;
            if (!platform::socket_receive_drops(iface->sock, reading)) continue;
            const uint64_t total = socket_drops_[static_cast<std::size_t>(iface->idx)].add(reading);
            of_interface(iface->idx).answers.socket_dropped.set(total);
        }
    }

    // The server lists and the server table change on a reload, and
    // interfaces are opened and retired, under the record lock held
    // exclusively.
    snapshot steady_snapshot() {
        interface_reader steady;
        read_socket_drops();
        return take_snapshot(ifs, if_num, servers, srv_num);
    }

    void tick(int64_t now) {
        snapshot shot = steady_snapshot();
        take_snapshot6(shot);
        extras_.alarmed.clear();
        extras_.alarmed6.clear();
        for (const auto &i : shot.interfaces)
            if (judge(alarms_[static_cast<std::size_t>(i.idx)], i, i.received, now)) extras_.alarmed.push_back(i.idx);
        // A DHCPv6 lower interface has no answer socket of its own: what it
        // delivered down is what came back for it.
        for (std::size_t k = 0; k < shot.interfaces6.size() && k < alarms6_.size(); ++k) {
            const interface6_snapshot &l = shot.interfaces6[k];
            if (judge(alarms6_[k], l, l.delivered, now)) extras_.alarmed6.push_back(l.name);
        }
        if (!stats_file.empty()) write_stats(shot);
    }

    // One interface's alarm at this tick, its change logged; true while it
    // is raised.
    template <typename interface_snapshot_type>
    bool judge(answer_alarm &alarm, const interface_snapshot_type &i, uint64_t answered, int64_t now) {
        switch (alarm.observe(i.forwarded_total(), answered, now)) {
        case answer_alarm::change::raised:
            logd(log_warning, "Interface %s: requests forwarded to %s for %d seconds without an answer",
                 i.name.c_str(), joined_servers(i).c_str(), 6 * stats_interval);
            break;
        case answer_alarm::change::cleared:
            logd(log_warning, "Interface %s: answers from the servers again", i.name.c_str());
            break;
        case answer_alarm::change::none:
            break;
        }
        return alarm.raised();
    }

    // A failure is logged once, and its end once: a full disk must not
    // fill the log every interval too.
    void write_stats(const snapshot &shot) {
        std::string error;
        if (replace_file(stats_file, format_exposition(shot, extras_), error)) {
            if (write_failed_) logd(log_warning, "Stats file %s written again", stats_file.c_str());
            write_failed_ = false;
            return;
        }
        if (!write_failed_) logd(log_error, "Can't write the stats file: %s", error.c_str());
        write_failed_ = true;
    }

    void dump() {
        snapshot shot = steady_snapshot();
        take_snapshot6(shot);
        for (const std::string &line : dump_lines(shot))
            logd(log_warning, "%s", line.c_str());
    }

    int64_t interval_ms_;
    std::vector<answer_alarm> alarms_;
    std::vector<answer_alarm> alarms6_; // per DHCPv6 lower interface
    std::array<socket_drop_total, KESTIVANE_MAX_INTERFACES> socket_drops_{};
    exposition_extras extras_;
    bool write_failed_ = false;
};

void *run_reporter(void *arg) { static_cast<reporter *>(arg)->run(); }

} // namespace

void block_dump_signal() {
    const sigset_t set = dump_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void set_stats_output(const std::string &file, int32_t interval) {
    std::lock_guard<std::mutex> hold(next_output.lock);
    next_output.pending = true;
    next_output.file = file;
    next_output.interval = interval;
}

void start_reporter() {
    // Lives as long as the process: the thread never ends.
    auto *state = new reporter();
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, run_reporter, state);
    if (failed != 0) {
        logd(log_error, "Can't start the metrics thread: %s", std::strerror(failed));
        delete state;
        return;
    }
    pthread_detach(thread);
}

} // namespace kestivane::metrics
