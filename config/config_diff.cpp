#include "config/config_diff.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace kestivane::config {

namespace {

using description = configuration_description;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The key of an [options] line as the reader matches it (without regard to
// case), less the ".<interface>" of the per-interface keys.
std::string base_key(std::string_view line) {
    std::string key(line.substr(0, line.find('=')));
    std::transform(key.begin(), key.end(), key.begin(), lower);
    for (std::string_view scoped : {"link_selection.", "server_id_override.", "source_interface."})
        if (key.starts_with(scoped)) key.resize(scoped.size() - 1);
    return key;
}

// The lines of one key, in file order.
std::vector<std::string> lines_of(const description &d, const std::string &key) {
    std::vector<std::string> lines;
    for (const std::string &line : d.settings)
        if (base_key(line) == key) lines.push_back(line);
    return lines;
}

bool has_option(const description &d, const std::string &key) {
    return std::any_of(d.options.begin(), d.options.end(), [&](const auto &o) { return o.key == key; });
}

std::vector<description::server_entry> servers_of(const description &d, const description::interface_entry &i) {
    std::vector<description::server_entry> list;
    for (std::size_t srv : i.servers) list.push_back(d.servers[srv]);
    return list;
}

std::vector<description::server_entry> used_servers(const description &d) {
    std::vector<description::server_entry> used;
    for (const auto &i : d.interfaces)
        for (const auto &s : servers_of(d, i))
            if (std::find(used.begin(), used.end(), s) == used.end()) used.push_back(s);
    return used;
}

const description::interface_entry *find_interface(const description &d, const std::string &name) {
    for (const auto &i : d.interfaces)
        if (i.name == name) return &i;
    return nullptr;
}

std::size_t missing_from(const std::vector<description::server_entry> &these,
                         const std::vector<description::server_entry> &those) {
    return static_cast<std::size_t>(std::count_if(these.begin(), these.end(), [&](const auto &s) {
        return std::find(those.begin(), those.end(), s) == those.end();
    }));
}

bool has(const std::vector<std::string> &words, const std::string &word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

std::string joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &w : words) text += (text.empty() ? "" : ", ") + w;
    return text;
}

const lower6_entry *find_lower6(const std::vector<lower6_entry> &lowers, const std::string &name) {
    for (const auto &l : lowers)
        if (l.name == name) return &l;
    return nullptr;
}

std::vector<std::string> used_servers6(const std::vector<lower6_entry> &lowers) {
    std::vector<std::string> used;
    for (const auto &l : lowers)
        for (const std::string &s : l.servers)
            if (!has(used, s)) used.push_back(s);
    return used;
}

void compare_servers6(const description &before, const description &after, configuration_change &change) {
    const auto old_lowers = lower6_entries(before);
    const auto new_lowers = lower6_entries(after);
    for (const auto &l : new_lowers) {
        const lower6_entry *old = find_lower6(old_lowers, l.name);
        if (old == nullptr) change.lowers_added.push_back(l.name);
        else if (old->servers != l.servers) change.lowers_relisted.push_back(l.name);
    }
    for (const auto &l : old_lowers)
        if (find_lower6(new_lowers, l.name) == nullptr) change.lowers_removed.push_back(l.name);
    const auto used_before = used_servers6(old_lowers);
    const auto used_after = used_servers6(new_lowers);
    for (const std::string &s : used_after) change.servers6_added += has(used_before, s) ? 0 : 1;
    for (const std::string &s : used_before) change.servers6_removed += has(used_after, s) ? 0 : 1;
}

} // namespace

std::vector<lower6_entry> lower6_entries(const description &d) {
    std::vector<lower6_entry> entries;
    for (std::string_view line : d.servers6) {
        lower6_entry entry;
        for (std::size_t at = 0; at <= line.size();) {
            std::size_t blank = line.find(' ', at);
            if (blank == std::string_view::npos) blank = line.size();
            const std::string word(line.substr(at, blank - at));
            if (!word.empty() && entry.name.empty()) entry.name = word;
            else if (!word.empty()) entry.servers.push_back(word);
            at = blank + 1;
        }
        if (!entry.name.empty()) entries.push_back(std::move(entry));
    }
    return entries;
}

configuration_change compare_configurations(const description &before, const description &after) {
    configuration_change change;
    for (const auto &i : after.interfaces) {
        const auto *old = find_interface(before, i.name);
        if (old == nullptr) {
            change.interfaces_added.push_back(i.name);
            continue;
        }
        if (servers_of(before, *old) != servers_of(after, i)) change.interfaces_relisted.push_back(i.name);
        if (old->ip != i.ip) change.interfaces_moved.push_back(i.name);
    }
    for (const auto &i : before.interfaces)
        if (find_interface(after, i.name) == nullptr) change.interfaces_removed.push_back(i.name);
    const auto used_before = used_servers(before);
    const auto used_after = used_servers(after);
    change.servers_added = missing_from(used_after, used_before);
    change.servers_removed = missing_from(used_before, used_after);

    for (const auto &o : after.options) {
        const bool same = std::find(before.options.begin(), before.options.end(), o) != before.options.end();
        if (same) continue;
        if (o.key == "max_packet_size") change.restart.push_back(o.key);
        else change.options.push_back(o.key);
    }
    // The keys described by their value are compared above; the others as
    // written, each key's lines together.
    std::vector<std::string> keys;
    for (const auto *d : {&before, &after})
        for (const std::string &line : d->settings) {
            std::string key = base_key(line);
            if (has_option(after, key) || std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
            keys.push_back(key);
        }
    for (const std::string &key : keys) {
        if (lines_of(before, key) == lines_of(after, key)) continue;
        // The sub-option and source interface choices take effect at once,
        // compared as chosen.
        const bool chosen = key == "link_selection" || key == "server_id_override";
        if (key == "source_interface") {
            if (before.source_choices != after.source_choices) change.options.push_back(key);
        } else if (!chosen) {
            change.restart.push_back(key);
        } else if (before.suboptions != after.suboptions && !has(change.options, "fabric sub-options")) {
            change.options.push_back("fabric sub-options");
        }
    }
    compare_servers6(before, after, change);
    if (before.plugins != after.plugins) change.restart.push_back("plug-in sections");
    return change;
}

std::vector<std::string> settings_in_effect(const description &before, const description &after,
                                            bool sources_applied) {
    const auto applied = [sources_applied](const std::string &line) {
        const std::string key = base_key(line);
        return key == "link_selection" || key == "server_id_override" || (sources_applied && key == "source_interface");
    };
    std::vector<std::string> lines;
    for (const std::string &line : before.settings)
        if (!applied(line)) lines.push_back(line);
    for (const std::string &line : after.settings)
        if (applied(line)) lines.push_back(line);
    return lines;
}

// The lines are written through their formats, so that the formats the
// manual explains are the ones in the code.
template <typename... Args>
std::string formatted(const char *format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

std::string change_line(const std::string &path, const configuration_change &change) {
    std::string line = formatted("Reloaded %s: interfaces +%d -%d, servers +%d -%d", path.c_str(),
                                 static_cast<int>(change.interfaces_added.size()),
                                 static_cast<int>(change.interfaces_removed.size()),
                                 static_cast<int>(change.servers_added), static_cast<int>(change.servers_removed));
    if (change.servers6_changed())
        line += formatted(", DHCPv6 interfaces +%d -%d, DHCPv6 servers +%d -%d",
                          static_cast<int>(change.lowers_added.size()), static_cast<int>(change.lowers_removed.size()),
                          static_cast<int>(change.servers6_added), static_cast<int>(change.servers6_removed));
    if (!change.interfaces_moved.empty()) line += ", addresses " + joined(change.interfaces_moved);
    if (!change.options.empty()) line += ", options " + joined(change.options);
    return line;
}

std::vector<std::string> restart_lines(const configuration_change &change) {
    std::vector<std::string> lines;
    for (const std::string &what : change.restart)
        lines.push_back(formatted("%s changed: restart to apply", what.c_str()));
    return lines;
}

} // namespace kestivane::config
