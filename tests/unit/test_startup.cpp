// Start-up refusals and exits, seen from outside: the executable is run with
// each command line and its exit status, standard error and standard output
// are compared with what an operator must see. None of these command lines
// opens an interface, sends a packet or looks a name up in DNS.
#include "run_relay.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace relay_run;

const std::string missing_config = "/nonexistent/kestivane-test.conf";
const std::string no_interface = "kestivane: No interfaces found to listen. Exiting.\n";

Outcome run(const std::vector<std::string> &args) { return run_as(binary, args); }

std::string usage_text(const std::string &name) {
    return "kestivane - DHCP relay agent\n"
           "Version 6.1.\n"
           "Usage:\n" +
           name +
           " [-d] [-t] [-p<pidfile>] -f <config_file>\n"
           "or Kedra compatible mode:\n" +
           name + " [-d] [-t] [-p<pidfile>] [-u <user>] -A <packet_size> -c <max_hops> -i <ifname>... <dhcp_server>...\n";
}

std::string join(const std::vector<std::string> &args) {
    std::string text;
    for (const std::string &a : args) text += (text.empty() ? "" : " ") + a;
    return text;
}

TEST(Usage, HelpPrintsUsageWithTheNameAsInvoked) {
    Outcome o = run({"-h"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, usage_text(binary));
    EXPECT_EQ(o.out, "");

    Outcome renamed = run_as("/opt/sbin/myrelay", {"-h"});
    EXPECT_EQ(renamed.status, 0);
    EXPECT_EQ(renamed.err, usage_text("/opt/sbin/myrelay"));

    // The name is kept to 79 characters.
    std::string long_name = "/" + std::string(99, 'n');
    Outcome cut = run_as(long_name, {"-h"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err, usage_text(long_name.substr(0, 79)));
}

TEST(Usage, WrongOptionsPrintUsageAfterTheParsersDiagnostic) {
    Outcome unknown = run({"-x"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.err, binary + ": invalid option -- 'x'\n" + usage_text(binary));

    Outcome no_argument = run({"-A"});
    EXPECT_EQ(no_argument.status, 0);
    EXPECT_EQ(no_argument.err, binary + ": option requires an argument -- 'A'\n" + usage_text(binary));

    Outcome last_missing = run({"-i", "nosuchif0", "-c"});
    EXPECT_EQ(last_missing.status, 0);
    EXPECT_EQ(last_missing.err, binary + ": option requires an argument -- 'c'\n" + usage_text(binary));
}

TEST(Usage, CommandLineModeNeedsServers) {
    Outcome o = run({"-i", "nosuchif0"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, usage_text(binary));
    EXPECT_EQ(o.out, "");
}

TEST(NoInterface, NoArgumentsExitWithoutUsage) {
    Outcome o = run({});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, no_interface);
    EXPECT_EQ(o.out, "");
}

TEST(NoInterface, OperandsAloneOpenTheirServersFirst) {
    Outcome quiet = run({"127.0.0.1"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.err, no_interface);
    EXPECT_EQ(quiet.out, "");

    Outcome told = run({"-d", "127.0.0.1", "127.0.0.2:6767"});
    EXPECT_EQ(told.status, 1);
    EXPECT_EQ(told.err, no_interface);
    EXPECT_EQ(told.out, "Open server: 127.0.0.1\nDHCP server #1: 127.0.0.1\n"
                        "Open server: 127.0.0.2:6767\nDHCP server #2: 127.0.0.2\n");
}

TEST(Limits, PacketSize) {
    for (std::string size : {"299", "1501", "abc", "", "-300", "4294967596"}) {
        Outcome o = run({"-A", size});
        EXPECT_EQ(o.status, 1) << "-A '" << size << "'";
        EXPECT_EQ(o.err, "kestivane: Wrong packet size\n") << "-A '" << size << "'";
    }
    // strtol's reading: blanks and a sign before the digits, anything after.
    for (std::string size : {"300", "1500", " +300", "1400abc"}) {
        Outcome o = run({"-A", size});
        EXPECT_EQ(o.status, 1) << "-A '" << size << "'";
        EXPECT_EQ(o.err, no_interface) << "-A '" << size << "'";
    }
}

TEST(Limits, HopsNumber) {
    for (std::string hops : {"0", "17", "x", "4294967297"}) {
        Outcome o = run({"-c", hops});
        EXPECT_EQ(o.status, 1) << "-c " << hops;
        EXPECT_EQ(o.err, "kestivane: Wrong hops number\n") << "-c " << hops;
    }
    for (std::string hops : {"1", "16"}) {
        Outcome o = run({"-c", hops});
        EXPECT_EQ(o.status, 1) << "-c " << hops;
        EXPECT_EQ(o.err, no_interface) << "-c " << hops;
    }
}

TEST(Limits, TheFirstWrongOptionIsTheOneTold) {
    EXPECT_EQ(run({"-A", "299", "-c", "0"}).err, "kestivane: Wrong packet size\n");
    EXPECT_EQ(run({"-c", "0", "-A", "299"}).err, "kestivane: Wrong hops number\n");
}

TEST(Modes, ConfigFileAfterInterfaceIsRefused) {
    const std::string conflict = "kestivane: Either config file or command line options allowed. Not both.\n";
    Outcome o = run({"-i", "nosuchif0", "-f", missing_config});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, conflict);
}

TEST(Modes, ConfigFileIsReadWhenMet) {
    // Sizes and hops before -f choose no mode; the file is read at once, so
    // its failure comes before anything written after -f is looked at.
    const std::string cannot_open = "kestivane: Can't open: " + missing_config + "\n";
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"-A", "1400", "-f", missing_config},
             {"-c", "4", "-f", missing_config},
             {"-f", missing_config, "-A", "1400"},
             {"-f", missing_config, "-i", "nosuchif0"},
             {"-f", missing_config, "-f", "/nonexistent/other.conf"}}) {
        Outcome o = run(args);
        EXPECT_EQ(o.status, 1) << join(args);
        EXPECT_EQ(o.err, cannot_open) << join(args);
    }
}

TEST(Modes, SizeAndHopsBelongToCommandLineMode) {
    // Accepted after -i: the run goes on to its server operand, whose port
    // 0 is refused.
    Outcome o = run({"-i", "nosuchif0", "-A", "1400", "-c", "4", "127.0.0.1:0"});
    EXPECT_EQ(o.status, 64);
    EXPECT_EQ(o.err, "kestivane: bad port number\n");
}

// -u names the user to run as in command-line mode; with a configuration
// file the key user= does. Only root looks the name up.
TEST(Modes, UserBelongsToCommandLineMode) {
    // The file is read when met: its failure comes first.
    Outcome after_file = run({"-f", missing_config, "-u", "nobody"});
    EXPECT_EQ(after_file.err, "kestivane: Can't open: " + missing_config + "\n");

    Outcome no_argument = run({"-i", "nosuchif0", "-u"});
    EXPECT_EQ(no_argument.status, 0);
    EXPECT_EQ(no_argument.err, binary + ": option requires an argument -- 'u'\n" + usage_text(binary));

    Outcome known = run({"-d", "-u", "nobody", "-i", "nosuchif0", "127.0.0.1:0"});
    EXPECT_EQ(known.status, 64);
    EXPECT_EQ(known.err, "kestivane: bad port number\n");
    Outcome unknown = run({"-u", "kestivane-no-such-user", "-i", "nosuchif0", "127.0.0.1"});
    if (geteuid() == 0) {
        EXPECT_EQ(unknown.status, 1);
        EXPECT_EQ(unknown.err, "kestivane: Unknown user kestivane-no-such-user\n");
        EXPECT_THAT(known.out, testing::HasSubstr("Option user set to: nobody\n"));
    } else {
        EXPECT_EQ(unknown.err, "kestivane: No interfaces found to listen. Exiting.\n");
        EXPECT_THAT(known.out, testing::HasSubstr("Option user nobody ignored: not running as root\n"));
    }
}

TEST(Operands, OptionsEndAtTheFirstOperand) {
    // "-d" after an operand is an operand too: no debug output. (Had it been
    // taken for -d, the refusal would also have been printed to stdout.)
    Outcome posix = run({"-i", "nosuchif0", "127.0.0.1:0", "-d"});
    EXPECT_EQ(posix.status, 64);
    EXPECT_EQ(posix.err, "kestivane: bad port number\n");
    EXPECT_EQ(posix.out, "");

    Outcome debug_first = run({"-d", "-i", "nosuchif0", "127.0.0.1:0"});
    EXPECT_EQ(debug_first.status, 64);
    EXPECT_EQ(debug_first.err, "kestivane: bad port number\n");
    EXPECT_THAT(debug_first.out, testing::HasSubstr("Interface nosuchif0 does not exist. Ignored.\n"));
    EXPECT_THAT(debug_first.out, testing::EndsWith("bad port number\n"));

    // "-h" behind an operand is not the help option.
    Outcome help_operand = run({"127.0.0.1:0", "-h"});
    EXPECT_EQ(help_operand.status, 64);
    EXPECT_EQ(help_operand.err, "kestivane: bad port number\n");

    // After "--" everything is an operand.
    Outcome dashes = run({"--", "127.0.0.1:0"});
    EXPECT_EQ(dashes.status, 64);
}

} // namespace
