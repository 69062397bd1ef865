// Log lines, fatal errors and the usage text.
#include <bsd/libutil.h>
#include <err.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/log_limit.h"
#include "core/settings.h"
#include "net/platform.h"

namespace {

// A log line: at most 1023 characters of message, cut where it would overrun,
// and room for the line end that standard output gets.
constexpr std::size_t line_size = 1024;

void format_line(char (&line)[line_size + 1], const char *format, va_list args) {
    int n = std::vsnprintf(line, line_size, format, args);
    if (n < 0) line[0] = '\0';
}

void emit(int32_t level, const char *message) {
    // A check tells the operator at the terminal, never syslog.
    if (debug != 0 || kestivane::check_only) {
        // One write per line, so that piped output is never held in a buffer
        // and lines from different threads never interleave.
        char out[line_size + 1];
        std::size_t len = std::strlen(message);
        std::memcpy(out, message, len);
        out[len] = '\n';
        (void)!::write(STDOUT_FILENO, out, len + 1);
        return;
    }
    if (level == kestivane::log_debug) return;
    // Errors and warnings alike reach syslog as errors.
    syslog(LOG_ERR, "%s", message);
}

// Lines of one message about one interface: the first of each second pass
// exactly as they are, the rest are summed up (log_limit), so that a flood
// of untrusted frames cannot turn into a flood of log writes.
std::mutex limit_lock;
kestivane::log_limit limit;
thread_local bool thread_limited = false;
thread_local const char *thread_interface = nullptr;

int64_t now_ms() {
    struct timespec t = kestivane::platform::coarse_now();
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A summary tells of lines of every level; it goes out as an error, which
// is how warnings reach syslog too.
void emit_summaries(const std::vector<std::string> &due) {
    for (const std::string &summary : due) emit(kestivane::log_error, summary.c_str());
}

// Set once the relay's threads start: from then on a fatal error must not
// run the exit handlers.
std::atomic<bool> threads_running{false};

} // namespace

namespace kestivane {

void fatal_exits_skip_exit_handlers() { threads_running.store(true); }

void limit_log_lines(const char *interface_name) {
    thread_limited = true;
    thread_interface = interface_name;
}

void log_flush_suppressed() {
    std::vector<std::string> due;
    {
        std::lock_guard<std::mutex> hold(limit_lock);
        limit.flush(now_ms(), due);
    }
    emit_summaries(due);
}

} // namespace kestivane

extern "C" void logd(int32_t level, const char *format, ...) {
    // Discarded anyway: not worth a place in a second's lines.
    if (debug == 0 && level == kestivane::log_debug) return;
    char line[line_size + 1];
    if (!thread_limited) {
        va_list args;
        va_start(args, format);
        format_line(line, format, args);
        va_end(args);
        emit(level, line);
        return;
    }
    std::vector<std::string> due;
    bool pass;
    {
        // The line is formatted only when it passes, so a suppressed line
        // costs a lock and a clock read.
        std::lock_guard<std::mutex> hold(limit_lock);
        kestivane::log_limit::key key{format, thread_interface};
        pass = limit.admit(key, now_ms(), due);
        if (pass) {
            va_list args;
            va_start(args, format);
            format_line(line, format, args);
            va_end(args);
            limit.passed(key, line);
        }
    }
    emit_summaries(due);
    if (pass) emit(level, line);
}

extern "C" void process_error(int32_t code, const char *format, ...) {
    if (pfh != nullptr) pidfile_remove(pfh);
    char line[line_size + 1];
    va_list args;
    va_start(args, format);
    format_line(line, format, args);
    va_end(args);
    emit(kestivane::log_error, line);
    if (!threads_running.load()) errx(code, "%s", line);
    // The other threads go on using the relay's tables until the process
    // is gone, and exit handlers and static destructors would tear those
    // down under them (a crash would then replace the status). So the
    // process ends at once, after saying what errx would have said and
    // handing on what the stdio buffers hold.
    char out[line_size + 256];
    int n = std::snprintf(out, sizeof out, "%s: %s\n", program_invocation_short_name, line);
    if (n > 0) (void)!::write(STDERR_FILENO, out, std::min(static_cast<std::size_t>(n), sizeof out - 1));
    std::fflush(nullptr);
    _exit(code);
}

extern "C" void usage(const char *name) {
    std::fprintf(stderr, "kestivane - DHCP relay agent\n");
    std::fprintf(stderr, "Version %s.\n", KESTIVANE_VERSION);
    std::fprintf(stderr, "Usage:\n%s [-d] [-t] [-p<pidfile>] -f <config_file>\n", name);
    std::fprintf(stderr,
                 "or Kedra compatible mode:\n%s [-d] [-t] [-p<pidfile>] [-u <user>] -A <packet_size> -c <max_hops> "
                 "-i <ifname>... <dhcp_server>...\n",
                 name);
    std::exit(0);
}
