// Log lines: where they go by level and mode, how long they may be, and that
// the arguments are never read as a format.
#include <gtest/gtest.h>

#include <string>

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

} // namespace
