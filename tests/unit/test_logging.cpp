// Log lines: where they go by level and mode, how long they may be, and that
// the arguments are never read as a format.
#include <bsd/libutil.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/settings.h"

namespace {

class Logging : public testing::Test {
protected:
    void SetUp() override { saved_debug_ = debug; }
    void TearDown() override { debug = saved_debug_; }

    template <typename F> std::string stdout_of(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

private:
    int32_t saved_debug_ = 0;
};

TEST_F(Logging, DebugModePrintsEveryLevelAsOneLine) {
    debug = 1;
    EXPECT_EQ(stdout_of([] { logd(kestivane::log_debug, "Open server: %s", "127.0.0.1"); }),
              "Open server: 127.0.0.1\n");
    EXPECT_EQ(stdout_of([] { logd(kestivane::log_error, "Total interfaces: %d", 2); }), "Total interfaces: 2\n");
}

TEST_F(Logging, DebugLevelIsDroppedOutsideDebugMode) {
    debug = 0;
    EXPECT_EQ(stdout_of([] { logd(kestivane::log_debug, "Open server: %s", "127.0.0.1"); }), "");
}

TEST_F(Logging, ArgumentsAreTakenLiterally) {
    debug = 1;
    EXPECT_EQ(stdout_of([] { logd(kestivane::log_warning, "Can't open server %s. Ignored.", "a%s%n%d"); }),
              "Can't open server a%s%n%d. Ignored.\n");
}

TEST_F(Logging, LongMessagesAreCutTo1023Characters) {
    debug = 1;
    const std::string fits(1023, 'a');
    EXPECT_EQ(stdout_of([&] { logd(kestivane::log_warning, "%s", fits.c_str()); }), fits + "\n");
    const std::string longer = std::string(1020, 'b') + "cdefgh" + std::string(3000, 'i');
    EXPECT_EQ(stdout_of([&] { logd(kestivane::log_warning, "%s", longer.c_str()); }), longer.substr(0, 1023) + "\n");
}

TEST(ProcessError, LogsAndExitsWithItsStatus) {
    // No pid file is held: nothing to remove, the exit happens all the same.
    // Debug mode keeps the lines out of the system log.
    EXPECT_EXIT(
        {
            debug = 1;
            process_error(32, "socket for listener at %s: %s", "veth0", "No such device");
        },
        testing::ExitedWithCode(32), ": socket for listener at veth0: No such device\n$");
    EXPECT_EXIT(
        {
            debug = 1;
            process_error(16, "malloc");
        },
        testing::ExitedWithCode(16), ": malloc\n$");
}

// A fatal error in a worker thread once the relay's threads run: the pid
// file goes and the line is said, but no exit handler runs (they would tear
// down tables the other threads use, and a crash there would replace the
// status). Before the threads start, the exit is the library's, handlers
// and all. The handler here ends the process with 99 when it runs.
TEST(ProcessError, WorkerThreadExitSkipsExitHandlersOnceThreadsRun) {
    struct Case {
        const char *name;
        bool threads_running;
        int32_t code;
        int status;
    };
    const std::string pid_path = (std::filesystem::temp_directory_path() /
                                  ("kestivane-exit-" + std::to_string(getpid()) + ".pid"))
                                     .string();
    for (const Case &c : {Case{"interface grace", true, kestivane::exit_no_interface, 75},
                          Case{"no privilege to reopen", true, kestivane::exit_no_privilege, 77},
                          Case{"before the threads start", false, kestivane::exit_no_privilege, 99}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                debug = 1;
                pid_t other;
                pfh = pidfile_open(pid_path.c_str(), 0600, &other);
                if (pfh == nullptr || pidfile_write(pfh) != 0) _exit(98);
                if (c.threads_running) kestivane::fatal_exits_skip_exit_handlers();
                std::atexit([] { _exit(99); });
                std::thread worker(
                    [&] { process_error(c.code, "No interface left to relay on for %d seconds. Exiting.", 2); });
                worker.join();
            },
            testing::ExitedWithCode(c.status), ": No interface left to relay on for 2 seconds. Exiting.\n$");
        EXPECT_FALSE(std::filesystem::exists(pid_path)) << "the pid file stays";
        std::filesystem::remove(pid_path);
    }
}

} // namespace
