// Describing a configuration: the tables a start builds, written as lines
// of "<kind> <fields>", and read back.
#include "config/config_check.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/settings.h"
#include "net/privileged_open.h"
#include "net/relay6.h"
#include "net/relay_suboptions.h"
#include "net/source_address.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane::config {

namespace {

// The [options] lines of the file being read, in file order.
std::vector<std::string> &recorded_settings() {
    static std::vector<std::string> lines;
    return lines;
}

// "absent" lines: the interfaces a check found missing, with their server.
std::vector<std::string> &recorded_absent() {
    static std::vector<std::string> lines;
    return lines;
}

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool read_dotted(std::string_view text, uint32_t &address) {
    const std::string copy(text);
    return inet_pton(AF_INET, copy.c_str(), &address) == 1;
}

template <typename Number> bool read_decimal(std::string_view text, Number &value) {
    const char *end = text.data() + text.size();
    auto [stop, failed] = std::from_chars(text.data(), end, value);
    return failed == std::errc() && stop == end && !text.empty();
}

// The values that take effect without a restart, and max_packet_size, which
// needs one but has a value of its own even when no line names it.
std::vector<configuration_description::option_entry> current_options() {
    const auto on_off = [](bool on) { return std::string(on ? "on" : "off"); };
    return {
        {"rps_limit", std::to_string(rps_limit)},
        {"max_hops", std::to_string(max_hops)},
        {"queue_limit", std::to_string(queue_limit)},
        {"interface_grace", std::to_string(interface_grace)},
        {"stats_file", stats_file},
        {"stats_interval", std::to_string(stats_interval)},
        {"answer_sources", answer_sources_accepted == answer_sources::any ? "any" : "servers"},
        {"v6_interface_id", on_off(relay6::settings.interface_id)},
        {"v6_link_layer_address", on_off(relay6::settings.link_layer_address)},
        {"max_packet_size", std::to_string(max_packet_size)},
        {"relay_port", std::to_string(relay_port)},
    };
}

// The records the child inherited stay reachable from here: a refusal ends
// it through exit, where the leak checker of a sanitizer build would count
// them, and its report would join the refusal's text.
struct inherited_records {
    struct interface *ifs[KESTIVANE_MAX_INTERFACES];
    struct server *servers[KESTIVANE_MAX_SERVERS];
    struct ip_binding_head bindings;
    struct plugin *plugins[KESTIVANE_MAX_PLUGINS];
    struct plugin_options_head *options_heads[KESTIVANE_MAX_PLUGINS];
};
[[gnu::used]] inherited_records inherited;

// What a fresh process has before it reads a file: the start-up values of
// every table and setting the file may change.
void empty_tables() {
    std::copy(std::begin(ifs), std::end(ifs), std::begin(inherited.ifs));
    std::copy(std::begin(servers), std::end(servers), std::begin(inherited.servers));
    inherited.bindings = ip_binding_map_head;
    std::copy(std::begin(plugins), std::end(plugins), std::begin(inherited.plugins));
    std::copy(std::begin(options_heads), std::end(options_heads), std::begin(inherited.options_heads));
    for (struct interface *&iface : ifs) iface = nullptr;
    if_num = 0;
    for (struct server *&server : servers) server = nullptr;
    srv_num = 0;
    STAILQ_INIT(&ip_binding_map_head);
    for (int i = 0; i < KESTIVANE_MAX_PLUGINS; ++i) {
        plugins[i] = nullptr;
        options_heads[i] = nullptr;
    }
    plugins_number = 0;
    rps_limit = 0;
    max_hops = 4;
    interface_grace = 30;
    queue_limit = default_queue_limit;
    max_packet_size = 1400;
    std::snprintf(plugin_base, sizeof plugin_base, "%s", KESTIVANE_DEFAULT_PLUGIN_DIR);
    stats_file.clear();
    stats_interval = default_stats_interval;
    answer_sources_accepted = answer_sources::servers;
    relay_port = 0;
    move_relay_socket_port(0);
    relay6::close_all();
    forget_source_addresses();
    forget_relay_suboptions();
    recorded_settings().clear();
    recorded_absent().clear();
    forget_named_interfaces();
}

void write_all(int fd, const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        done += static_cast<std::size_t>(n);
    }
}

// The first blank-separated word of text, taken off it.
std::string_view take_word(std::string_view &text) {
    const std::size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    return word;
}

bool parse_line(std::string_view line, configuration_description &d) {
    const std::string_view kind = take_word(line);
    if (kind == "server") {
        configuration_description::server_entry s;
        s.name = take_word(line);
        uint16_t port = 0;
        if (!read_dotted(take_word(line), s.ip) || !read_decimal(take_word(line), port) || !line.empty())
            return false;
        s.port = htons(port);
        d.servers.push_back(std::move(s));
    } else if (kind == "interface") {
        configuration_description::interface_entry i;
        i.name = take_word(line);
        if (i.name.empty() || !read_dotted(take_word(line), i.ip)) return false;
        while (!line.empty()) {
            std::size_t srv = 0;
            if (!read_decimal(take_word(line), srv) || srv >= d.servers.size()) return false;
            i.servers.push_back(srv);
        }
        d.interfaces.push_back(std::move(i));
    } else if (kind == "option") {
        const std::string_view key = take_word(line);
        d.options.push_back({std::string(key), std::string(line)});
    } else if (kind == "bind") {
        configuration_description::binding_entry b;
        b.ifname = take_word(line);
        if (b.ifname.empty() || !read_dotted(line, b.ip)) return false;
        d.bindings.push_back(std::move(b));
    } else if (kind == "suboption") {
        d.suboptions.emplace_back(line);
    } else if (kind == "source") {
        d.source_choices.emplace_back(line);
    } else if (kind == "absent") {
        configuration_description::absent_entry a;
        a.ifname = take_word(line);
        a.server.name = take_word(line);
        uint16_t port = 0;
        if (a.ifname.empty() || !read_dotted(take_word(line), a.server.ip) || !read_decimal(line, port)) return false;
        a.server.port = htons(port);
        d.absent.push_back(std::move(a));
    } else if (kind == "setting") {
        d.settings.emplace_back(line);
    } else if (kind == "lower6") {
        d.servers6.emplace_back(line);
    } else if (kind == "named") {
        if (line.empty()) return false;
        d.named_interfaces.emplace_back(line);
    } else if (kind == "plugin") {
        d.plugins.emplace_back(line);
    } else {
        return false;
    }
    return true;
}

} // namespace

void record_setting(std::string_view line) { recorded_settings().emplace_back(line); }

void record_absent_interface(std::string_view ifname, const struct server &srv) {
    recorded_absent().push_back("absent " + std::string(ifname) + ' ' + srv.name + ' ' +
                                dotted(srv.addr.sin_addr.s_addr) + ' ' + std::to_string(ntohs(srv.addr.sin_port)));
}

std::string describe_tables() {
    std::string text;
    for (int32_t i = 0; i < srv_num; ++i) {
        const struct server *s = servers[i];
        // A slot is filled from its first use on; an empty one cannot be
        // named by any list.
        const bool empty = s == nullptr;
        text += "server " + std::string(empty ? "-" : s->name) + ' ' + dotted(empty ? 0 : s->addr.sin_addr.s_addr) +
                ' ' + std::to_string(empty ? 0 : ntohs(s->addr.sin_port)) + '\n';
    }
    for (int32_t i = 0; i < if_num; ++i) {
        const struct interface *iface = ifs[i];
        if (iface == nullptr) continue;
        text += "interface " + std::string(iface->name) + ' ' + dotted(iface->ip);
        for (int32_t k = 0; k < iface->srv_count; ++k) text += ' ' + std::to_string(iface->srv_idx[k]);
        text += '\n';
    }
    const struct ip_binding *binding;
    STAILQ_FOREACH(binding, &ip_binding_map_head, next) {
        if (binding->ip != 0) text += "bind " + std::string(binding->ifname) + ' ' + dotted(binding->ip) + '\n';
    }
    for (const std::string &line : recorded_absent()) text += line + '\n';
    for (const auto &o : current_options()) text += "option " + o.key + ' ' + o.value + '\n';
    for (const std::string &line : recorded_settings()) text += "setting " + line + '\n';
    const std::string choices = describe_suboption_choices();
    for (std::size_t at = 0; at < choices.size();) {
        const std::size_t end = choices.find('\n', at);
        text += "suboption " + choices.substr(at, end - at) + '\n';
        at = end + 1;
    }
    for (const std::string &line : describe_source_choices()) text += "source " + line + '\n';
    // As the lines named them: one not there is awaited, and a reload
    // compares what the files say.
    for (const std::string &line : relay6::declared_lowers()) text += "lower6 " + line + '\n';
    for (uint8_t p = 0; p < plugins_number; ++p) {
        text += "plugin [" + std::string(plugins[p]->name != nullptr ? plugins[p]->name : "") + "]\n";
        if (options_heads[p] == nullptr) continue;
        const struct plugin_option *option;
        SLIST_FOREACH(option, options_heads[p], next) text += "plugin " + std::string(option->text) + '\n';
    }
    // Every name the reading met (absent interfaces and source interfaces
    // too), then the tables' own.
    std::vector<std::string> named(named_interfaces());
    for (int32_t i = 0; i < if_num; ++i)
        if (ifs[i] != nullptr) named.emplace_back(ifs[i]->name);
    for (const relay6::lower6 &lower : relay6::lowers()) named.emplace_back(lower.name);
    for (std::size_t n = 0; n < named.size(); ++n)
        if (std::find(named.begin(), named.begin() + static_cast<std::ptrdiff_t>(n), named[n]) ==
            named.begin() + static_cast<std::ptrdiff_t>(n))
            text += "named " + named[n] + '\n';
    return text;
}

void describe_configuration(const char *path, int out_fd) {
    empty_tables();
    check_only = true;
    // What a start and a check run after the file, in the same order.
    read_config(path);
    settle_source_addresses();
    settle_relay_suboptions();
    write_all(out_fd, describe_tables());
    _exit(0);
}

std::optional<configuration_description> parse_description(std::string_view text) {
    configuration_description d;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt; // cut short
        if (!parse_line(text.substr(0, end), d)) return std::nullopt;
        text.remove_prefix(end + 1);
    }
    return d;
}

} // namespace kestivane::config
