// The configuration file, as an operator meets it: the executable is run on
// generated files and judged by its exit status, its messages on standard
// error and, with -d before -f, its log lines on standard output.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run_relay.h"

#include "config/ip_binding.h"
#include "config/server_text.h"
#include "core/settings.h"

namespace {

namespace fs = std::filesystem;
using namespace relay_run;

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestivane-config-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::string &text) {
        fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    // Runs the relay with the given options. A file that opened an interface
    // would start the relay for good: every run gets a few seconds and no more.
    Outcome run(const std::vector<std::string> &options) { return run_as("kestivane", options); }

    // Runs the relay on text as a start and as a check (-t). The check reads
    // the file with the code a start runs, and none of these files names an
    // interface that exists, so both must end alike: the same status, the
    // same refusal and, in debug mode, the same log lines (outside debug
    // mode a start logs to syslog and a check to standard output). Returns
    // the start's outcome.
    Outcome read_file(const std::string &text, bool debug = true) {
        std::string path = write("relay.conf", text);
        std::vector<std::string> options{"-f", path};
        if (debug) options.insert(options.begin(), "-d");
        Outcome start = run(options);
        options.insert(options.begin(), "-t");
        Outcome check = run(options);
        EXPECT_EQ(check.status, start.status) << "kestivane -t";
        EXPECT_EQ(check.err, start.err) << "kestivane -t";
        if (debug) {
            EXPECT_EQ(check.out, start.out) << "kestivane -t";
        }
        return start;
    }

    fs::path dir_;
};

// The log lines of the interface opening itself, which are not this file's
// business, taken out of a debug output.
std::string without_interface_probes(const std::string &out) {
    std::istringstream lines(out);
    std::string line, kept;
    while (std::getline(lines, line)) {
        if (line.rfind("Trying to open interface: ", 0) == 0 || line.rfind("can't find mac for interface ", 0) == 0)
            continue;
        kept += line + "\n";
    }
    return kept;
}

constexpr const char *no_interfaces = "kestivane: No interfaces found to listen. Exiting.\n";

void expect_refusal(const Outcome &result, const std::string &message) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kestivane: " + message + "\n");
}

// Every refusal of the file, with the line it names. The servers file that
// some cases read has lines of its own that must not be counted.
TEST_F(ConfigFile, RefusalsNameTheLine) {
    const std::string servers_file = write("servers.list", "# list\n\n198.51.100.9 nosuch0\n\n#\n");
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases{
        {"[servers", "Config file syntax error. Line: 1"},
        {"#\n\n[servers] \n", "Config file syntax error. Line: 3"},
        {"[servers]\r\n", "Config file syntax error. Line: 1"},
        {"[servers]]\n", "Config file syntax error. Line: 1"},
        {"[options]x\n", "Config file syntax error. Line: 1"},
        {"\n[ servers ]\n", "Section name error. Line: 2"},
        {"[relay]\n", "Section name error. Line: 1"},
        {"[options]\nmax_hops 5\n", "Option error. Line: 2"},
        {"[options]\n\n#\nmax_packet_size=299\n", "Wrong packet size. Line: 4"},
        {"[options]\nmax_packet_size=1501\n", "Wrong packet size. Line: 2"},
        {"[options]\nmax_packet_size=abc\n", "Wrong packet size. Line: 2"},
        {"[options]\nmax_packet_size=4294967596\n", "Wrong packet size. Line: 2"},
        {"[options]\nmax_hops=0\n", "Wrong hops number. Line: 2"},
        {"[options]\nmax_hops=17\n", "Wrong hops number. Line: 2"},
        {"[options]\nmax_hops=\n", "Wrong hops number. Line: 2"},
        {"[options]\nstats_interval=0\n", "Wrong stats interval. Line: 2"},
        {"[options]\n#\nstats_interval=86401\n", "Wrong stats interval. Line: 3"},
        {"[options]\nstats_interval=ten\n", "Wrong stats interval. Line: 2"},
        {"[options]\nstats_interval=99999999999999999999\n", "Wrong stats interval. Line: 2"},
        {"[options]\nstats_file=\n", "Wrong stats file. Line: 2"},
        {"[options]\nstats_file=kestivane.prom\n", "Wrong stats file. Line: 2"},
        {"[options]\nstats_file= /var/lib/kestivane.prom\n", "Wrong stats file. Line: 2"},
        {"[options]\nmax_hops = 5\n", "Unknown option in [Options] section. Line: 2"},
        {"[options]\nmax_hops =5\n", "Unknown option in [Options] section. Line: 2"},
        {"[options]\n max_hops=5\n", "Unknown option in [Options] section. Line: 2"},
        {"[options]\nbind_ip=lo 127.0.0.1\n", "Unknown option in [Options] section. Line: 2"},
        {"[options]\nsandbox=yes\n", "Wrong sandbox value (on or off). Line: 2"},
        {"[options]\nsandbox=On\n", "Wrong sandbox value (on or off). Line: 2"},
        {"[options]\nsandbox=\n", "Wrong sandbox value (on or off). Line: 2"},
        {"[options]\n#\nsandbox_allow=nosuchcall\n", "Unknown system call nosuchcall. Line: 3"},
        {"[options]\nsandbox_allow=sysinfo,\n", "Unknown system call . Line: 2"},
        {"[options]\nsandbox_allow=sysinfo, uname\n", "Unknown system call  uname. Line: 2"},
        {"[options]\nsandbox_allow=\n", "Unknown system call . Line: 2"},
        {"[servers]\nmax_hops=4\n", "Unknown option in [Servers] section. Line: 2"},
        {"198.51.100.9 if=0\n", "Unknown option in [Servers] section. Line: 1"},
        {"file =" + servers_file + "\n", "Unknown option in [Servers] section. Line: 1"},
        {"#\nfile=" + servers_file + "\n\nbogus=1\n", "Unknown option in [Servers] section. Line: 4"},
        {"# a\n\n[options]\nmax_hops=3\n#\n[servers]\nfile=" + servers_file +
             "\n\n[options]\nmax_hops=17\n",
         "Wrong hops number. Line: 10"},
        {"bind_ip=nosuch0\t198.51.100.1\n", "bind_ip syntax error at line 1"},
        {"#\nbind_ip=nosuch0\n", "bind_ip syntax error at line 2"},
        {"bind_ip=\n", "bind_ip syntax error at line 1"},
        {"file=" + servers_file + " \n", "Can't open servers config file: " + servers_file + " "},
        {"file=\n", "Can't open servers config file: "},
        {"# nothing but comments\n#\n", "No interfaces found to listen. Exiting."},
        {"", "No interfaces found to listen. Exiting."},
        {"[options]\n[servers]\n[options]\n", "No interfaces found to listen. Exiting."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        expect_refusal(read_file(c.text, false), c.message);
    }
}

// 4999 characters are read at a time; the rest of a longer line is a line
// of its own, counted and handled, even when it is only the line end.
TEST_F(ConfigFile, LongLinesAreReadInPieces) {
    // A long comment: its second piece does not begin with '#'.
    expect_refusal(read_file("[options]\n#" + std::string(5999, 'x') + "\n", false), "Option error. Line: 3");
    // A line of exactly 4999 characters leaves its line end as an empty piece.
    std::string full = "max_hops=3" + std::string(4989, ' ');
    ASSERT_EQ(full.size(), 4999u);
    Outcome result = read_file("[options]\n" + full + "\nmax_hops=0\n");
    EXPECT_EQ(result.out, "Option max_hops set to: 3\n");
    expect_refusal(result, "Wrong hops number. Line: 4");
}

// user= names the user root switches to once start-up is done. The name is
// looked up as the line is read, untrimmed, and an unknown one stops the
// relay with the line; only root can switch, so only root looks it up.
TEST_F(ConfigFile, UserKey) {
    if (geteuid() != 0) {
        Outcome result = read_file("[options]\nuser=kestivane-no-such-user\n");
        EXPECT_EQ(result.out, "Option user kestivane-no-such-user ignored: not running as root\n");
        expect_refusal(result, "No interfaces found to listen. Exiting.");
        GTEST_SKIP() << "not root: only the unprivileged reading is checked";
    }
    struct Case {
        std::string text;
        std::string out;     // debug lines
        std::string message; // the refusal
    };
    const std::vector<Case> cases{
        {"[options]\nuser=nobody\n", "Option user set to: nobody\n", "No interfaces found to listen. Exiting."},
        {"[OPTIONS]\nUSER=nobody\n", "Option user set to: nobody\n", "No interfaces found to listen. Exiting."},
        {"[options]\n#\nuser=kestivane-no-such-user\n", "", "Unknown user kestivane-no-such-user. Line: 3"},
        {"[options]\nuser= nobody\n", "", "Unknown user  nobody. Line: 2"},
        {"[options]\nuser=\n", "", "Unknown user . Line: 2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Outcome result = read_file(c.text);
        EXPECT_EQ(result.out, c.out);
        expect_refusal(result, c.message);
    }
}

TEST_F(ConfigFile, ConfigurationFileThatCannotBeRead) {
    const std::string missing = (dir_ / "missing.conf").string();
    for (const char *check : {"-d", "-t"}) {
        SCOPED_TRACE(check);
        expect_refusal(run({check, "-f", missing}), "Can't open: " + missing);
        // A directory opens for reading but yields no lines: that is a
        // failure to read, not a file without interfaces.
        expect_refusal(run({check, "-f", dir_.string()}), "Can't read: " + dir_.string() + ": Is a directory");
    }
}

// A check that finds nothing to refuse: it says what a start would open
// ("Would listen at"), warns of a named interface that does not exist now,
// ends with one line and status 0, wherever -t stands among the options.
// The loopback interface carries 127.0.0.1 and a zero hardware address.
TEST_F(ConfigFile, CheckOfAGoodFile) {
    const std::string path = write("relay.conf", "198.51.100.9 lo nosuch0\n");
    const std::string fine = "Configuration file " + path + " is fine: 1 interfaces, 1 servers, 0 DHCPv6 interfaces";
    for (const auto &options : std::vector<std::vector<std::string>>{{"-t", "-f", path}, {"-f", path, "-t"}}) {
        SCOPED_TRACE(options.front());
        Outcome result = run(options);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "DHCP server #1: 198.51.100.9\n"
                              "Would listen at lo: 127.0.0.1, 00:00:00:00:00:00\n"
                              "Interface nosuch0 does not exist. Ignored.\n" +
                                  fine + ", 0 plug-ins\n");
    }

    // A plug-in is loaded and its descriptor found, and its init is not run:
    // this one's init would refuse.
    const std::string with_plugin = write("plugin.conf", "[options]\nplugin_path=" KESTIVANE_TEST_PLUGIN_DIR
                                                         "\n[probe-plugin]\nfail_init=yes\n"
                                                         "[servers]\n198.51.100.9 lo\n");
    Outcome loaded = run({"-t", "-f", with_plugin});
    EXPECT_EQ(loaded.status, 0);
    EXPECT_EQ(loaded.err, "");
    EXPECT_THAT(loaded.out, testing::EndsWith(" is fine: 1 interfaces, 1 servers, 0 DHCPv6 interfaces, 1 plug-ins\n"));
    expect_refusal(run({"-t", "-f", write("nosymbol.conf", "[options]\nplugin_path=" KESTIVANE_TEST_PLUGIN_DIR
                                                          "\n[nosymbol-plugin]\n[servers]\n198.51.100.9 lo\n")}),
                   "Can't load symbol nosymbol_plugin");
}

// The command-line form: -i that names no interface warns (a start says so
// in debug mode only), and the operands are read as a start reads them.
TEST_F(ConfigFile, CheckOfACommandLine) {
    Outcome fine = run({"-t", "-i", "lo", "-i", "nosuch0", "198.51.100.9"});
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.err, "");
    EXPECT_EQ(fine.out, "Would listen at lo: 127.0.0.1, 00:00:00:00:00:00\n"
                        "Interface nosuch0 does not exist. Ignored.\n"
                        "DHCP server #1: 198.51.100.9\n"
                        "Command line is fine: 1 interfaces, 1 servers, 0 DHCPv6 interfaces, 0 plug-ins\n");
    Outcome none = run({"-t", "-i", "nosuch0", "198.51.100.9"});
    expect_refusal(none, "No interfaces found to listen. Exiting.");
    EXPECT_EQ(none.out, "Interface nosuch0 does not exist. Ignored.\nDHCP server #1: 198.51.100.9\n");
    Outcome port = run({"-t", "-i", "lo", "198.51.100.9:0"});
    EXPECT_EQ(port.status, 64);
    EXPECT_EQ(port.err, "kestivane: bad port number\n");
}

// Accepted values, their bounds, keys and section names in any case, and
// numbers read as far as their digits go.
TEST_F(ConfigFile, OptionsTakeTheirValues) {
    Outcome result = read_file("[OPTIONS]\n"
                        "max_packet_size=300\n"
                        "max_packet_size=1500\n"
                        "Max_Hops=1\n"
                        "MAX_HOPS=16\n"
                        "max_packet_size=1400 bytes\n"
                        "max_hops=+7\r\n"
                        "rps_limit=0\n"
                        "rps_limit= -5\n"
                        "RPS_LIMIT=4294967295\n"
                        "rps_limit=-2147483648\n"
                        "rps_limit=250pps\n"
                        "stats_interval=1\n"
                        "Stats_Interval=86400 s\n"
                        "stats_file=/var/lib/prometheus/node-exporter/kestivane.prom\n"
                        "sandbox=on\n"
                        "SANDBOX=off\n"
                        "Sandbox_Allow=sysinfo,uname\n"
                        "sandbox_allow=getcpu\n"
                        "[Servers]\n"
                        "[options]\n"
                        "max_hops=2\n");
    EXPECT_EQ(result.out, "Option max_packet_size set to: 300\n"
                       "Option max_packet_size set to: 1500\n"
                       "Option max_hops set to: 1\n"
                       "Option max_hops set to: 16\n"
                       "Option max_packet_size set to: 1400\n"
                       "Option max_hops set to: 7\n"
                       "Option rps_limit set to: 0\n"
                       "Option rps_limit set to: -5\n"
                       "Option rps_limit set to: -1\n"
                       "Option rps_limit set to: -2147483648\n"
                       "Option rps_limit set to: 250\n"
                       "Option stats_interval set to: 1\n"
                       "Option stats_interval set to: 86400\n"
                       "Option stats_file set to: /var/lib/prometheus/node-exporter/kestivane.prom\n"
                       "Option sandbox set to: on\n"
                       "Option sandbox set to: off\n"
                       "Option sandbox_allow added: sysinfo\n"
                       "Option sandbox_allow added: uname\n"
                       "Option sandbox_allow added: getcpu\n"
                       "Option max_hops set to: 2\n");
    EXPECT_EQ(result.err, no_interfaces);
}

// rps_limit refuses a value without digits; beyond the 32 bits it is kept
// in, a number would wrap into some other limit, so it is refused too.
TEST_F(ConfigFile, RpsLimitRefusals) {
    for (const char *value : {"", "abc", "-", " ", "99999999999999999999", "4294967296", "-2147483649"}) {
        SCOPED_TRACE(value);
        expect_refusal(read_file(std::string("#\n[options]\nrps_limit=") + value + "\n", false),
                       "rps_limit number error");
    }
}

// Keys of one value each: what a file sets is echoed as read (numbers as
// far as their digits go, words case-sensitive, the key in any case), and
// every value out of range, without digits or not a word of the key's is
// refused with the line. interface_grace is 1 to 3600 seconds;
// answer_sources "servers" or "any", blanks included in the word; relay_port
// a port from 1 to 65535.
TEST_F(ConfigFile, SingleValueKeys) {
    struct Case {
        const char *key;
        const char *accepted; // lines of a file that sets the key
        const char *echoed;
        std::vector<const char *> refused;
        const char *message;
    };
    const Case cases[] = {
        {"interface_grace", "interface_grace=1\nINTERFACE_GRACE=3600\ninterface_grace=5s\n",
         "Option interface_grace set to: 1\nOption interface_grace set to: 3600\nOption interface_grace set to: 5\n",
         {"", "abc", "0", "-1", "3601"}, "Wrong interface grace. Line: 3"},
        {"answer_sources", "answer_sources=any\nAnswer_Sources=servers\n",
         "Option answer_sources set to: any\nOption answer_sources set to: servers\n",
         {"", "Any", "servers ", "all", "off"}, "Wrong answer_sources value (servers or any). Line: 3"},
        {"relay_port", "relay_port=6767\nRELAY_PORT=1\nrelay_port=65535\n",
         "Option relay_port set to: 6767\nOption relay_port set to: 1\nOption relay_port set to: 65535\n",
         {"", "abc", "0", "-1", "65536", "99999999999999999999"}, "Wrong relay port. Line: 3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(read_file(std::string("[options]\n") + c.accepted).out, c.echoed);
        for (const char *value : c.refused) {
            SCOPED_TRACE(value);
            expect_refusal(read_file(std::string("#\n[options]\n") + c.key + "=" + value + "\n", false),
                           c.message);
        }
    }
}

// link_selection and server_id_override: "on" or "off", for every interface
// or, after a dot, for one; a key that only begins like them is unknown.
TEST_F(ConfigFile, FabricSuboptions) {
    Outcome result = read_file("[options]\nlink_selection=on\nLINK_SELECTION.eth1=OFF\nserver_id_override.eth0=on\n");
    EXPECT_EQ(result.out, "Option link_selection set to: on\n"
                          "Option LINK_SELECTION.eth1 set to: OFF\n"
                          "Option server_id_override.eth0 set to: on\n");
    struct Case {
        const char *line;
        const char *message;
    };
    for (const Case &c : {
             Case{"link_selection=yes", "Wrong link_selection value (on or off). Line: 3"},
             Case{"link_selection.eth1=", "Wrong link_selection value (on or off). Line: 3"},
             Case{"server_id_override= on", "Wrong server_id_override value (on or off). Line: 3"},
             Case{"link_selection.=on", "Wrong interface name in link_selection. Line: 3"},
             Case{"server_id_override.abcdefghijklmnop=on", "Wrong interface name in server_id_override. Line: 3"},
             Case{"link_selections=on", "Unknown option in [Options] section. Line: 3"},
         }) {
        SCOPED_TRACE(c.line);
        expect_refusal(read_file(std::string("#\n[options]\n") + c.line + "\n", false), c.message);
    }
}

// queue_limit: a decimal count of at least 1 and at most a million, read
// as far as its digits go like the other numbers; nothing else leaves the
// queue unbounded, so 0, negatives, words and huge values are refused.
TEST_F(ConfigFile, QueueLimit) {
    struct Case {
        const char *value;
        const char *set; // null: refused
    };
    const std::vector<Case> cases{
        {"1", "1"},       {"1000000", "1000000"}, {"64 items", "64"}, {" +8", "8"},
        {"0", nullptr},   {"-1", nullptr},        {"", nullptr},      {"abc", nullptr},
        {"1000001", nullptr}, {"4294967297", nullptr}, {"99999999999999999999", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        Outcome result = read_file(std::string("[options]\nQueue_Limit=") + c.value + "\n", c.set != nullptr);
        if (c.set != nullptr) {
            EXPECT_EQ(result.out, std::string("Option queue_limit set to: ") + c.set + "\n");
            EXPECT_EQ(result.err, no_interfaces);
        } else {
            expect_refusal(result, "Wrong queue limit. Line: 2");
        }
    }
}

// plugin_path always ends in '/' when it fits and applies to the plug-in
// headers after it.
TEST_F(ConfigFile, PluginPathGovernsLaterHeaders) {
    const std::string dir78 = "/" + std::string(77, 'a');
    const std::string dir79 = "/" + std::string(78, 'b');
    const std::string dir120 = "/" + std::string(119, 'c');
    struct Case {
        std::string value;
        std::string base;
    };
    const std::vector<Case> cases{
        {"/opt/relay/", "/opt/relay/"},
        {"/opt/relay", "/opt/relay/"},
        {"plugins", "plugins/"},
        {"", "/"},
        {" /opt", " /opt/"},
        {dir78, dir78 + "/"},
        {dir79, dir79},
        {dir120, dir120.substr(0, 79)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        Outcome result = read_file("[options]\nplugin_path=" + c.value + "\n[p-plugin]\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out.rfind("Option plugin_base set to: " + c.base + "\ndlerror(): ", 0), 0u) << result.out;
        // The loader cuts a long path to 99 characters; the directory and the
        // start of the file name always show.
        const std::string path = c.base + "kestivane_p_plugin.so";
        if (path.size() <= 99)
            EXPECT_EQ(result.err, "kestivane: Can't open plugin: " + path + "\n");
        else
            EXPECT_EQ(result.err.rfind("kestivane: Can't open plugin: " + c.base + "kestivane_p", 0), 0u)
                << result.err;
    }
}

// A plug-in's name is the header up to "-plugin" (found in any case), with
// its own case kept; what follows it inside the brackets is ignored.
TEST_F(ConfigFile, PluginHeaderNamesThePlugin) {
    for (const char *header : {"[Demo-PLUGIN]", "[Demo-plugin v2]", "[Demo-Plugin-plugin]"}) {
        SCOPED_TRACE(header);
        Outcome result = read_file(std::string("[options]\nplugin_path=/nowhere\n") + header + "\n");
        expect_refusal(result, "Can't open plugin: /nowhere/kestivane_Demo_plugin.so");
    }
}

// Server lines: lines before any header are in [servers]; a blank before '#'
// makes a server line, not a comment; a CR stays part of an interface name.
TEST_F(ConfigFile, ServerLines) {
    Outcome result = read_file("198.51.100.9 nosuch0\n"
                        " # not a comment\n"
                        "[options]\n"
                        "[servers]\n"
                        "198.51.100.9 nosuch1\r\n");
    EXPECT_EQ(without_interface_probes(result.out), "Open server: 198.51.100.9\n"
                       "DHCP server #1: 198.51.100.9\n"
                       "Interface nosuch0 does not exist. Ignored.\n"
                       "Open server: \n"
                       "Can't open server . Ignored.\n"
                       "Open server: 198.51.100.9\n"
                       "DHCP server #1: 198.51.100.9\n"
                       "Interface nosuch1\r does not exist. Ignored.\n");
    EXPECT_EQ(result.err, no_interfaces);
}

// A servers file holds server lines only: headers, keys and all.
TEST_F(ConfigFile, ServersFileLinesAreAllServerLines) {
    const std::string list = write("servers.list", "[servers]\n"
                                                   "# comment\n"
                                                   "\n"
                                                   "bind_ip=nosuch0 198.51.100.1\n"
                                                   "198.51.100.9 if=0\n");
    Outcome result = read_file("#\nFILE=" + list + "\n");
    EXPECT_EQ(without_interface_probes(result.out), "Open server: [servers]\n"
                       "Can't open server [servers]. Ignored.\n"
                       "Open server: bind_ip=nosuch0\n"
                       "Can't open server bind_ip=nosuch0. Ignored.\n"
                       "Open server: 198.51.100.9\n"
                       "DHCP server #1: 198.51.100.9\n"
                       "Interface if=0 does not exist. Ignored.\n");
    EXPECT_EQ(result.err, no_interfaces);
}

// An address text is taken as written: inet_pton's strict dotted quad.
TEST_F(ConfigFile, BindIpWarnings) {
    Outcome result = read_file("bind_ip=nosuch0  198.51.100.1\n"
                        "bind_ip=nosuch0 198.51.100.1 \n"
                        "bind_ip=nosuch0 198.51.100.01\n"
                        "bind_ip=nosuch0 198.51.100\n"
                        "Bind_IP=nosuch0 198.51.100.1\n"
                        "bind_ip=nosuch0 198.51.100.1 extra\n");
    EXPECT_EQ(result.out, "bind_ip:  198.51.100.1 is not a valid IPv4 address. Ignoring\n"
                       "bind_ip: 198.51.100.1  is not a valid IPv4 address. Ignoring\n"
                       "bind_ip: 198.51.100.01 is not a valid IPv4 address. Ignoring\n"
                       "bind_ip: 198.51.100 is not a valid IPv4 address. Ignoring\n"
                       "bind_ip: address 198.51.100.1 not found on interface nosuch0. Ignoring\n"
                       "bind_ip: 198.51.100.1 extra is not a valid IPv4 address. Ignoring\n");
    EXPECT_EQ(result.err, no_interfaces);
}

// A binding is kept only if the interface, named exactly, carries the
// address now. The loopback interface carries 127.0.0.1 and no other.
TEST_F(ConfigFile, BindIpChecksTheInterface) {
    Outcome result = read_file("bind_ip=lo 127.0.0.1\n"
                               "bind_ip=lo 127.0.0.2\n"
                               "bind_ip=LO 127.0.0.1\n"
                               "bind_ip=nosuch0 127.0.0.1\n");
    EXPECT_EQ(result.out, "interface lo binded to address 127.0.0.1\n"
                          "bind_ip: address 127.0.0.2 not found on interface lo. Ignoring\n"
                          "bind_ip: address 127.0.0.1 not found on interface LO. Ignoring\n"
                          "bind_ip: address 127.0.0.1 not found on interface nosuch0. Ignoring\n");
    EXPECT_EQ(result.err, no_interfaces);
}

// The shipped sample, as an operator would adapt it: with its interface
// names replaced it runs up to the point where interfaces are needed, and
// each commented-out example works once uncommented.
TEST_F(ConfigFile, SampleConfigurationIsAccepted) {
    std::string sample = slurp(fs::path(KESTIVANE_SOURCE_DIR) / "dist/kestivane.conf");
    ASSERT_FALSE(sample.empty());
    auto replace_all = [&sample](const std::string &from, const std::string &to) {
        for (std::size_t at = sample.find(from); at != std::string::npos; at = sample.find(from, at + to.size()))
            sample.replace(at, from.size(), to);
    };
    replace_all(" eth1", " nosuchA0");
    replace_all(" eth2", " nosuchB0");
    replace_all("#bind_ip=eth1 ", "bind_ip=nosuchA0 ");
    replace_all("#plugin_path=", "plugin_path=");
    // The package creates the sample's user; nobody exists everywhere.
    replace_all("#user=kestivane", "user=nobody");
    replace_all("#sandbox_allow=", "sandbox_allow=");
    const std::string list = write("servers.list", "198.51.100.9 nosuchC0\n");
    replace_all("#file=/etc/kestivane.servers", "file=" + list);

    Outcome result = read_file(sample);
    EXPECT_EQ(without_interface_probes(result.out), "Option max_packet_size set to: 1400\n"
                          "Option max_hops set to: 4\n"
                          "Option rps_limit set to: 0\n"
                          "Option plugin_base set to: /usr/local/lib/kestivane/\n" +
                          std::string(geteuid() == 0 ? "Option user set to: nobody\n"
                                                     : "Option user nobody ignored: not running as root\n") +
                          "Option sandbox set to: on\n"
                          "Option sandbox_allow added: sysinfo\n"
                          "bind_ip: address 198.51.100.1 not found on interface nosuchA0. Ignoring\n"
                          "Open server: 203.0.113.10\n"
                          "DHCP server #1: 203.0.113.10\n"
                          "Interface nosuchA0 does not exist. Ignored.\n"
                          "Interface nosuchB0 does not exist. Ignored.\n"
                          "Open server: 203.0.113.11\n"
                          "DHCP server #1: 203.0.113.11\n"
                          "Interface nosuchA0 does not exist. Ignored.\n"
                          "Interface nosuchB0 does not exist. Ignored.\n"
                          "Open server: 198.51.100.9\n"
                          "DHCP server #1: 198.51.100.9\n"
                          "Interface nosuchC0 does not exist. Ignored.\n");
    EXPECT_EQ(result.err, no_interfaces);

    replace_all("#[example-plugin]", "[example-plugin]");
    replace_all("#option=value", "option=value");
    expect_refusal(read_file(sample, false),
                   "Can't open plugin: /usr/local/lib/kestivane/kestivane_example_plugin.so");
}

// The binding list in process: a refused binding leaves no trace, and the
// tail stays right for the next one.
class BindingList : public ::testing::Test {
protected:
    void SetUp() override { STAILQ_INIT(&ip_binding_map_head); }
    void TearDown() override {
        while (struct ip_binding *first = STAILQ_FIRST(&ip_binding_map_head)) {
            STAILQ_REMOVE_HEAD(&ip_binding_map_head, next);
            std::free(first->ifname);
            std::free(first);
        }
    }
    // An accepted binding, as an earlier line would have left it.
    struct ip_binding *add(const char *ifname, uint32_t ip) {
        auto *node = static_cast<struct ip_binding *>(std::calloc(1, sizeof(struct ip_binding)));
        node->ifname = strdup(ifname);
        node->ip = ip;
        STAILQ_INSERT_TAIL(&ip_binding_map_head, node, next);
        return node;
    }
};

TEST_F(BindingList, RefusedBindingIsUnlinkedFromTheTail) {
    bind_ip("nosuch0 198.51.100.1", 1);
    EXPECT_TRUE(STAILQ_EMPTY(&ip_binding_map_head));
    EXPECT_EQ(ip_binding_map_head.stqh_last, &ip_binding_map_head.stqh_first);
    EXPECT_EQ(get_bound_ip("nosuch0"), nullptr);

    struct ip_binding *kept = add("nosuch0", htonl(0xC6336402)); // 198.51.100.2
    bind_ip("nosuch0 198.51.100.1", 2);
    bind_ip("nosuch0 not-an-address", 3);
    EXPECT_EQ(STAILQ_FIRST(&ip_binding_map_head), kept);
    EXPECT_EQ(STAILQ_NEXT(kept, next), nullptr);
    EXPECT_EQ(ip_binding_map_head.stqh_last, &kept->next.stqe_next);
    EXPECT_EQ(get_bound_ip("nosuch0"), &kept->ip);

    // The tail still takes the next node.
    struct ip_binding *later = add("nosuch1", htonl(0xC6336403));
    EXPECT_EQ(STAILQ_NEXT(kept, next), later);
}

TEST_F(BindingList, AcceptedBindingStaysAndLaterRefusalsLeaveIt) {
    bind_ip("lo 127.0.0.1", 1);
    struct ip_binding *kept = STAILQ_FIRST(&ip_binding_map_head);
    ASSERT_NE(kept, nullptr);
    EXPECT_STREQ(kept->ifname, "lo");
    EXPECT_EQ(kept->ip, htonl(0x7F000001));
    bind_ip("lo 127.0.0.2", 2);
    EXPECT_EQ(STAILQ_NEXT(kept, next), nullptr);
    EXPECT_EQ(ip_binding_map_head.stqh_last, &kept->next.stqe_next);
    EXPECT_EQ(get_bound_ip("lo"), &kept->ip);
    bind_ip("lo 127.0.0.1", 3); // a second accepted binding goes behind the first
    ASSERT_NE(STAILQ_NEXT(kept, next), nullptr);
    EXPECT_EQ(get_bound_ip("lo"), &kept->ip);
}

TEST_F(BindingList, LookupTakesTheFirstExactName) {
    struct ip_binding *first = add("veth0", htonl(0xC6336401));
    add("veth0", htonl(0xC6336402));
    struct ip_binding *other = add("VETH0", htonl(0xC6336403));
    EXPECT_EQ(get_bound_ip("veth0"), &first->ip);
    EXPECT_EQ(get_bound_ip("VETH0"), &other->ip);
    EXPECT_EQ(get_bound_ip("veth"), nullptr);
    EXPECT_EQ(get_bound_ip("veth00"), nullptr);
}

} // namespace

// The one reading of server lines and server texts that both families use.
TEST(ServerText, LinesAndTextsOfBothFamilies) {
    using kestivane::config::address_family;
    struct LineCase {
        const char *line;
        std::string server;
        std::vector<std::string> interfaces;
    };
    for (const LineCase &c : std::vector<LineCase>{
             {"10.0.0.1 eth0 eth1", "10.0.0.1", {"eth0", "eth1"}},
             {"10.0.0.1:6767\t \teth0  \t", "10.0.0.1:6767", {"eth0"}},
             {" eth0", "", {"eth0"}},
             {"[2001:db8::1]:547 a\tb", "[2001:db8::1]:547", {"a", "b"}},
             {"host", "host", {}},
             {"host \t ", "host", {}},
         }) {
        SCOPED_TRACE(c.line);
        const auto parts = kestivane::config::split_server_line(c.line);
        EXPECT_EQ(parts.server, c.server);
        EXPECT_EQ(std::vector<std::string>(parts.interfaces.begin(), parts.interfaces.end()), c.interfaces);
    }
    struct TextCase {
        const char *text;
        address_family family;
        bool ok;
        std::string host;
        std::optional<std::string> port;
        std::string scope;
    };
    for (const TextCase &c : std::vector<TextCase>{
             {"10.0.0.1", address_family::v4, true, "10.0.0.1", std::nullopt, ""},
             {"host:70000:1", address_family::v4, true, "host", "70000:1", ""}, // the first ':' ends the host
             {"host:", address_family::v4, true, "host", "", ""},
             {"fe80::1%eth0", address_family::v4, true, "fe80", ":1%eth0", ""},
             {"2001:db8::1", address_family::v6, true, "2001:db8::1", std::nullopt, ""},
             {"fe80::1%up0", address_family::v6, true, "fe80::1", std::nullopt, "up0"},
             {"[fe80::1%up0]:5547", address_family::v6, true, "fe80::1", "5547", "up0"},
             {"[2001:db8::1]:", address_family::v6, true, "2001:db8::1", "", ""},
             {"[2001:db8::1]", address_family::v6, false, "", std::nullopt, ""},
             {"[2001:db8::1", address_family::v6, false, "", std::nullopt, ""},
             {"[2001:db8::1]547", address_family::v6, false, "", std::nullopt, ""},
         }) {
        SCOPED_TRACE(c.text);
        kestivane::config::server_text parts;
        ASSERT_EQ(kestivane::config::split_server_text(c.text, c.family, parts), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(parts.host, c.host);
        EXPECT_EQ(parts.port.has_value(), c.port.has_value());
        EXPECT_EQ(parts.port.value_or("(none)"), c.port.value_or("(none)"));
        EXPECT_EQ(parts.scope, c.scope);
    }
}
