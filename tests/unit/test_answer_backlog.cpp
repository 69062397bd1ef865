// Answers first: what a socket's queue holds as the kernel counts it, when
// the consumer is held, that other work ends the hold, and that a backlog
// that never clears slows the consumer without stopping it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/answer_backlog.h"
#include "net/platform.h"

namespace {

using kestivane::answer_backlog;

TEST(AnswerBacklog, HeldFromAboveHighUntilBelowLow) {
    struct Step {
        uint64_t waiting;
        bool behind;
    };
    // One backlog through a rise and a fall: between the marks the state
    // stays what it was.
    const std::vector<Step> steps{
        {0, false},
        {answer_backlog::high_bytes, false},
        {answer_backlog::high_bytes + 1, true},
        {answer_backlog::low_bytes, true},
        {answer_backlog::high_bytes, true},
        {answer_backlog::low_bytes - 1, false},
        {answer_backlog::high_bytes - 1, false},
        {10 * answer_backlog::high_bytes, true},
        {0, false},
    };
    answer_backlog backlog;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        backlog.report(steps[i].waiting);
        EXPECT_EQ(backlog.behind(), steps[i].behind) << "step " << i << ": " << steps[i].waiting << " bytes";
        // Keeping up has no marks: any byte left waiting ends it.
        EXPECT_EQ(backlog.keeping_up(), steps[i].waiting == 0) << "step " << i;
    }
}

TEST(AnswerBacklog, WaitsOnlyWhileBehindWithNothingElseWaitingAndWithinItsLimit) {
    using clock = std::chrono::steady_clock;
    struct Case {
        const char *name;
        bool behind;
        int stop_after; // calls of stop() that say "go on waiting"; -1: never stops
        bool waits_the_limit;
    };
    const std::vector<Case> cases{
        {"caught up", false, -1, false},
        {"behind, other work waiting", true, 0, false},
        {"behind, other work comes a little later", true, 3, false},
        {"behind, nothing else", true, -1, true},
    };
    for (const auto &c : cases) {
        answer_backlog backlog;
        backlog.report(c.behind ? answer_backlog::high_bytes + 1 : 0);
        int calls = 0;
        const auto start = clock::now();
        backlog.wait_until_caught_up([&] { return c.stop_after >= 0 && calls++ >= c.stop_after; });
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - start).count();
        if (c.waits_the_limit) {
            EXPECT_GE(waited, answer_backlog::wait_limit_us) << c.name;
            // Generous: a loaded machine oversleeps, but a wait without its
            // limit would never return at all.
            EXPECT_LT(waited, 50 * answer_backlog::wait_limit_us) << c.name;
        } else {
            EXPECT_LT(waited, answer_backlog::wait_limit_us / 2) << c.name;
        }
    }
}

TEST(AnswerBacklog, QueuedBytesFollowTheSocketsQueue) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    struct sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<struct sockaddr *>(&at), sizeof at), 0);
    socklen_t len = sizeof at;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<struct sockaddr *>(&at), &len), 0);

    uint64_t empty = 1;
    ASSERT_TRUE(kestivane::platform::socket_receive_queued(rx, empty));
    EXPECT_EQ(empty, 0u);

    const uint8_t answer[300] = {};
    const int count = 40;
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(sendto(tx, answer, sizeof answer, 0, reinterpret_cast<struct sockaddr *>(&at), sizeof at),
                  static_cast<ssize_t>(sizeof answer));
    uint64_t full = 0;
    ASSERT_TRUE(kestivane::platform::socket_receive_queued(rx, full));
    // Each datagram is charged at least its bytes, and at most a few KiB.
    EXPECT_GE(full, count * sizeof answer);
    EXPECT_LE(full, count * 8192u);

    uint8_t sink[512];
    for (int i = 0; i < count; ++i) ASSERT_GT(recv(rx, sink, sizeof sink, MSG_DONTWAIT), 0);
    uint64_t drained = 1;
    ASSERT_TRUE(kestivane::platform::socket_receive_queued(rx, drained));
    EXPECT_EQ(drained, 0u);

    EXPECT_FALSE(kestivane::platform::socket_receive_queued(-1, drained));
    close(rx);
    close(tx);
}

} // namespace
