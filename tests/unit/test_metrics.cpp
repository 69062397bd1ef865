// The metrics module's pure parts: the health alarm's judgement, the text
// exposition, the dump lines, and the file replacement.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metrics/dump.h"
#include "metrics/exposition.h"
#include "metrics/health_alarm.h"
#include "metrics/socket_drops.h"
#include "metrics/stats_file.h"

namespace {

using namespace kestivane::metrics;
namespace fs = std::filesystem;

// Readings one second apart, a window of six seconds.
TEST(AnswerAlarm, RisesAndClearsOnce) {
    using change = answer_alarm::change;
    struct Step {
        uint64_t forwarded, answered;
        change expected;
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases{
        {"forwards for six seconds, no answer: one alarm, then silence",
         {{1, 0, change::none}, {2, 0, change::none}, {3, 0, change::none}, {4, 0, change::none},
          {5, 0, change::none}, {6, 0, change::none}, {7, 0, change::raised}, {8, 0, change::none},
          {9, 0, change::none}}},
        {"the first answer clears it, once",
         {{1, 0, change::none}, {2, 0, change::none}, {2, 0, change::none}, {2, 0, change::none},
          {2, 0, change::none}, {2, 0, change::none}, {3, 0, change::raised}, {3, 1, change::cleared},
          {4, 2, change::none}, {5, 3, change::none}}},
        {"answers keep coming: never",
         {{1, 1, change::none}, {2, 2, change::none}, {3, 3, change::none}, {4, 4, change::none},
          {5, 5, change::none}, {6, 6, change::none}, {7, 7, change::none}, {8, 8, change::none}}},
        {"one request, then nothing: no forwarding for the window, no alarm",
         {{1, 0, change::none}, {1, 0, change::none}, {1, 0, change::none}, {1, 0, change::none},
          {1, 0, change::none}, {1, 0, change::none}, {1, 0, change::none}, {1, 0, change::none}}},
        {"an answer restarts the window",
         {{1, 0, change::none}, {2, 0, change::none}, {3, 0, change::none}, {4, 0, change::none},
          {5, 0, change::none}, {6, 1, change::none}, {7, 1, change::none}, {8, 1, change::none},
          {9, 1, change::none}, {10, 1, change::none}, {11, 1, change::none}, {12, 1, change::none},
          {13, 1, change::raised}}},
        {"nothing at all: never", {{0, 0, change::none}, {0, 0, change::none}, {0, 0, change::none}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        answer_alarm alarm(6000);
        int64_t now = 0;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            now += 1000;
            EXPECT_EQ(alarm.observe(c.steps[i].forwarded, c.steps[i].answered, now), c.steps[i].expected);
        }
    }
}

snapshot two_interfaces() {
    snapshot shot;
    interface_snapshot a;
    a.idx = 0;
    a.name = "eth\"0\\";
    a.captured = 7;
    a.dropped[static_cast<std::size_t>(request_drop::no_end)] = 2;
    a.servers = {{"203.0.113.2:67", 5, 0}, {"203.0.113.3:6767", 4, 1}};
    a.received = 3;
    a.answer_dropped[static_cast<std::size_t>(answer_drop::unknown_giaddr)] = 1;
    a.delivered = 2;
    a.up = 1;
    a.reopened = 3;
    interface_snapshot b;
    b.idx = 4;
    b.name = "eth1";
    shot.interfaces = {a, b};
    shot.queue_length_max = 9;
    return shot;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
    for (const auto &l : lines)
        if (l == line) return true;
    return false;
}

void expect_well_formed(const std::vector<std::string> &lines);

TEST(Exposition, SamplesAndLabels) {
    exposition_extras extras;
    extras.start_time = 1700000000.25;
    extras.version = "6.1";
    extras.alarmed = {4};
    const std::string text = format_exposition(two_interfaces(), extras);
    const auto lines = lines_of(text);
    for (const char *line : {
             "kestivane_build_info{version=\"6.1\"} 1",
             "kestivane_start_time_seconds 1700000000.250",
             "kestivane_requests_captured_total{interface=\"eth\\\"0\\\\\"} 7",
             "kestivane_requests_dropped_total{interface=\"eth\\\"0\\\\\",reason=\"no_end\"} 2",
             "kestivane_requests_dropped_total{interface=\"eth1\",reason=\"queue_full\"} 0",
             "kestivane_requests_forwarded_total{interface=\"eth\\\"0\\\\\",server=\"203.0.113.3:6767\"} 4",
             "kestivane_forward_errors_total{interface=\"eth\\\"0\\\\\",server=\"203.0.113.3:6767\"} 1",
             "kestivane_answers_dropped_total{interface=\"eth\\\"0\\\\\",reason=\"unknown_giaddr\"} 1",
             "kestivane_answers_delivered_total{interface=\"eth\\\"0\\\\\"} 2",
             "kestivane_answer_alarm{interface=\"eth\\\"0\\\\\"} 0",
             "kestivane_answer_alarm{interface=\"eth1\"} 1",
             "kestivane_interface_up{interface=\"eth\\\"0\\\\\"} 1",
             "kestivane_interface_reopened_total{interface=\"eth\\\"0\\\\\"} 3",
             "kestivane_interface_up{interface=\"eth1\"} 0",
             "kestivane_queue_length 0",
             "kestivane_queue_length_max 9",
         }) {
        EXPECT_TRUE(has_line(lines, line)) << line << "\nin:\n" << text;
    }
    expect_well_formed(lines);
    EXPECT_EQ(escape_label("a\nb"), "a\\nb");
    EXPECT_EQ(text.find("kestivane_v6_"), std::string::npos) << "a relay without DHCPv6 shows v6 families";
}

// Every family: HELP, then TYPE, then its samples; counters end in _total.
void expect_well_formed(const std::vector<std::string> &lines) {
    std::string family;
    for (const auto &line : lines) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size() + 1), family + " ");
            if (line.ends_with(" counter")) {
                EXPECT_TRUE(family.ends_with("_total")) << family;
            }
            continue;
        }
        EXPECT_EQ(line.substr(0, family.size()), family) << line;
        EXPECT_TRUE(line[family.size()] == '{' || line[family.size()] == ' ') << line;
    }
}

TEST(Dump, NonZeroCountersOneLineEach) {
    const auto lines = dump_lines(two_interfaces());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Counters of interface eth\"0\\: requests_captured=7 requests_dropped{no_end}=2 "
                        "requests_forwarded{203.0.113.2:67}=5 requests_forwarded{203.0.113.3:6767}=4 "
                        "forward_errors{203.0.113.3:6767}=1 answers_received=3 "
                        "answers_dropped{unknown_giaddr}=1 answers_delivered=2");
    EXPECT_EQ(lines[1], "Counters of interface eth1: all zero");
    EXPECT_EQ(lines[2], "Counters of the request queue: queue_length_max=9");
}

// The messages by type: a sample per direction and type in the metrics
// file, and a table per interface in the dump (none while all are zero).
TEST(Dump, MessagesByTypeAsATable) {
    snapshot shot;
    interface_snapshot a;
    a.name = "eth1";
    a.messages_received[static_cast<std::size_t>(message4::discover)] = 1;
    a.messages_received[static_cast<std::size_t>(message4::offer)] = 3;
    a.messages_sent[static_cast<std::size_t>(message4::discover)] = 3;
    a.messages_sent[static_cast<std::size_t>(message4::offer)] = 1;
    a.messages_sent[static_cast<std::size_t>(message4::other)] = 12345;
    interface_snapshot b;
    b.name = "eth2";
    shot.interfaces = {a, b};
    const auto lines = dump_lines(shot);
    const std::vector<std::string> expected{
        "Counters of interface eth1: all zero",
        "Messages of interface eth1:          discover offer request decline ack nak release inform other",
        "Messages of interface eth1: received        1     3       0       0   0   0       0      0     0",
        "Messages of interface eth1: sent            3     1       0       0   0   0       0      0 12345",
        "Counters of interface eth2: all zero",
        "Counters of the request queue: all zero",
    };
    EXPECT_EQ(lines, expected);

    const auto text = lines_of(format_exposition(shot, {}));
    for (const char *line : {
             "kestivane_messages_total{interface=\"eth1\",direction=\"received\",type=\"offer\"} 3",
             "kestivane_messages_total{interface=\"eth1\",direction=\"sent\",type=\"discover\"} 3",
             "kestivane_messages_total{interface=\"eth1\",direction=\"sent\",type=\"other\"} 12345",
             "kestivane_messages_total{interface=\"eth2\",direction=\"sent\",type=\"inform\"} 0",
         })
        EXPECT_TRUE(has_line(text, line)) << line;
    expect_well_formed(text);
}

// The log cuts lines at 1023 characters: many servers spill into more lines
// with the same head, and no counter is lost.
TEST(Dump, LongLinesGoOn) {
    snapshot shot;
    interface_snapshot a;
    a.name = "eth0";
    for (int i = 0; i < 63; ++i) a.servers.push_back({"203.0.113." + std::to_string(i) + ":67", 1000000u + i, 0});
    shot.interfaces = {a};
    const auto lines = dump_lines(shot);
    ASSERT_GT(lines.size(), 2u);
    std::size_t items = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_LT(lines[i].size(), 1000u);
        EXPECT_EQ(lines[i].rfind("Counters of interface eth0: ", 0), 0u);
        std::istringstream words(lines[i].substr(28));
        for (std::string w; words >> w;) ++items;
    }
    EXPECT_EQ(items, 63u);
}

snapshot with_v6() {
    snapshot shot = two_interfaces();
    shot.v6 = true;
    interface6_snapshot a;
    a.name = "v6\"a";
    a.received = 11;
    a.dropped[static_cast<std::size_t>(request6_drop::malformed)] = 5;
    a.dropped[static_cast<std::size_t>(request6_drop::hop_limit)] = 1;
    a.servers = {{"[2001:db8:ff::2]:547", 4, 0}, {"[ff02::1:2%up0]:547", 3, 2}};
    a.delivered = 6;
    interface6_snapshot b;
    b.name = "v6b";
    b.write_errors = 8;
    shot.interfaces6 = {a, b};
    shot.upper6.received = 10;
    shot.upper6.dropped[static_cast<std::size_t>(answer6_drop::unmatched)] = 2;
    return shot;
}

TEST(Exposition, Dhcp6Families) {
    const std::string text = format_exposition(with_v6(), exposition_extras{});
    const auto lines = lines_of(text);
    for (const char *line : {
             "kestivane_v6_requests_received_total{interface=\"v6\\\"a\"} 11",
             "kestivane_v6_requests_dropped_total{interface=\"v6\\\"a\",reason=\"malformed\"} 5",
             "kestivane_v6_requests_dropped_total{interface=\"v6\\\"a\",reason=\"not_relayed\"} 0",
             "kestivane_v6_requests_dropped_total{interface=\"v6b\",reason=\"too_long\"} 0",
             "kestivane_v6_requests_forwarded_total{interface=\"v6\\\"a\",server=\"[ff02::1:2%up0]:547\"} 3",
             "kestivane_v6_forward_errors_total{interface=\"v6\\\"a\",server=\"[ff02::1:2%up0]:547\"} 2",
             "kestivane_v6_answers_delivered_total{interface=\"v6\\\"a\"} 6",
             "kestivane_v6_answer_write_errors_total{interface=\"v6b\"} 8",
             "kestivane_v6_answers_received_total 10",
             "kestivane_v6_answers_dropped_total{reason=\"unmatched\"} 2",
             "kestivane_v6_answers_dropped_total{reason=\"receive_error\"} 0",
         }) {
        EXPECT_TRUE(has_line(lines, line)) << line << "\nin:\n" << text;
    }
    expect_well_formed(lines);
    // Each family once, so that parsers do not see a family split in two.
    for (const auto &line : lines) {
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(text.find(line), text.rfind(line)) << line;
        }
    }
}

// A link of both families is one sample of the link gauges, under its name;
// a DHCPv6-only link has samples of its own. The alarm of either family
// raises the link's gauge.
TEST(Exposition, LinksOfBothFamilies) {
    snapshot shot = with_v6();
    shot.interfaces6[1].up = 0;
    shot.interfaces6[1].reopened = 2;
    shot.interfaces6[0].up = 1;
    interface6_snapshot shared;
    shared.name = "eth1"; // also the DHCPv4 interface of idx 4, whose gauge says 0
    shared.up = 1;
    shot.interfaces6.push_back(shared);
    exposition_extras extras;
    extras.alarmed6 = {"eth1", "v6b"};
    const std::string text = format_exposition(shot, extras);
    const auto lines = lines_of(text);
    for (const char *line : {
             "kestivane_interface_up{interface=\"eth1\"} 0",
             "kestivane_interface_up{interface=\"v6\\\"a\"} 1",
             "kestivane_interface_up{interface=\"v6b\"} 0",
             "kestivane_interface_reopened_total{interface=\"v6b\"} 2",
             "kestivane_answer_alarm{interface=\"eth1\"} 1",
             "kestivane_answer_alarm{interface=\"eth\\\"0\\\\\"} 0",
             "kestivane_answer_alarm{interface=\"v6\\\"a\"} 0",
             "kestivane_answer_alarm{interface=\"v6b\"} 1",
         }) {
        EXPECT_TRUE(has_line(lines, line)) << line << "\nin:\n" << text;
    }
    for (const char *series :
         {"kestivane_interface_up{interface=\"eth1\"}", "kestivane_answer_alarm{interface=\"eth1\"}",
          "kestivane_interface_reopened_total{interface=\"eth1\"}"}) {
        std::size_t n = 0;
        for (const auto &line : lines) n += line.rfind(series, 0) == 0 ? 1 : 0;
        EXPECT_EQ(n, 1u) << series;
    }
    expect_well_formed(lines);
}

TEST(Dump, Dhcp6Lines) {
    const auto lines = dump_lines(with_v6());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], "Counters of DHCPv6 interface v6\"a: v6_requests_received=11 "
                        "v6_requests_dropped{malformed}=5 v6_requests_dropped{hop_limit}=1 "
                        "v6_requests_forwarded{[2001:db8:ff::2]:547}=4 v6_requests_forwarded{[ff02::1:2%up0]:547}=3 "
                        "v6_forward_errors{[ff02::1:2%up0]:547}=2 v6_answers_delivered=6");
    EXPECT_EQ(lines[4], "Counters of DHCPv6 interface v6b: v6_answer_write_errors=8");
    EXPECT_EQ(lines[5], "Counters of the DHCPv6 server socket: v6_answers_received=10 v6_answers_dropped{unmatched}=2");
}

TEST(Exposition, Dhcp6MessagesByType) {
    snapshot shot = with_v6();
    shot.interfaces6[0].messages_received[static_cast<std::size_t>(message6::information_request)] = 2;
    shot.interfaces6[0].messages_sent[static_cast<std::size_t>(message6::relay_forward)] = 4;
    const auto text = lines_of(format_exposition(shot, {}));
    for (const char *line : {
             "kestivane_v6_messages_total{interface=\"v6\\\"a\",direction=\"received\",type=\"information_request\"} 2",
             "kestivane_v6_messages_total{interface=\"v6\\\"a\",direction=\"sent\",type=\"relay_forward\"} 4",
             "kestivane_v6_messages_total{interface=\"v6b\",direction=\"sent\",type=\"relay_reply\"} 0",
         })
        EXPECT_TRUE(has_line(text, line)) << line;
    const auto lines = dump_lines(shot);
    EXPECT_TRUE(has_line(lines, "Messages of DHCPv6 interface v6\"a: received       0         0       0       0     0      0     0       0       0           0                   2             0           0     0"));
}

TEST(Snapshot, Server6Labels) {
    struct Case {
        const char *address;
        uint16_t port;
        unsigned upper_index;
        std::string expected;
    };
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    const std::vector<Case> cases{
        {"2001:db8:ff::2", 5547, 0, "[2001:db8:ff::2]:5547"},
        {"2001:db8::1", 547, lo, "[2001:db8::1]:547"}, // a routed address needs no scope to tell it apart
        {"fe80::1", 547, lo, "[fe80::1%lo]:547"},
        {"ff02::1:2", 547, lo, "[ff02::1:2%lo]:547"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        struct sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(c.port);
        ASSERT_EQ(inet_pton(AF_INET6, c.address, &addr.sin6_addr), 1);
        EXPECT_EQ(server6_label(addr, c.upper_index), c.expected);
    }
}

// The kernel's 32-bit count per socket, summed into one total per
// interface across wraps and across the socket's replacement.
TEST(SocketDrops, TotalAcrossWrapsAndNewSockets) {
    struct Step {
        uint64_t socket;
        uint32_t drops;
        uint64_t total;
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases{
        {"one socket counts up", {{1, 0, 0}, {1, 5, 5}, {1, 5, 5}, {1, 12, 12}}},
        {"the count wraps", {{1, 0xfffffff0u, 0xfffffff0u}, {1, 0x10, 0x100000010u}}},
        {"a new socket starts again at 0", {{1, 1000, 1000}, {2, 0, 1000}, {2, 3, 1003}}},
        {"a new socket with drops before its first reading", {{1, 1000, 1000}, {2, 7, 1007}, {1, 2, 1009}}},
        {"a new socket with a higher count", {{1, 10, 10}, {2, 50, 60}, {2, 51, 61}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        socket_drop_total total;
        for (const auto &step : c.steps) EXPECT_EQ(total.add({step.socket, step.drops}), step.total);
    }
}

// A descriptor given another socket reads as another socket.
TEST(SocketDrops, ReadingNamesTheSocket) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_GE(other, 0);
    kestivane::platform::socket_drops first;
    kestivane::platform::socket_drops again;
    kestivane::platform::socket_drops replaced;
    ASSERT_TRUE(kestivane::platform::socket_receive_drops(fd, first));
    ASSERT_TRUE(kestivane::platform::socket_receive_drops(fd, again));
    EXPECT_EQ(first.socket, again.socket);
    EXPECT_EQ(first.drops, 0u);
    ASSERT_EQ(dup2(other, fd), fd);
    ASSERT_TRUE(kestivane::platform::socket_receive_drops(fd, replaced));
    EXPECT_NE(first.socket, replaced.socket);
    close(fd);
    close(other);
    EXPECT_FALSE(kestivane::platform::socket_receive_drops(fd, replaced));
}

TEST(StatsFile, ReplacesWholeOrNotAtAll) {
    std::string pattern = (fs::temp_directory_path() / "kestivane-metrics-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string path = (dir / "kestivane.prom").string();
    std::string error;

    ASSERT_TRUE(replace_file(path, "first\n", error)) << error;
    ASSERT_TRUE(replace_file(path, "second\n", error)) << error;
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "second\n");
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    // A missing directory: the step and the cause are named.
    const std::string missing = (dir / "nosuch" / "kestivane.prom").string();
    EXPECT_FALSE(replace_file(missing, "x", error));
    EXPECT_EQ(error, "can't create a temporary file in " + (dir / "nosuch").string() + "/: No such file or directory");

    // A directory in the way of the rename: the temporary file goes.
    fs::create_directory(dir / "busy.prom");
    fs::create_directory(dir / "busy.prom" / "inside");
    EXPECT_FALSE(replace_file((dir / "busy.prom").string(), "x", error));
    EXPECT_NE(error.find("can't rename"), std::string::npos) << error;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}

} // namespace
