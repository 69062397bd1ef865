// Plug-ins: loading and its refusals, option lists, init, the hook walk,
// get_bool_value, and the shipped plug-ins driven through their descriptors.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "plugins/hooks.h"
#include "plugins/loader.h"

namespace {

const std::string test_plugin_dir = KESTIVANE_TEST_PLUGIN_DIR;
const std::string shipped_plugin_dir = KESTIVANE_SHIPPED_PLUGIN_DIR;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a piece of code did in a process of its own: loading refusals end the
// process, so they are watched from outside.
struct ChildOutcome {
    int status = -1; // exit status, -1 when it did not exit
    std::string out, err;
};

ChildOutcome run_child(const std::function<void()> &body) {
    char out_path[] = "/tmp/kestivane-plugins-out-XXXXXX";
    char err_path[] = "/tmp/kestivane-plugins-err-XXXXXX";
    int out_fd = mkstemp(out_path);
    int err_fd = mkstemp(err_path);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ChildOutcome outcome;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    close(out_fd);
    close(err_fd);
    unlink(out_path);
    unlink(err_path);
    return outcome;
}

// Captures what logd writes in debug mode (standard output) while body runs.
std::string capture_log(const std::function<void()> &body) {
    char path[] = "/tmp/kestivane-plugins-log-XXXXXX";
    int fd = mkstemp(path);
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    int32_t saved_debug = debug;
    debug = 1;
    body();
    debug = saved_debug;
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

// A function or variable of a plug-in the loader has loaded. The loader keeps
// no handle, so one is taken (and given back) without loading anything anew.
template <typename T>
T *plugin_symbol(const std::string &dir, const std::string &name, const char *symbol) {
    std::string path = dir + "kestivane_" + name + "_plugin.so";
    void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return nullptr;
    void *address = dlsym(handle, symbol);
    dlclose(handle);
    return reinterpret_cast<T *>(address);
}

std::string probe_record() {
    auto *record = plugin_symbol<const char *()>(test_plugin_dir, "probe", "probe_record");
    return record != nullptr ? record() : "(probe not loaded)";
}

std::vector<std::string> option_texts(const struct plugin_options_head *head) {
    std::vector<std::string> texts;
    const struct plugin_option *option;
    SLIST_FOREACH(option, head, next) texts.emplace_back(option->text);
    return texts;
}

const std::string name49 = "name_cut_after_forty_nine_characters_0123456789ab";

// A plug-in folder of links to the built plug-ins, with a path short enough
// that no file name in it reaches the 99-character cut wherever the build is.
class PluginFolder {
  public:
    PluginFolder() {
        char path[] = "/tmp/kestivane-pl-XXXXXX";
        if (mkdtemp(path) == nullptr) return;
        dir_ = std::string(path) + "/";
        for (const char *name : {"probe", "bare", "noinit", "nosymbol", name49.c_str()})
            link(test_plugin_dir, name);
        for (const char *name : {"agent_info", "log"}) link(shipped_plugin_dir, name);
    }
    ~PluginFolder() {
        for (const std::string &file : files_) unlink(file.c_str());
        rmdir(dir_.c_str());
    }
    const std::string &dir() const { return dir_; }

  private:
    void link(const std::string &from, const std::string &name) {
        std::string file = "kestivane_" + name + "_plugin.so";
        files_.push_back(dir_ + file);
        if (symlink((from + file).c_str(), files_.back().c_str()) != 0) std::perror(file.c_str());
    }
    std::string dir_;
    std::vector<std::string> files_;
};

// Every test starts with no plug-in loaded and such a folder as plugin_base,
// and gives back what the loader allocated.
class Plugins : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.dir().empty());
        ASSERT_LE(folder.dir().size() + 10 + name49.size() + 10, 99u);
        std::snprintf(saved_base, sizeof saved_base, "%s", plugin_base);
        std::snprintf(plugin_base, sizeof plugin_base, "%s", folder.dir().c_str());
        ASSERT_EQ(plugins_number, 0);
        if (auto *reset = plugin_symbol<void()>(test_plugin_dir, "probe", "probe_reset")) reset();
    }
    void TearDown() override {
        for (unsigned i = 0; i < KESTIVANE_MAX_PLUGINS; ++i) {
            if (options_heads[i] != nullptr) {
                while (!SLIST_EMPTY(options_heads[i])) {
                    struct plugin_option *option = SLIST_FIRST(options_heads[i]);
                    SLIST_REMOVE_HEAD(options_heads[i], next);
                    std::free(option->text);
                    std::free(option);
                }
            }
            std::free(options_heads[i]);
            std::free(plugins[i]);
            options_heads[i] = nullptr;
            plugins[i] = nullptr;
        }
        plugins_number = 0;
        std::snprintf(plugin_base, sizeof plugin_base, "%s", saved_base);
    }
    PluginFolder folder;
    char saved_base[sizeof plugin_base];
};

TEST_F(Plugins, LoadsInFileOrderCopiesTheDescriptorAndKeepsLinesInOrder) {
    load_plugin("probe", 1);
    append_plugin_option("first line");
    append_plugin_option(" second = line \r");
    load_plugin("bare", 4);
    load_plugin("noinit", 5);
    append_plugin_option("x");

    ASSERT_EQ(plugins_number, 3);
    EXPECT_STREQ(plugins[0]->name, "probe");
    EXPECT_STREQ(plugins[1]->name, "bare");
    EXPECT_STREQ(plugins[2]->name, "noinit");
    EXPECT_EQ(option_texts(options_heads[0]), (std::vector<std::string>{"first line", " second = line \r"}));
    // A section without lines still has its head cell, holding null.
    ASSERT_NE(options_heads[1], nullptr);
    EXPECT_EQ(SLIST_FIRST(options_heads[1]), nullptr);
    EXPECT_EQ(option_texts(options_heads[2]), (std::vector<std::string>{"x"}));

    // The relay's record is a copy: the exported one is not read again.
    auto *exported = plugin_symbol<struct plugin>(test_plugin_dir, "probe", "probe_plugin");
    ASSERT_NE(exported, nullptr);
    EXPECT_NE(plugins[0], exported);
    EXPECT_EQ(std::memcmp(plugins[0], exported, sizeof(struct plugin)), 0);

    // init in loading order, each with its own lines; a null init is passed over.
    init_plugins();
    EXPECT_EQ(probe_record(), "init(2 lines: first line| second = line \r);");
    auto *bare_inits = plugin_symbol<int()>(test_plugin_dir, "bare", "bare_inits");
    ASSERT_NE(bare_inits, nullptr);
    EXPECT_EQ(bare_inits(), 1);
}

TEST_F(Plugins, SamePluginTwiceGivesTwoEntriesTwoListsTwoInitsAndTwoCalls) {
    load_plugin("probe", 1);
    append_plugin_option("a");
    load_plugin("probe", 3);
    ASSERT_EQ(plugins_number, 2);
    EXPECT_NE(plugins[0], plugins[1]);
    EXPECT_NE(options_heads[0], options_heads[1]);
    init_plugins();
    EXPECT_EQ(probe_record(), "init(1 lines: a);init(empty);");

    struct dhcp_packet packet {};
    struct frame_headers headers {};
    struct interface iface {};
    EXPECT_TRUE(kestivane::run_hooks<&plugin::client_request>(&iface, &packet, &headers));
    EXPECT_EQ(probe_record(), "init(1 lines: a);init(empty);client_request;client_request;");
}

TEST_F(Plugins, LoadedLineCountsAndNamesThePlugin) {
    std::string log = capture_log([] {
        load_plugin("probe", 1);
        load_plugin("bare", 2);
    });
    EXPECT_EQ(log, "Plugin #1 (probe) loaded\nPlugin #2 (bare) loaded\n");
}

TEST_F(Plugins, NameIsCutTo49CharactersInFileAndSymbolName) {
    ASSERT_EQ(name49.size(), 49u);
    std::string log = capture_log([&] { load_plugin(name49 + "_and_the_rest", 7); });
    ASSERT_EQ(plugins_number, 1);
    EXPECT_STREQ(plugins[0]->name, "long");
    EXPECT_EQ(log, "Plugin #1 (" + name49 + ") loaded\n");
}

TEST_F(Plugins, PathIsCutTo99CharactersAndTheCutPathIsWhatOpens) {
    // plugin_base of 79 characters: base + "kestivane_probe_plugin.so" is 104
    // characters, so the file opened is base + "kestivane_probe_plug".
    char top[] = "/tmp/kestivane-cut-XXXXXX";
    ASSERT_NE(mkdtemp(top), nullptr);
    std::string dir = std::string(top) + "/";
    dir += std::string(78 - dir.size(), 'd');
    dir += '/';
    ASSERT_EQ(dir.size(), 79u);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::snprintf(plugin_base, sizeof plugin_base, "%s", dir.c_str());
    std::string opened = dir + "kestivane_probe_plug";
    ASSERT_EQ(symlink((test_plugin_dir + "kestivane_probe_plugin.so").c_str(), opened.c_str()), 0);
    load_plugin("probe", 1);
    ASSERT_EQ(plugins_number, 1);
    EXPECT_STREQ(plugins[0]->name, "probe");

    unlink(opened.c_str());
    rmdir(dir.c_str());
    rmdir(top);
}

TEST_F(Plugins, LoadingRefusalsEndTheProcessWithTheirMessages) {
    // No such file: the loader's reason on standard output, then the path.
    ChildOutcome missing = run_child([] { load_plugin("missing", 3); });
    std::string path = folder.dir() + "kestivane_missing_plugin.so";
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out.rfind("dlerror(): " + path + ": cannot open shared object file", 0), 0u) << missing.out;
    EXPECT_EQ(missing.out.back(), '\n');
    EXPECT_NE(missing.err.find(": Can't open plugin: " + path + "\n"), std::string::npos) << missing.err;

    ChildOutcome no_symbol = run_child([] { load_plugin("nosymbol", 3); });
    EXPECT_EQ(no_symbol.status, 1);
    EXPECT_NE(no_symbol.err.find(": Can't load symbol nosymbol_plugin\n"), std::string::npos) << no_symbol.err;

    ChildOutcome too_many = run_child([] {
        for (int i = 0; i < KESTIVANE_MAX_PLUGINS; ++i) load_plugin("bare", i + 1);
        std::printf("loaded %d\n", plugins_number);
        load_plugin("bare", 42);
    });
    EXPECT_EQ(too_many.status, 1);
    EXPECT_EQ(too_many.out, "loaded 20\n");
    EXPECT_NE(too_many.err.find(": Too many plugins. Line: 42\n"), std::string::npos) << too_many.err;

    // A plugin_path of 70 characters (71 with its '/') and a 20-character
    // name make 111 characters, cut at 99.
    ChildOutcome long_path = run_child([] {
        std::snprintf(plugin_base, sizeof plugin_base, "/%s/", std::string(69, 'p').c_str());
        load_plugin("twenty_characters_20", 1);
    });
    std::string full = "/" + std::string(69, 'p') + "/kestivane_twenty_characters_20_plugin.so";
    ASSERT_EQ(full.size(), 111u);
    EXPECT_EQ(long_path.status, 1);
    EXPECT_NE(long_path.err.find(": Can't open plugin: " + full.substr(0, 99) + "\n"), std::string::npos)
        << long_path.err;
}

TEST_F(Plugins, FailedInitEndsTheProcessAndLaterPluginsAreNotInitialised) {
    ChildOutcome failed = run_child([] {
        load_plugin("bare", 1);
        load_plugin("probe", 2);
        append_plugin_option("fail_init=yes");
        load_plugin("bare", 4);
        // What ran by the time the process ended.
        static int (*bare_inits)() = plugin_symbol<int()>(test_plugin_dir, "bare", "bare_inits");
        static int earlier_inits = bare_inits();
        std::atexit([] {
            std::printf("bare inits: %d, probe: %s\n", bare_inits() - earlier_inits, probe_record().c_str());
        });
        init_plugins();
    });
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "bare inits: 1, probe: init(1 lines: fail_init=yes);\n");
    EXPECT_NE(failed.err.find(": Can't initialize a plugin probe\n\n"), std::string::npos) << failed.err;
}

TEST(GetBoolValue, OnlyYesOnAndOneAreTrue) {
    for (const char *yes : {"yes", "YES", "On", "on", "1", "yEs"}) EXPECT_EQ(get_bool_value(yes), 1) << yes;
    for (const char *no : {"no", "off", "0", "true", "11", "", " yes", "yes ", "yes\r", "y", "01"})
        EXPECT_EQ(get_bool_value(no), 0) << '"' << no << '"';
}

// The hook walk, on plug-in records made here: each hook notes its call.
std::string walk_calls;
int32_t reject_odd_xid(struct interface *, struct dhcp_packet *packet, struct frame_headers *) {
    walk_calls += "A";
    return packet->xid % 2 == 0;
}
int32_t accept_request(struct interface *, struct dhcp_packet *, struct frame_headers *) {
    walk_calls += "B";
    return 1;
}
int32_t drop_later_plugins(struct interface *, struct dhcp_packet *, struct frame_headers *) {
    walk_calls += "C";
    plugins_number = 1;
    return 1;
}
int32_t claim_many_plugins(struct interface *, struct dhcp_packet *, struct frame_headers *) {
    walk_calls += "D";
    plugins_number = 200;
    return 1;
}

class HookWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plugins_number, 0);
        walk_calls.clear();
    }
    void TearDown() override {
        for (auto &slot : plugins) slot = nullptr;
        plugins_number = 0;
    }
    void use(std::vector<struct plugin *> list) {
        for (std::size_t i = 0; i < list.size(); ++i) plugins[i] = list[i];
        plugins_number = static_cast<uint8_t>(list.size());
    }
    bool walk(uint32_t xid) {
        struct dhcp_packet packet {};
        packet.xid = xid;
        struct interface iface {};
        struct frame_headers headers {};
        return kestivane::run_hooks<&plugin::client_request>(&iface, &packet, &headers);
    }
    static struct plugin named(const char *name) {
        struct plugin p {};
        p.name = const_cast<char *>(name);
        return p;
    }
    struct plugin a = named("A"), b = named("B"), none = named("none"), c{}, d{};
};

TEST_F(HookWalk, RejectStopsTheWalkAndTheNextPacketReachesEveryHook) {
    a.client_request = reject_odd_xid;
    b.client_request = accept_request;
    use({&none, &a, &b});

    std::string log = capture_log([&] { EXPECT_FALSE(walk(1)); });
    EXPECT_EQ(walk_calls, "A");
    EXPECT_EQ(log, "The packet rejected by A plugin\n");

    walk_calls.clear();
    EXPECT_TRUE(walk(2));
    EXPECT_EQ(walk_calls, "AB");
}

TEST_F(HookWalk, CountIsReadAgainAfterEachAcceptAndBoundedByTheTable) {
    c.client_request = drop_later_plugins;
    b.client_request = accept_request;
    use({&c, &b});
    EXPECT_TRUE(walk(2));
    EXPECT_EQ(walk_calls, "C");

    // A count beyond the table ends the walk at its last slot, past the
    // empty ones.
    walk_calls.clear();
    d.client_request = claim_many_plugins;
    use({&d, &b});
    plugins[KESTIVANE_MAX_PLUGINS - 1] = &b;
    EXPECT_TRUE(walk(2));
    EXPECT_EQ(walk_calls, "DBB");
}

TEST_F(HookWalk, UnnamedRejectingPluginIsLoggedAsUnnamed) {
    c.client_request = reject_odd_xid;
    use({&c});
    EXPECT_EQ(capture_log([&] { walk(1); }), "The packet rejected by (unnamed) plugin\n");
}

int32_t send_hook(struct sockaddr_in *, struct interface *, struct queue_item *) { return 1; }

// Whether a plug-in has a hook decides where a request is forwarded: seen
// in any loaded slot, past empty ones, and not beyond the count.
TEST_F(HookWalk, AnyHookSeesTheLoadedPluginsOnly) {
    b.send_to_server = send_hook;
    struct Case {
        std::vector<struct plugin *> loaded;
        uint8_t count;
        bool any;
    };
    for (const Case &k : {Case{{}, 0, false}, Case{{&a, &none}, 2, false}, Case{{&a, nullptr, &b}, 3, true},
                          Case{{&a, &b}, 1, false}, Case{{&none, &b}, 200, true}}) {
        use(k.loaded);
        plugins_number = k.count;
        EXPECT_EQ(kestivane::any_hook<&plugin::send_to_server>(), k.any) << k.loaded.size() << " of " << int{k.count};
        EXPECT_FALSE(kestivane::any_hook<&plugin::server_answer>());
        TearDown();
    }
}

TEST(MeasureAfterHooks, MessageWithoutEndIsDroppedWithThePointsLine) {
    struct dhcp_packet packet {};
    std::string log = capture_log([&] { EXPECT_EQ(kestivane::measure_after_hooks(&packet, "server_answer"), 0); });
    EXPECT_EQ(log, "server_answer: plugins generated wrong packet. Dropped.\n");
    packet.options[0] = DHCP_OPTION_END;
    log = capture_log([&] { EXPECT_EQ(kestivane::measure_after_hooks(&packet, "server_answer"), 241); });
    EXPECT_EQ(log, "");
}

// The shipped plug-ins, loaded and initialised as the relay does it and
// driven through the descriptor the relay copied.
class Shipped : public Plugins {
  protected:
    void SetUp() override {
        Plugins::SetUp();
        std::snprintf(eth7.name, sizeof eth7.name, "eth7");
        std::memcpy(eth7.mac, mac7, 6);
        eth7.ip = htonl(0xC6336401); // 198.51.100.1
        std::snprintf(eth8.name, sizeof eth8.name, "eth8");
        std::memcpy(eth8.mac, mac8, 6);
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(0xCB007102); // 203.0.113.2
    }
    // Loads the plug-in with its section's lines and runs init: its result.
    int32_t load(const char *name, std::vector<std::string> lines) {
        load_plugin(name, 1);
        for (const std::string &line : lines) append_plugin_option(line);
        struct plugin *p = plugins[plugins_number - 1];
        return p->init(options_heads[plugins_number - 1]);
    }
    // A DHCP message whose options are the bytes given, zeros after them.
    static struct dhcp_packet message(uint8_t op, std::vector<uint8_t> options) {
        struct dhcp_packet packet {};
        packet.op = op;
        packet.htype = 1;
        packet.hlen = 6;
        const uint8_t xid[4] = {0x01, 0x02, 0x03, 0x04};
        std::memcpy(&packet.xid, xid, 4);
        std::memcpy(packet.chaddr, client, 6);
        const uint8_t cookie[4] = {99, 130, 83, 99};
        std::memcpy(packet.cookie, cookie, 4);
        std::memcpy(packet.options, options.data(), options.size());
        return packet;
    }
    static std::vector<uint8_t> options_of(const struct dhcp_packet &packet) {
        int32_t len = get_dhcp_len(&packet);
        return len == 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(packet.options, packet.options + len - 240);
    }
    int32_t to_server(struct interface &iface, struct queue_item &item) {
        return plugins[0]->send_to_server(&server, &iface, &item);
    }
    static constexpr uint8_t mac7[6] = {0x02, 0, 0, 0, 0, 0x07};
    static constexpr uint8_t mac8[6] = {0x02, 0, 0, 0, 0, 0x08};
    static constexpr uint8_t client[6] = {0x02, 0xc0, 0xff, 0xee, 0x00, 0x01};
    struct interface eth7 {}, eth8 {};
    struct sockaddr_in server {};
};

std::vector<uint8_t> bytes(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
std::vector<uint8_t> text(const std::string &t) { return std::vector<uint8_t>(t.begin(), t.end()); }

const std::vector<uint8_t> discover = {53, 1, 1, 61, 7, 1, 0x02, 0xc0, 0xff, 0xee, 0x00, 0x01};

TEST_F(Shipped, AgentInfoAddsCircuitAndRemoteIdOnceForAllServers) {
    ASSERT_EQ(load("agent_info", {}), 1);
    struct queue_item item {};
    item.buf = message(1, bytes({discover, {255}}));
    EXPECT_EQ(to_server(eth7, item), 1);
    const auto expected =
        bytes({discover, {82, 14, 1, 4}, text("eth7"), {2, 6}, {mac7, mac7 + 6}, {255}});
    EXPECT_EQ(options_of(item.buf), expected);
    // The next server of the same request finds the option already there.
    EXPECT_EQ(to_server(eth7, item), 1);
    EXPECT_EQ(options_of(item.buf), expected);
}

TEST_F(Shipped, AgentInfoMostSpecificLineWinsAndOffLeavesASubOptionOut) {
    ASSERT_EQ(load("agent_info", {"circuit_id.eth7 = own", "circuit_id = ring-A", " remote_id.eth7=OFF\r",
                                  "Circuit_ID.ETH8 = not eth8", "\t", "remote_id = off", "remote_id.eth8 = r8"}),
              1);
    struct queue_item item7 {}, item8 {};
    item7.buf = message(1, bytes({discover, {255}}));
    item8.buf = item7.buf;
    to_server(eth7, item7);
    to_server(eth8, item8);
    EXPECT_EQ(options_of(item7.buf), bytes({discover, {82, 5, 1, 3}, text("own"), {255}}));
    EXPECT_EQ(options_of(item8.buf), bytes({discover, {82, 12, 1, 6}, text("ring-A"), {2, 2}, text("r8"), {255}}));

    // Both sub-options off: nothing to add.
    TearDown();
    SetUp();
    ASSERT_EQ(load("agent_info", {"circuit_id = off", "remote_id = off"}), 1);
    struct queue_item bare {};
    bare.buf = message(1, bytes({discover, {255}}));
    EXPECT_EQ(to_server(eth7, bare), 1);
    EXPECT_EQ(options_of(bare.buf), bytes({discover, {255}}));
}

TEST_F(Shipped, AgentInfoPolicyForRequestsThatCarryOption82) {
    const auto theirs = bytes({discover, {82, 3, 1, 1, 'x'}, {255}});
    const auto ours = bytes({discover, {82, 14, 1, 4}, text("eth7"), {2, 6}, {mac7, mac7 + 6}, {255}});
    struct Case {
        const char *line;
        int32_t result;
        std::vector<uint8_t> after;
    };
    const auto both = bytes({discover, {82, 17, 1, 1, 'x', 1, 4}, text("eth7"), {2, 6}, {mac7, mac7 + 6}, {255}});
    for (const Case &c : {Case{"policy = keep", 1, theirs}, Case{"policy=Replace", 1, ours},
                          Case{"policy = drop", 0, theirs}, Case{"policy = APPEND", 1, both}}) {
        ASSERT_EQ(load("agent_info", {c.line}), 1) << c.line;
        struct queue_item item {};
        item.buf = message(1, theirs);
        EXPECT_EQ(to_server(eth7, item), c.result) << c.line;
        EXPECT_EQ(options_of(item.buf), c.after) << c.line;
        // This relay's own option, met again at the next server, is never
        // taken for a client's.
        struct queue_item again {};
        again.buf = message(1, ours);
        EXPECT_EQ(to_server(eth7, again), 1) << c.line;
        TearDown();
        SetUp();
    }
    // No line: keep.
    ASSERT_EQ(load("agent_info", {}), 1);
    struct queue_item item {};
    item.buf = message(1, theirs);
    EXPECT_EQ(to_server(eth7, item), 1);
    EXPECT_EQ(options_of(item.buf), theirs);
}

TEST_F(Shipped, AgentInfoAppendsWhileTheOptionHoldsItAndAnswersKeepOnlyTheOtherAgentsPart) {
    const auto ours = bytes({{1, 4}, text("eth7"), {2, 6}, {mac7, mac7 + 6}}); // 14 bytes
    const auto offer = bytes({{53, 1, 2, 54, 4, 203, 0, 113, 2}});
    struct Case {
        const char *name;
        std::vector<uint8_t> theirs; // the incoming option 82's data
        int32_t result;
    };
    const std::vector<uint8_t> l2 = bytes({{1, 3}, text("p17")});
    // One sub-option (9, vendor-specific) of data_len bytes.
    auto vendor = [](uint8_t data_len) { return bytes({{9, data_len}, std::vector<uint8_t>(data_len, 'a')}); };
    for (const Case &c : {Case{"small", l2, 1}, Case{"fills 255", vendor(239), 1},
                          Case{"one byte over", vendor(240), 0}, Case{"full already", vendor(253), 0}}) {
        ASSERT_EQ(load("agent_info", {"policy = append"}), 1) << c.name;
        const auto incoming = bytes({discover, {82, static_cast<uint8_t>(c.theirs.size())}, c.theirs, {255}});
        struct queue_item item {};
        item.buf = message(1, incoming);
        std::string log = capture_log([&] { EXPECT_EQ(to_server(eth7, item), c.result) << c.name; });
        if (c.result == 0) {
            EXPECT_EQ(options_of(item.buf), incoming) << c.name;
            EXPECT_NE(log.find("no room for 14 bytes"), std::string::npos) << c.name << ": " << log;
        } else {
            const auto joined = bytes({discover, {82, static_cast<uint8_t>(c.theirs.size() + 14)}, c.theirs, ours, {255}});
            EXPECT_EQ(options_of(item.buf), joined) << c.name;
            // The next server: recognised, not appended twice.
            EXPECT_EQ(to_server(eth7, item), 1) << c.name;
            EXPECT_EQ(options_of(item.buf), joined) << c.name;
            // The answer echoes it: the other agent's part stays, ours goes.
            struct dhcp_packet answer = message(2, bytes({offer, {82, static_cast<uint8_t>(c.theirs.size() + 14)}, c.theirs, ours, {255}}));
            EXPECT_EQ(plugins[0]->send_to_client(&server, &eth7, &answer, nullptr), 1) << c.name;
            EXPECT_EQ(options_of(answer), bytes({offer, {82, static_cast<uint8_t>(c.theirs.size())}, c.theirs, {255}})) << c.name;
        }
        TearDown();
        SetUp();
    }
    // Answers under append: ours go wherever the server put them; an
    // option whose sub-options of ours were changed (or are not there) goes
    // whole, as does one with nothing left.
    ASSERT_EQ(load("agent_info", {"policy = append"}), 1);
    const auto sub6 = bytes({{6, 3}, text("p17")});
    const auto circuit = bytes({{1, 4}, text("eth7")});
    const auto remote = bytes({{2, 6}, {mac7, mac7 + 6}});
    struct Echo {
        const char *name;
        std::vector<uint8_t> echoed;
        std::vector<uint8_t> left; // option 82's data at the client, empty: none
    };
    for (const Echo &e : {Echo{"ours alone", ours, {}}, Echo{"theirs after ours", bytes({ours, sub6}), sub6},
                          Echo{"ours between theirs", bytes({sub6, circuit, l2, remote}), bytes({sub6, l2})},
                          Echo{"circuit ids joined", bytes({{1, 7}, text("p17eth7"), remote}), {}},
                          Echo{"remote id lost", bytes({l2, circuit}), {}},
                          Echo{"a sub-option past the end", bytes({l2, ours, {9, 1}}), {}}}) {
        struct dhcp_packet answer = message(2, bytes({offer, {82, static_cast<uint8_t>(e.echoed.size())}, e.echoed, {255}}));
        EXPECT_EQ(plugins[0]->send_to_client(&server, &eth7, &answer, nullptr), 1) << e.name;
        const auto want = e.left.empty() ? bytes({offer, {255}})
                                         : bytes({offer, {82, static_cast<uint8_t>(e.left.size())}, e.left, {255}});
        EXPECT_EQ(options_of(answer), want) << e.name;
    }
}

TEST_F(Shipped, AgentInfoRefusesLinesItCannotRead) {
    const std::string t125(125, 't');
    EXPECT_EQ(load("agent_info", {"circuit_id = " + t125, "remote_id = " + t125}), 1);
    // 2 + 125 + 2 + 125 bytes: the largest option still fits.
    struct queue_item item {};
    item.buf = message(1, bytes({discover, {255}}));
    to_server(eth7, item);
    EXPECT_EQ(get_dhcp_len(&item.buf), 240 + 12 + 2 + 254 + 1);
    for (const std::string &bad : {std::string("circuit_id"), std::string("unknown = 1"),
                                   std::string("policy = maybe"), "circuit_id = " + t125 + "t",
                                   std::string("remote_id ="), std::string("remote_id. = x"),
                                   std::string("circuit_id.a_name_of_16_chars = x")}) {
        TearDown();
        SetUp();
        std::string log = capture_log([&] { EXPECT_EQ(load("agent_info", {"policy = drop", bad}), 0) << bad; });
        EXPECT_NE(log.find("\"" + bad + "\""), std::string::npos) << log;
    }
}

TEST_F(Shipped, AgentInfoTakesOption82OutOfAnswers) {
    ASSERT_EQ(load("agent_info", {}), 1);
    const auto offer = bytes({{53, 1, 2, 54, 4, 203, 0, 113, 2}});
    struct dhcp_packet answer = message(2, bytes({offer, {82, 3, 1, 1, 'x', 51, 4, 0, 0, 14, 16, 255}}));
    EXPECT_EQ(plugins[0]->send_to_client(&server, &eth7, &answer, nullptr), 1);
    EXPECT_EQ(options_of(answer), bytes({offer, {51, 4, 0, 0, 14, 16, 255}}));
    EXPECT_EQ(find_option(&answer, DHCP_OPTION_AGENT_INFO), nullptr);
    EXPECT_EQ(plugins[0]->send_to_client(&server, &eth7, &answer, nullptr), 1);
    EXPECT_EQ(options_of(answer), bytes({offer, {51, 4, 0, 0, 14, 16, 255}}));
}

TEST_F(Shipped, LogWritesOneLinePerPacketAtThePointsSwitchedOn) {
    ASSERT_EQ(load("log", {"client_request = yes", "send_to_server=ON", "server_answer = no",
                           "SEND_TO_CLIENT = 1\r"}),
              1);
    struct queue_item item {};
    item.buf = message(1, bytes({discover, {255}}));
    struct dhcp_packet answer = message(2, {53, 1, 2, 255});
    answer.yiaddr = htonl(0xC633640A); // 198.51.100.10
    answer.giaddr = eth7.ip;
    struct frame_headers headers {};

    std::string log = capture_log([&] {
        EXPECT_EQ(plugins[0]->client_request(&eth7, &item.buf, &headers), 1);
        EXPECT_EQ(plugins[0]->send_to_server(&server, &eth7, &item), 1);
        EXPECT_EQ(plugins[0]->server_answer(&server, &answer), 1);
        EXPECT_EQ(plugins[0]->send_to_client(&server, &eth7, &answer, &headers), 1);
    });
    EXPECT_EQ(log,
              "log: client_request on eth7: DHCPDISCOVER from 02:c0:ff:ee:00:01 xid 0x01020304\n"
              "log: send_to_server on eth7: DHCPDISCOVER from 02:c0:ff:ee:00:01 xid 0x01020304 to 203.0.113.2\n"
              "log: send_to_client on eth7: DHCPOFFER for 02:c0:ff:ee:00:01 xid 0x01020304 yiaddr "
              "198.51.100.10 from 203.0.113.2\n");
}

TEST_F(Shipped, LogNamesTheAnswersInterfaceByGiaddrAndMessagesWithoutType) {
    ASSERT_EQ(load("log", {"server_answer = yes"}), 1);
    struct interface *table[1] = {&eth7};
    ifs[0] = table[0];
    if_num = 1;
    struct dhcp_packet answer = message(2, {255});
    answer.giaddr = eth7.ip;
    std::string found = capture_log([&] { plugins[0]->server_answer(&server, &answer); });
    answer.giaddr = 0;
    answer.options[0] = 53;
    answer.options[1] = 1;
    answer.options[2] = 42;
    answer.options[3] = 255;
    std::string lost = capture_log([&] { plugins[0]->server_answer(&server, &answer); });
    ifs[0] = nullptr;
    if_num = 0;
    EXPECT_EQ(found, "log: server_answer on eth7: BOOTP for 02:c0:ff:ee:00:01 xid 0x01020304 yiaddr 0.0.0.0 "
                     "from 203.0.113.2\n");
    EXPECT_EQ(lost, "log: server_answer on ?: DHCP type 42 for 02:c0:ff:ee:00:01 xid 0x01020304 yiaddr "
                    "0.0.0.0 from 203.0.113.2\n");
    TearDown();
    SetUp();
    EXPECT_EQ(capture_log([&] { EXPECT_EQ(load("log", {"client_request yes"}), 0); }),
              "Plugin #1 (log) loaded\nlog: no '=' in line: \"client_request yes\"\n");
}

} // namespace
