#include "core/config_checker.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "config/config_check.h"
#include "core/settings.h"

namespace kestivane {

namespace {

// The relay's end of the socket pair; -1 without a checker.
int checker_socket = -1;

bool write_all(int fd, const void *data, std::size_t size) {
    const auto *bytes = static_cast<const char *>(data);
    for (std::size_t done = 0; done < size;) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, void *data, std::size_t size) {
    auto *bytes = static_cast<char *>(data);
    for (std::size_t done = 0; done < size;) {
        ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string read_to_end(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// One reply: a status byte (1: described), the text's length and the text.
bool send_reply(int sock, bool described, const std::string &text) {
    const uint8_t status = described ? 1 : 0;
    const auto size = static_cast<uint32_t>(text.size());
    return write_all(sock, &status, 1) && write_all(sock, &size, sizeof size) && write_all(sock, text.data(), size);
}

// Runs one check in a child: its description on one pipe, what it says on
// standard error on another; the log lines of check mode go nowhere.
void check_once(int sock, const std::string &path) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        send_reply(sock, false, std::string("pipe: ") + std::strerror(errno));
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        close(sock);
        int nowhere = open("/dev/null", O_WRONLY);
        if (nowhere >= 0) dup2(nowhere, STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        config::describe_configuration(path.c_str(), out[1]);
    }
    close(out[1]);
    close(err[1]);
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        send_reply(sock, false, std::string("fork: ") + std::strerror(errno));
        return;
    }
    // A refusal writes one line to standard error and nothing else: the
    // description pipe is read to its end first without risk.
    const std::string description = read_to_end(out[0]);
    std::string said = read_to_end(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        send_reply(sock, true, description);
        return;
    }
    while (!said.empty() && said.back() == '\n') said.pop_back();
    if (said.empty())
        said = WIFEXITED(status) ? "the check ended with status " + std::to_string(WEXITSTATUS(status))
                                 : "the check ended by signal " + std::to_string(WTERMSIG(status));
    send_reply(sock, false, said);
}

[[noreturn]] void serve_checks(int sock, const std::string &path) {
    for (uint8_t request; read_all(sock, &request, 1);) check_once(sock, path);
    _exit(0);
}

} // namespace

void start_config_checker(const std::string &path) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        logd(log_error, "Can't start the configuration checker: socketpair: %s", std::strerror(errno));
        return;
    }
    pid_t child = fork();
    if (child < 0) {
        logd(log_error, "Can't start the configuration checker: fork: %s", std::strerror(errno));
        close(pair[0]);
        close(pair[1]);
        return;
    }
    if (child == 0) {
        // Of the relay's descriptors it keeps its end of the pair and the
        // standard ones: a socket or capture the relay closes later must
        // not live on here.
        const int keep = pair[1];
        close_range(3, static_cast<unsigned>(keep) - 1, 0);
        close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
        serve_checks(keep, path);
    }
    close(pair[1]);
    checker_socket = pair[0];
}

bool check_configuration(std::string &description, std::string &error) {
    const uint8_t request = 1;
    uint8_t status = 0;
    uint32_t size = 0;
    if (checker_socket < 0 || !write_all(checker_socket, &request, 1) || !read_all(checker_socket, &status, 1) ||
        !read_all(checker_socket, &size, sizeof size)) {
        error = "the configuration checker does not answer";
        return false;
    }
    std::string text(size, '\0');
    if (!read_all(checker_socket, text.data(), size)) {
        error = "the configuration checker does not answer";
        return false;
    }
    if (status == 1) description = std::move(text);
    else error = std::move(text);
    return status == 1;
}

} // namespace kestivane
