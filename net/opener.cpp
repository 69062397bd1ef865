// The opener.
//
// What it holds: CAP_NET_RAW and CAP_NET_BIND_SERVICE (those of them the
// relay was started with) and nothing else, as the user the relay runs as
// (root stays root, with only those two, when no other user is named or
// packaged); the bounding set narrowed to the two where it may be (started
// as root); no-new-privileges; its own system-call allow-list
// (net/linux/opener_sandbox.cpp), always on. Its only descriptors are its
// end of the socket pair and /dev/null on the standard three.
//
// What it opens: for an interface the configuration names, a packet socket
// for capture or frame output, a DHCPv6 packet socket, or a UDP socket on
// the relay port bound to an IPv4 address that interface has now. The
// names are those of the configuration the relay read at start-up, then of
// each file a check (a reload's first step) found good.
//
// What it refuses, answering EPERM with the reason: any interface the
// configuration does not name, any address the named interface does not
// have, any request it cannot read. The relay logs each refusal.
//
// What it runs: a reload's check, in a child that first gives up every
// capability, then reads the file with the code a start and -t use (as the
// relay's user: the file and the plug-ins must be readable by that user),
// under the opener's filter, ended when it takes more than 10 s. A good
// check's named interfaces become what the opener may open for.
//
// It ends when the relay does: its end of the pair reads end-of-file. It
// is forked before the relay daemonizes, so a parent-death signal would
// name the wrong parent; the pair needs none.
#include "net/opener.h"

#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "core/privileges.h"
#include "core/settings.h"
#include "net/platform.h"

#include "config/config_check.h"

namespace kestivane {

namespace {

// The relay's side: the pair and one request at a time on it.
struct opener_link {
    int sock = -1;
    bool ended = false; // said once in the log
    std::mutex lock;
};
opener_link &opener_side() {
    static opener_link the_link;
    return the_link;
}

// A check that has not ended in this time is ended: a name server that
// never answers must not hold the relay's reload for good.
constexpr int check_limit_ms = 10000;

template <std::size_t N> void say(char (&what)[N], const char *format, const char *a, const char *b = "") {
    std::snprintf(what, N, format, a, b);
}

void refuse(opener_reply &reply, const char *format, const char *a, const char *b = "") {
    reply.error = EPERM;
    reply.refused = 1;
    say(reply.what, format, a, b);
}

bool known_kind(uint8_t kind) { return kind <= static_cast<uint8_t>(privileged_kind::server6_socket); }

// ---- the opener's side ----

// Reads pipes until every one ends or the time is up; false when it was.
template <std::size_t N> bool read_all(const int (&from)[N], std::string *(&&texts)[N]) {
    struct pollfd fds[N];
    for (std::size_t i = 0; i < N; ++i) fds[i] = {from[i], POLLIN, 0};
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::size_t open_count = N;
    while (open_count > 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= check_limit_ms) return false;
        if (poll(fds, N, static_cast<int>(check_limit_ms - spent)) < 0 && errno != EINTR) return false;
        for (std::size_t i = 0; i < N; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1; // poll passes it over from now on
                --open_count;
            }
        }
    }
    return true;
}

// Where the check child writes the description. Its standard output (check
// mode's log lines) stays on /dev/null; its standard error, where a refusal
// is told, goes to the error text.
constexpr int description_fd = 3;

[[noreturn]] void run_check_child(const std::string &config_path, int out, int err) {
    // Nothing else open: the relay's pair above all. The ends are first
    // moved above the descriptors they go to, so that none is overwritten
    // before it is placed.
    err = fcntl(err, F_DUPFD, description_fd + 1);
    out = fcntl(out, F_DUPFD, description_fd + 1);
    if (err < 0 || out < 0 || dup2(err, STDERR_FILENO) < 0 || dup2(out, description_fd) < 0) _exit(70);
    close_range(description_fd + 1, ~0U, 0);
    if (const char *failed = platform::own_privileges_clear(); failed != nullptr) {
        std::fprintf(stderr, "%s: Can't drop privileges for the check: %s: %s\n", program_invocation_short_name,
                     failed, std::strerror(errno));
        _exit(1);
    }
    config::describe_configuration(config_path.c_str(), description_fd);
}

// A memory file holding text, for the reply: a check's output may be longer
// than one message.
int text_file(const std::string &text) {
    int fd = memfd_create("kestivane-check", MFD_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(wrote);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

int answer_check(const std::string &config_path, opener_permissions &permitted, opener_reply &reply) {
    reply = opener_reply{};
    if (config_path.empty()) {
        reply.error = EINVAL;
        say(reply.what, "%s", "command-line mode has no configuration file to check");
        return -1;
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        reply.error = errno;
        say(reply.what, "%s", "pipe2");
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) run_check_child(config_path, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    std::string description, error_text;
    const int from[2] = {out[0], err[0]};
    const bool in_time = child > 0 && read_all(from, {&description, &error_text});
    int status = 0;
    if (child > 0) {
        if (!in_time) kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    const int fork_error = errno;
    close(out[0]);
    close(err[0]);
    if (child < 0) {
        reply.error = fork_error;
        say(reply.what, "%s", "fork");
        return -1;
    }
    std::optional<config::configuration_description> described;
    if (in_time && WIFEXITED(status) && WEXITSTATUS(status) == 0) described = config::parse_description(description);
    const bool good = described.has_value();
    if (good) {
        permitted.names = std::move(described->named_interfaces);
        for (const auto &o : described->options) {
            if (o.key != "relay_port") continue;
            const uint16_t port = relay_socket_port_of(std::atoi(o.value.c_str()));
            if (!permitted.permits_port(port)) permitted.ports.push_back(port);
        }
    } else {
        reply.error = ECANCELED;
        char how[64];
        if (!in_time) std::snprintf(how, sizeof how, "no end within %d ms", check_limit_ms);
        else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) std::snprintf(how, sizeof how, "%s", "an unreadable description");
        else if (WIFEXITED(status)) std::snprintf(how, sizeof how, "exit status %d", WEXITSTATUS(status));
        else std::snprintf(how, sizeof how, "signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        say(reply.what, "the check ended with %s", how);
    }
    const int fd = text_file(good ? description : error_text);
    if (fd < 0 && good) {
        reply.error = errno;
        say(reply.what, "%s", "memfd_create");
    }
    return fd;
}

[[noreturn]] void serve(int sock, opener_permissions &permitted, const std::string &config_path) {
    for (;;) {
        opener_request request;
        int stray = -1;
        const long got = platform::receive_with_descriptor(sock, &request, sizeof request, &stray);
        if (stray >= 0) close(stray);
        if (got == 0) _exit(0); // the relay has ended
        if (got < 0) _exit(errno == ECONNRESET ? 0 : 1);
        opener_reply reply;
        int fd = -1;
        if (static_cast<std::size_t>(got) != sizeof request) refuse(reply, "%s", "a request of the wrong size");
        else if (request.kind == check_request) fd = answer_check(config_path, permitted, reply);
        else fd = answer_request(permitted, request, reply);
        const int sent = platform::send_with_descriptor(sock, &reply, sizeof reply, fd);
        if (fd >= 0) close(fd);
        if (sent != 0) _exit(errno == EPIPE || errno == ECONNRESET ? 0 : 1);
    }
}

[[noreturn]] void run_opener(int sock, const std::string &config_path) {
    opener_permissions permitted{named_interfaces(), {relay_socket_port()}};
    opener_reply ready;
    auto give_up = [&](const char *format, const char *step, const char *reason) {
        ready.error = errno != 0 ? errno : EPERM;
        say(ready.what, format, step, reason);
        platform::send_with_descriptor(sock, &ready, sizeof ready, -1);
        _exit(1);
    };
    // A session of its own: a terminal's signals for the relay's former
    // process group are not the opener's; it ends with the relay's pair.
    setsid();
    signal(SIGHUP, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (const std::string failed = confine_opener(); !failed.empty())
        give_up("%s%s", "Can't drop privileges: ", failed.c_str());
    // Every descriptor the relay had open goes (the syslog socket, the
    // interfaces' sockets, plug-ins' files), standard ones to /dev/null.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) give_up("%s: %s", "/dev/null", std::strerror(errno));
    for (int fd = 0; fd <= 2; ++fd)
        if (fd != null && dup2(null, fd) < 0) give_up("%s: %s", "dup2", std::strerror(errno));
    if (null > 2) close(null);
    const int low = std::max(3, sock + 1);
    if (sock > 3) close_range(3, static_cast<unsigned>(sock - 1), 0);
    close_range(static_cast<unsigned>(low), ~0U, 0);
    if (const char *failed = platform::opener_sandbox_install(); failed != nullptr)
        give_up("Can't install the sandbox: %s: %s", failed, std::strerror(errno));
    platform::send_with_descriptor(sock, &ready, sizeof ready, -1);
    serve(sock, permitted, config_path);
}

// ---- the relay's side ----

// The exchange failed: the opener could not be asked or did not answer.
constexpr int no_answer = -2;

// One exchange, the link's lock held: the descriptor the reply came with
// (or -1), or no_answer with errno set.
int exchange(const opener_request &request, opener_reply &reply) {
    opener_link &l = opener_side();
    int fd = -1;
    long got = -1;
    if (platform::send_with_descriptor(l.sock, &request, sizeof request, -1) == 0)
        got = platform::receive_with_descriptor(l.sock, &reply, sizeof reply, &fd);
    if (got == static_cast<long>(sizeof reply)) return fd;
    if (fd >= 0) close(fd);
    const int error = got < 0 ? errno : EPIPE;
    if (!l.ended) {
        l.ended = true;
        logd(log_error, "The opener has ended (%s): nothing that needs a privilege can be opened any more",
             std::strerror(error));
    }
    errno = error;
    return no_answer;
}

} // namespace

bool opener_permissions::permits(std::string_view name) const {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool opener_permissions::permits_port(uint16_t port) const {
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

int answer_request(const opener_permissions &permitted, const opener_request &request, opener_reply &reply) {
    reply = opener_reply{};
    const std::size_t length = strnlen(request.ifname, sizeof request.ifname);
    if (length == 0 || length == sizeof request.ifname) {
        refuse(reply, "%s", "no interface name");
        return -1;
    }
    const std::string name(request.ifname, length);
    if (!known_kind(request.kind)) {
        refuse(reply, "%s", "an unknown kind of descriptor");
        return -1;
    }
    if (!permitted.permits(name)) {
        refuse(reply, "%s is not named in the configuration", name.c_str());
        return -1;
    }
    const auto kind = static_cast<privileged_kind>(request.kind);
    if (kind == privileged_kind::relay_socket) {
        platform::link_view view;
        if (!platform::look_at_link(name.c_str(), view)) {
            reply.error = errno;
            say(reply.what, "%s", "getifaddrs");
            return -1;
        }
        if (std::find(view.ipv4.begin(), view.ipv4.end(), request.ip) == view.ipv4.end()) {
            char dotted[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &request.ip, dotted, sizeof dotted);
            refuse(reply, "%s is not an address of %s", dotted, name.c_str());
            return -1;
        }
    }
    // A relay socket on a port a configuration named; the DHCPv6 server
    // socket on 547 or such a port.
    const bool port_named = kind == privileged_kind::relay_socket
                                ? permitted.permits_port(request.port)
                                : kind != privileged_kind::server6_socket || request.port == 0 ||
                                      request.port == htons(547) || permitted.permits_port(request.port);
    if (!port_named) {
        char port[8];
        std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(ntohs(request.port)));
        refuse(reply, "port %s is not named in the configuration", port);
        return -1;
    }
    const char *failed = "open";
    const int fd = open_here(kind, name.c_str(), request.ip, &failed, request.port);
    if (fd < 0) {
        reply.error = errno;
        say(reply.what, "%s", failed);
    }
    return fd;
}

void start_opener(const std::string &config_path) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        errx(1, "Can't start the opener: socketpair: %s", std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) errx(1, "Can't start the opener: fork: %s", std::strerror(errno));
    if (pid == 0) {
        close(pair[0]);
        run_opener(pair[1], config_path);
    }
    close(pair[1]);
    // It says whether it is confined before the relay relies on it.
    opener_reply ready;
    int stray = -1;
    const long got = platform::receive_with_descriptor(pair[0], &ready, sizeof ready, &stray);
    if (stray >= 0) close(stray);
    if (got != static_cast<long>(sizeof ready)) {
        errx(1, "Can't start the opener: it ended before it was ready%s%s", got < 0 ? ": " : "",
             got < 0 ? std::strerror(errno) : "");
    }
    if (ready.error != 0) errx(1, "Can't start the opener: %s", ready.what);
    opener_side().sock = pair[0];
}

bool opener_running() { return opener_side().sock >= 0; }

int ask_opener(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed, uint16_t port) {
    opener_request request;
    request.kind = static_cast<uint8_t>(kind);
    std::snprintf(request.ifname, sizeof request.ifname, "%s", ifname);
    request.ip = ip;
    request.port = port;
    opener_reply reply;
    int fd;
    {
        std::lock_guard<std::mutex> one_at_a_time(opener_side().lock);
        fd = exchange(request, reply);
    }
    if (fd == no_answer) {
        if (failed != nullptr) *failed = opener_gone;
        return -1;
    }
    if (reply.error == 0 && fd >= 0) return fd;
    if (fd >= 0) close(fd);
    if (reply.refused != 0) {
        logd(log_error, "The opener refused to open a %s on %s: %s", kind_name(kind), ifname, reply.what);
        if (failed != nullptr) *failed = "refused by the opener";
    } else if (failed != nullptr) {
        // The step that failed, named by the opener; callers read it before
        // their next request.
        thread_local char step[sizeof reply.what];
        std::memcpy(step, reply.what, sizeof step);
        step[sizeof step - 1] = '\0';
        *failed = step;
    }
    errno = reply.error != 0 ? reply.error : EIO;
    return -1;
}

bool opener_check(std::string &description, std::string &error) {
    if (!opener_running()) {
        error = "no opener runs";
        return false;
    }
    opener_request request;
    request.kind = check_request;
    opener_reply reply;
    int fd;
    {
        std::lock_guard<std::mutex> one_at_a_time(opener_side().lock);
        fd = exchange(request, reply);
    }
    if (fd == no_answer) {
        error = std::string("the opener has ended: ") + std::strerror(errno);
        return false;
    }
    std::string text;
    if (fd >= 0) {
        char buffer[4096];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
        close(fd);
    }
    if (reply.error == 0) {
        description = std::move(text);
        return true;
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    error = text.empty() ? std::string(reply.what) : text;
    return false;
}

} // namespace kestivane
