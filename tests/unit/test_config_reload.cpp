// Reloading: a file pair (the running file, the new one) is described by
// the checker child as a reload does, compared, and judged by the lines a
// reload logs; a bad new file by the refusal a start would give.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_check.h"
#include "config/config_diff.h"

namespace {

namespace fs = std::filesystem;
using kestivane::config::compare_configurations;
using kestivane::config::parse_description;

struct described {
    int status = -1;
    std::string text; // the description, or what the refusal said
};

std::string read_to_end(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// As the checker runs it: a child of a single-threaded process.
described describe(const std::string &path) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(err[1], STDERR_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
        close(out[0]);
        kestivane::config::describe_configuration(path.c_str(), out[1]);
    }
    close(out[1]);
    close(err[1]);
    described d;
    const std::string text = read_to_end(out[0]);
    const std::string said = read_to_end(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    d.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    d.text = d.status == 0 ? text : said;
    return d;
}

class ConfigReload : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestivane-reload-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    described describe_text(const std::string &text) {
        const fs::path path = dir_ / "relay.conf";
        std::ofstream(path, std::ios::binary) << text;
        return describe(path.string());
    }
    fs::path dir_;
};

const std::string plugins = std::string("[options]\nplugin_path=") + KESTIVANE_TEST_PLUGIN_DIR + "\n";

struct reload_case {
    const char *name;
    std::string before, after;
    std::string change;                // the change line, for the path "P"
    std::vector<std::string> restarts; // what needs a restart
};

TEST_F(ConfigReload, FilePairsGiveTheirChangeLine) {
    const std::vector<reload_case> cases = {
        {"same file", "203.0.113.2 lo\n", "203.0.113.2 lo\n", "Reloaded P: interfaces +0 -0, servers +0 -0", {}},
        {"server added", "203.0.113.2 lo\n", "203.0.113.2 lo\n203.0.113.3:68 lo\n",
         "Reloaded P: interfaces +0 -0, servers +1 -0", {}},
        {"server replaced", "203.0.113.2 lo\n", "203.0.113.3 lo\n", "Reloaded P: interfaces +0 -0, servers +1 -1", {}},
        {"port changed", "203.0.113.2 lo\n", "203.0.113.2:1067 lo\n", "Reloaded P: interfaces +0 -0, servers +1 -1", {}},
        {"[servers6] added", "203.0.113.2 lo\n", "203.0.113.2 lo\n[servers6]\n2001:db8::1 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, DHCPv6 interfaces +1 -0, DHCPv6 servers +1 -0", {}},
        {"[servers6] server replaced, an absent lower named", "203.0.113.2 lo\n[servers6]\n2001:db8::1 lo\n",
         "203.0.113.2 lo\n[servers6]\n[2001:db8::2]:1547 lo nosuchif0\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, DHCPv6 interfaces +1 -0, DHCPv6 servers +1 -1", {}},
        {"[servers6] lower removed, a server kept", "203.0.113.2 lo\n[servers6]\n2001:db8::1 lo nosuchif0\n",
         "203.0.113.2 lo\n[servers6]\n2001:db8::1 nosuchif0\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, DHCPv6 interfaces +0 -1, DHCPv6 servers +0 -0", {}},
        {"[servers6] same lines, other order", "203.0.113.2 lo\n[servers6]\n2001:db8::1 lo\n2001:db8::2 nosuchif0\n",
         "203.0.113.2 lo\n[servers6]\n2001:db8::2 nosuchif0\n2001:db8::1 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0", {}},
        {"options", "[options]\nmax_hops=4\n[servers]\n203.0.113.2 lo\n",
         "[options]\nMAX_HOPS=5\nrps_limit=20\nanswer_sources=any\n[servers]\n203.0.113.2 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, options rps_limit, max_hops, answer_sources", {}},
        {"restart keys", "203.0.113.2 lo\n",
         "[options]\nmax_packet_size=600\nlink_selection.lo=on\nstats_interval=5\n[servers]\n203.0.113.2 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, options stats_interval, fabric sub-options",
         {"max_packet_size"}},
        {"relay port and source", "203.0.113.2 lo\n",
         "[options]\nrelay_port=1067\nsource_interface.absent0=lo\n[servers]\n203.0.113.2 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, options relay_port, source_interface", {}},
        {"source written otherwise, chosen the same", "[options]\nsource_interface.absent0=lo\n[servers]\n203.0.113.2 lo\n",
         "[options]\nSOURCE_INTERFACE.absent0=lo\n[servers]\n203.0.113.2 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0", {}},
        {"relay port with DHCPv6 lowers", "203.0.113.2 lo\n[servers6]\n2001:db8::1 lo\n",
         "[options]\nrelay_port=1067\n[servers]\n203.0.113.2 lo\n[servers6]\n2001:db8::1 lo\n",
         "Reloaded P: interfaces +0 -0, servers +0 -0, options relay_port", {}},
        {"plug-in options", plugins + "[servers]\n203.0.113.2 lo\n[bare-plugin]\na=1\n",
         plugins + "[servers]\n203.0.113.2 lo\n[bare-plugin]\na=2\n", "Reloaded P: interfaces +0 -0, servers +0 -0",
         {"plug-in sections"}},
    };
    for (const reload_case &c : cases) {
        SCOPED_TRACE(c.name);
        const described before = describe_text(c.before);
        const described after = describe_text(c.after);
        ASSERT_EQ(before.status, 0) << before.text;
        ASSERT_EQ(after.status, 0) << after.text;
        const auto old_one = parse_description(before.text);
        const auto new_one = parse_description(after.text);
        ASSERT_TRUE(old_one && new_one);
        const auto change = compare_configurations(*old_one, *new_one);
        EXPECT_EQ(kestivane::config::change_line("P", change), c.change);
        EXPECT_EQ(change.restart, c.restarts);
    }
}

// An interface that is not there is described with its server, to be
// awaited; the server no other interface took is in no list.
TEST_F(ConfigReload, AbsentInterfaceDescribedWithItsServer) {
    const described d = describe_text("203.0.113.2 lo\n203.0.113.3:1067 nosuchif0\n");
    ASSERT_EQ(d.status, 0) << d.text;
    const auto description = parse_description(d.text);
    ASSERT_TRUE(description);
    ASSERT_EQ(description->absent.size(), 1u);
    EXPECT_EQ(description->absent[0].ifname, "nosuchif0");
    EXPECT_EQ(description->absent[0].server.port, htons(1067));
    EXPECT_EQ(description->interfaces.size(), 1u);
}

TEST_F(ConfigReload, BadFileRefusedAsAStartWould) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[options]\nmax_hops=70\n", "Wrong hops number. Line: 2"},
        {"203.0.113.2 lo\nbind_ip=lo\n", "bind_ip syntax error at line 2"},
        {"[options]\nstats_file=relative\n", "Wrong stats file. Line: 2"},
        {"203.0.113.2 nosuchif0\n", "No interfaces found to listen. Exiting."},
    };
    for (const auto &[text, refusal] : cases) {
        SCOPED_TRACE(text);
        const described d = describe_text(text);
        EXPECT_EQ(d.status, 1);
        EXPECT_THAT(d.text, ::testing::HasSubstr(": " + refusal + "\n"));
    }
}

// Interfaces that a unit test cannot make: descriptions written by hand.
TEST(ConfigDescription, InterfacesAndAddressesCompared) {
    const std::string one = "server s 203.0.113.2 67\ninterface a 198.51.100.1 0\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {one + "interface b 198.51.100.65 0\n", "interfaces +1 -0, servers +0 -0"},
        {"server s 203.0.113.2 67\n", "interfaces +0 -1, servers +0 -1"},
        {"server t 203.0.113.3 67\ninterface a 198.51.100.1 0\ninterface b 198.51.100.65 0\n",
         "interfaces +1 -0, servers +1 -1"},
        {"server s 203.0.113.2 67\ninterface a 198.51.100.2 0\n", "interfaces +0 -0, servers +0 -0, addresses a"},
    };
    const auto before = parse_description(one);
    ASSERT_TRUE(before);
    for (const auto &[text, change] : cases) {
        const auto after = parse_description(text);
        ASSERT_TRUE(after) << text;
        EXPECT_EQ(kestivane::config::change_line("P", compare_configurations(*before, *after)), "Reloaded P: " + change);
    }
}

TEST(ConfigDescription, RoundTripAndDamage) {
    const std::string good = "server a 203.0.113.2 67\ninterface lo 127.0.0.1 0 0\noption max_hops 4\nnamed lo\n";
    const auto d = parse_description(good);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->interfaces.at(0).servers, (std::vector<std::size_t>{0, 0}));
    EXPECT_EQ(d->servers.at(0).port, htons(67));
    for (const std::string bad : {"server a 203.0.113.2 67", "interface lo 127.0.0.1 1\n", "server a 203.0.113 67\n",
                                  "what is this\n", "server a 203.0.113.2 70000\n",
                                  "absent x s 203.0.113.2\n"})
        EXPECT_FALSE(parse_description(bad)) << bad;
}

} // namespace
