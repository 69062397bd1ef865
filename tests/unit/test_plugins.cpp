// Plug-ins: loading and its refusals, option lists, init, the hook walk,
// get_bool_value, and the shipped plug-ins driven through their descriptors.
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
struct Outcome {
    int status = -1; // exit status, -1 when it did not exit
    std::string out, err;
};

Outcome run_child(const std::function<void()> &body) {
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
    Outcome outcome;
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
    Outcome missing = run_child([] { load_plugin("missing", 3); });
    std::string path = folder.dir() + "kestivane_missing_plugin.so";
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out.rfind("dlerror(): " + path + ": cannot open shared object file", 0), 0u) << missing.out;
    EXPECT_EQ(missing.out.back(), '\n');
    EXPECT_NE(missing.err.find(": Can't open plugin: " + path + "\n"), std::string::npos) << missing.err;

    Outcome no_symbol = run_child([] { load_plugin("nosymbol", 3); });
    EXPECT_EQ(no_symbol.status, 1);
    EXPECT_NE(no_symbol.err.find(": Can't load symbol nosymbol_plugin\n"), std::string::npos) << no_symbol.err;

    Outcome too_many = run_child([] {
        for (int i = 0; i < KESTIVANE_MAX_PLUGINS; ++i) load_plugin("bare", i + 1);
        std::printf("loaded %d\n", plugins_number);
        load_plugin("bare", 42);
    });
    EXPECT_EQ(too_many.status, 1);
    EXPECT_EQ(too_many.out, "loaded 20\n");
    EXPECT_NE(too_many.err.find(": Too many plugins. Line: 42\n"), std::string::npos) << too_many.err;

    // A plugin_path of 70 characters (71 with its '/') and a 20-character
    // name make 111 characters, cut at 99.
    Outcome long_path = run_child([] {
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
    Outcome failed = run_child([] {
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

TEST(MeasureAfterHooks, MessageWithoutEndIsDroppedWithThePointsLine) {
    struct dhcp_packet packet {};
    std::string log = capture_log([&] { EXPECT_EQ(kestivane::measure_after_hooks(&packet, "server_answer"), 0); });
    EXPECT_EQ(log, "server_answer: plugins generated wrong packet. Dropped.\n");
    packet.options[0] = DHCP_OPTION_END;
    log = capture_log([&] { EXPECT_EQ(kestivane::measure_after_hooks(&packet, "server_answer"), 241); });
    EXPECT_EQ(log, "");
}

} // namespace
