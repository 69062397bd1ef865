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

namespace {

using kestivane::privileged_kind;

uint32_t address(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

kestivane::opener_request request(uint8_t kind, const char *name, uint32_t ip = 0) {
    kestivane::opener_request r;
    r.kind = kind;
    std::memcpy(r.ifname, name, std::min(std::strlen(name), sizeof r.ifname));
    r.ip = ip;
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
    const kestivane::opener_permissions permitted{{"lo", "kvabsent0"}};
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
