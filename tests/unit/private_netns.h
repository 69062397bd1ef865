// Checks that run in a forked child, and a test body run in a network
// namespace of its own.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// gtest's own macros do not cross a fork: a child counts its failed
// checks, prints each, and reports the count through its exit status.
int failures = 0;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "CHECK failed at line %d: %s\n", __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

} // namespace

// Runs body in a forked child inside a network namespace of its own, where
// addresses and links can be made without touching the host. body returns
// the number of failed expectations; gtest's own macros do not cross the
// fork, so the child reports through its exit status.
template <typename Body>
void in_private_netns(Body body) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(99);
        if (std::system("ip link set lo up") != 0) _exit(98);
        _exit(body() == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "network namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's CHECK lines above";
}
