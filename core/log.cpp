// Log lines, fatal errors and the usage text.
#include <bsd/libutil.h>
#include <err.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/settings.h"

namespace {

// A log line: at most 1023 characters of message, cut where it would overrun,
// and room for the line end that standard output gets.
constexpr std::size_t line_size = 1024;

void format_line(char (&line)[line_size + 1], const char *format, va_list args) {
    int n = std::vsnprintf(line, line_size, format, args);
    if (n < 0) line[0] = '\0';
}

void emit(int32_t level, const char *message) {
    if (debug != 0) {
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

} // namespace

extern "C" void logd(int32_t level, const char *format, ...) {
    char line[line_size + 1];
    va_list args;
    va_start(args, format);
    format_line(line, format, args);
    va_end(args);
    emit(level, line);
}

extern "C" void process_error(int32_t code, const char *format, ...) {
    if (pfh != nullptr) pidfile_remove(pfh);
    char line[line_size + 1];
    va_list args;
    va_start(args, format);
    format_line(line, format, args);
    va_end(args);
    emit(kestivane::log_error, line);
    errx(code, "%s", line);
}

extern "C" void usage(const char *name) {
    std::fprintf(stderr, "kestivane - DHCP relay agent\n");
    std::fprintf(stderr, "Version %s.\n", KESTIVANE_VERSION);
    std::fprintf(stderr, "Usage:\n%s [-d] [-p<pidfile>] -f <config_file>\n", name);
    std::fprintf(stderr,
                 "or Kedra compatible mode:\n%s [-d] [-p<pidfile>] -A <packet_size> -c <max_hops> "
                 "-i <ifname>... <dhcp_server>...\n",
                 name);
    std::exit(0);
}
