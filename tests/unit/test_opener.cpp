// The opener's decisions: what it opens and what it refuses, first as the
// request handler alone, then through a real opener process (a death test:
// the relay's side of the pair is the process's for good).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "net/opener.h"
#include "net/platform.h"

namespace {

using kestivane::privileged_kind;

uint32_t address(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

kestivane::opener_request request(uint8_t kind, const char *name, uint32_t ip = 0, uint16_t port = 0) {
    kestivane::opener_request r;
    r.kind = kind;
    std::memcpy(r.ifname, name, std::min(std::strlen(name), sizeof r.ifname));
    r.ip = ip;
    r.port = htons(port);
    return r;
}

int domain_of(int fd) {
    int domain = -1;
    socklen_t len = sizeof domain;
    getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len);
    return domain;
}

constexpr uint8_t capture = static_cast<uint8_t>(privileged_kind::capture);
constexpr uint8_t frame_output = static_cast<uint8_t>(privileged_kind::frame_output);
constexpr uint8_t relay_socket = static_cast<uint8_t>(privileged_kind::relay_socket);
constexpr uint8_t packet_ipv6 = static_cast<uint8_t>(privileged_kind::packet_ipv6);

TEST(Opener, AnswersOnlyForNamedInterfacesAndTheirAddresses) {
    const kestivane::opener_permissions permitted{{"lo", "kvabsent0"}, {htons(47067)}};
    struct row {
        const char *label;
        kestivane::opener_request asked;
        int error;          // 0: a descriptor comes back
        bool refused;
        const char *what;   // the reply's text, when it matters
        int domain;         // of the descriptor
    };
    const row rows[] = {
        {"an interface not named", request(capture, "eth9"), EPERM, true, "eth9 is not named in the configuration", 0},
        {"no name", request(frame_output, ""), EPERM, true, "no interface name", 0},
        {"a name without its end", request(frame_output, "abcdefghijklmnopq"), EPERM, true, "no interface name", 0},
        {"an unknown kind", request(9, "lo"), EPERM, true, "an unknown kind of descriptor", 0},
        {"an address the interface lacks", request(relay_socket, "lo", address("192.0.2.99")), EPERM, true,
         "192.0.2.99 is not an address of lo", 0},
        {"named but absent", request(frame_output, "kvabsent0"), ENODEV, false, "socket", 0},
        {"a port no configuration named", request(relay_socket, "lo", address("127.0.0.1"), 47068), EPERM, true,
         "port 47068 is not named in the configuration", 0},
        {"a relay socket on a named port", request(relay_socket, "lo", address("127.0.0.1"), 47067), 0, false, "",
         AF_INET},
        {"a capture", request(capture, "lo"), 0, false, "", AF_PACKET},
        {"a frame output", request(frame_output, "lo"), 0, false, "", AF_PACKET},
        {"a DHCPv6 capture", request(packet_ipv6, "lo"), 0, false, "", AF_PACKET},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        if (r.error == 0 && geteuid() != 0) continue; // packet sockets need CAP_NET_RAW
        kestivane::opener_reply reply;
        const int fd = kestivane::answer_request(permitted, r.asked, reply);
        EXPECT_EQ(reply.error, r.error) << reply.what;
        EXPECT_EQ(reply.refused != 0, r.refused);
        if (r.error != 0) {
            EXPECT_EQ(fd, -1);
            EXPECT_STREQ(reply.what, r.what);
        } else {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(domain_of(fd), r.domain);
            close(fd);
        }
    }
}

// The pair's messages: whole or not at all, with their descriptor, and the
// peer's end read as 0.
TEST(Opener, PairPassesOneMessageAndItsDescriptor) {
    namespace platform = kestivane::platform;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    struct row {
        const char *label;
        std::size_t sent; // bytes sent
        int fd;           // descriptor sent with them
        long got;         // receive's result into a 16-byte message
        bool with_fd;
    };
    const row rows[] = {
        {"a message alone", 16, -1, 16, false},
        {"a message and a descriptor", 16, pipe_ends[1], 16, true},
        {"a shorter message", 4, pipe_ends[1], 4, true},
        {"a longer message is cut, and refused", 32, pipe_ends[1], -1, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        char out[32] = "0123456789abcdefghijklmnopqrstu";
        ASSERT_EQ(platform::send_with_descriptor(pair[0], out, r.sent, r.fd), 0);
        char in[16] = {};
        int fd = -2;
        EXPECT_EQ(platform::receive_with_descriptor(pair[1], in, sizeof in, &fd), r.got);
        EXPECT_EQ(fd >= 0, r.with_fd);
        if (fd >= 0) {
            // The same pipe: what goes in through the copy comes out here.
            ASSERT_EQ(write(fd, "x", 1), 1);
            char c = 0;
            EXPECT_EQ(read(pipe_ends[0], &c, 1), 1);
            EXPECT_EQ(c, 'x');
            close(fd);
        }
        if (r.got > 0) {
            EXPECT_EQ(std::memcmp(in, out, static_cast<std::size_t>(r.got)), 0);
        }
    }
    close(pair[0]);
    int fd = -2;
    char in[16];
    EXPECT_EQ(platform::receive_with_descriptor(pair[1], in, sizeof in, &fd), 0);
    EXPECT_EQ(fd, -1);
    close(pair[1]);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

// The relay's side through a forked opener: refusals come back as EPERM
// with one log line, permitted requests with a working descriptor, and a
// check without a configuration file says why.
[[noreturn]] void ask_a_real_opener() {
    debug = 1; // log lines to standard output, here standard error
    dup2(STDERR_FILENO, STDOUT_FILENO);
    kestivane::note_named_interface("lo");
    kestivane::start_opener("");
    if (!kestivane::opener_running()) _exit(2);
    const char *failed = nullptr;
    int fd = kestivane::open_privileged(privileged_kind::capture, "eth9", 0, &failed);
    if (fd != -1 || errno != EPERM || std::strcmp(failed, "refused by the opener") != 0) _exit(3);
    fd = kestivane::open_privileged(privileged_kind::relay_socket, "lo", address("192.0.2.99"), &failed);
    if (fd != -1 || errno != EPERM) _exit(4);
    fd = kestivane::open_privileged(privileged_kind::frame_output, "lo", 0, &failed);
    if (fd < 0 || domain_of(fd) != AF_PACKET) _exit(5);
    close(fd);
    std::string description;
    std::string error;
    if (kestivane::opener_check(description, error)) _exit(6);
    std::fprintf(stderr, "check: %s\n", error.c_str());
    _exit(0);
}

TEST(OpenerDeathTest, RefusesThroughThePairAndPassesDescriptors) {
    if (geteuid() != 0) GTEST_SKIP() << "the opener's packet sockets need CAP_NET_RAW";
    EXPECT_EXIT(ask_a_real_opener(), testing::ExitedWithCode(0),
                "The opener refused to open a capture on eth9: eth9 is not named in the configuration(.|\n)*"
                "The opener refused to open a relay socket on lo: 192.0.2.99 is not an address of lo(.|\n)*"
                "check: command-line mode has no configuration file to check");
}

} // namespace
