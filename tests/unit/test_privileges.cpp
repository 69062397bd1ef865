// The platform's privilege and sandbox steps, each in a child process of its
// own (a death test), since what they do cannot be undone: every thread of
// the child, not only the caller, must come out as the step says.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/platform.h"

namespace {

namespace platform = kestivane::platform;

void *sleep_forever(void *) {
    for (;;) sleep(3600);
    return nullptr;
}

// Starts a thread that sleeps forever, with every signal blocked when deaf.
void start_sleeper(bool deaf) {
    sigset_t all, before;
    sigfillset(&all);
    if (deaf) pthread_sigmask(SIG_BLOCK, &all, &before);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, sleep_forever, nullptr) != 0) _exit(3);
    if (deaf) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_detach(thread);
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    _exit(1);
}

// Every thread, the sleepers included, has no-new-privileges set, and no
// capability when cleared, a seccomp filter when sandboxed.
void expect_every_thread(std::size_t at_least, bool cleared, bool sandboxed) {
    std::vector<platform::thread_privileges> threads;
    if (!platform::read_thread_privileges(threads)) fail("read_thread_privileges failed");
    if (threads.size() < at_least) fail("fewer threads than started");
    for (const auto &t : threads) {
        if (cleared && (t.cap_eff != 0 || t.cap_prm != 0 || t.cap_inh != 0 || t.cap_amb != 0)) fail("a thread kept a capability");
        if (t.no_new_privs != 1) fail("a thread may still gain privileges");
        if (sandboxed && t.seccomp != 2) fail("a thread is outside the sandbox");
    }
}

TEST(PrivilegesDeathTest, ClearedInEveryThread) {
    EXPECT_EXIT(
        {
            for (int i = 0; i < 3; ++i) start_sleeper(false);
            if (const char *failed = platform::privileges_clear(); failed != nullptr) fail(failed);
            expect_every_thread(4, true, false);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(PrivilegesDeathTest, AThreadThatCannotBeAskedFailsTheStep) {
    EXPECT_EXIT(
        {
            start_sleeper(true);
            const char *failed = platform::privileges_clear();
            std::fprintf(stderr, "%s: %s\n", failed ? failed : "(none)", std::strerror(errno));
            _exit(failed != nullptr && errno == ETIMEDOUT ? 0 : 1);
        },
        testing::ExitedWithCode(0), "a thread that did not answer: Connection timed out");
}

// A call outside the list fails with EPERM, however often it is made, and
// is reported once by name; a call added to the list runs; the threads
// started before the sandbox are inside it too.
TEST(SandboxDeathTest, RefusedCallFailsWithEpermAndIsReportedOnce) {
    EXPECT_EXIT(
        {
            start_sleeper(false);
            if (!platform::sandbox_call_known("sysinfo") || platform::sandbox_call_known("no_such_call"))
                fail("call names misread");
            if (const char *failed = platform::sandbox_install({"getcpu"}); failed != nullptr) fail(failed);
            struct sysinfo info;
            for (int i = 0; i < 3; ++i) {
                errno = 0;
                if (sysinfo(&info) != -1 || errno != EPERM) fail("sysinfo was not refused with EPERM");
            }
            unsigned cpu = 0;
            if (getcpu(&cpu, nullptr) != 0) fail("getcpu, added to the list, was refused");
            if (platform::sandbox_wait_refused() != "sysinfo") fail("the refused call was not named");
            expect_every_thread(2, false, true);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SandboxDeathTest, AnUnknownExtraCallIsRefused) {
    EXPECT_EXIT(
        {
            const char *failed = platform::sandbox_install({"no_such_call"});
            std::fprintf(stderr, "%s\n", failed ? failed : "(none)");
            _exit(failed != nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "seccomp_syscall_resolve_name");
}

} // namespace
