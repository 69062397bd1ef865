// A reload applies, in this order: the option values (under the interface
// record lock, which every packet path holds while it reads them), the
// server table and the interfaces' server lists (in the same hold), then
// the relay addresses that bind_ip moves, the interfaces added and removed,
// and the relay sockets that relay_port and source_interface move, and last
// [servers6] (each DHCPv6 change in a hold of its own). What only a restart
// can apply is said, and stays as it was.
#include "core/reload.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "config/config_check.h"
#include "config/config_diff.h"
#include "config/servers6.h"
#include "core/settings.h"
#include "metrics/reporter.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/interface_watch.h"
#include "net/opener.h"
#include "net/privileged_open.h"
#include "net/relay6.h"
#include "net/relay_suboptions.h"
#include "net/reopen_interface.h"
#include "net/source_address.h"

namespace kestivane {

namespace {

using config::configuration_change;
using config::configuration_description;

// Written once before the threads start, then by the reload thread alone.
struct reload_state {
    std::string path;
    configuration_description running;
};
reload_state *state = nullptr;

sigset_t reload_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    return set;
}

int32_t number_of(std::string_view text) {
    int32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

const std::string *value_of(const configuration_description &d, std::string_view key) {
    for (const auto &o : d.options)
        if (o.key == key) return &o.value;
    return nullptr;
}

bool named_in(const std::vector<std::string> &names, const std::string &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

template <typename T> void store(T &setting, T value) { std::atomic_ref<T>(setting).store(value); }

// The option values, each one word; the caller holds the record lock
// exclusively.
void apply_options(const configuration_description &after, const configuration_change &change) {
    for (const std::string &key : change.options) {
        const std::string *value = value_of(after, key);
        if (value == nullptr) continue;
        if (key == "rps_limit") store(rps_limit, number_of(*value));
        else if (key == "max_hops") store(max_hops, number_of(*value));
        else if (key == "queue_limit") store(queue_limit, number_of(*value));
        else if (key == "interface_grace") store(interface_grace, number_of(*value));
        else if (key == "answer_sources")
            store(answer_sources_accepted, *value == "any" ? answer_sources::any : answer_sources::servers);
        else if (key == "v6_interface_id") store(relay6::settings.interface_id, *value == "on");
        else if (key == "v6_link_layer_address") store(relay6::settings.link_layer_address, *value == "on");
    }
    if (named_in(change.options, "fabric sub-options")) replace_suboption_choices(after.suboptions);
    const auto stats = [&](std::string_view key) { return named_in(change.options, std::string(key)); };
    if (stats("stats_file") || stats("stats_interval"))
        metrics::set_stats_output(*value_of(after, "stats_file"), number_of(*value_of(after, "stats_interval")));
}

// The slot of a server in the server table: the one it has, or a new one.
// A server no interface uses any more keeps its slot, so that every index
// a list or a plug-in holds stays valid.
struct server_slots {
    std::vector<struct server *> added; // records for slots srv_num, srv_num + 1, ...

    int32_t slot_of(const configuration_description::server_entry &s) {
        const auto same = [&](const struct server *r) {
            return r != nullptr && r->addr.sin_addr.s_addr == s.ip && r->addr.sin_port == s.port &&
                   std::strcmp(r->name, s.name.c_str()) == 0;
        };
        for (int32_t i = 0; i < srv_num; ++i)
            if (same(servers[i])) return i;
        for (std::size_t k = 0; k < added.size(); ++k)
            if (same(added[k])) return srv_num + static_cast<int32_t>(k);
        if (srv_num + static_cast<int32_t>(added.size()) >= servers_limit) return -1;
        auto *record = static_cast<struct server *>(std::calloc(1, sizeof(struct server)));
        if (record == nullptr) process_error(16, "malloc");
        record->name = strdup(s.name.c_str());
        if (record->name == nullptr) process_error(16, "malloc");
        record->addr.sin_family = AF_INET;
        record->addr.sin_addr.s_addr = s.ip;
        record->addr.sin_port = s.port;
        added.push_back(record);
        return srv_num + static_cast<int32_t>(added.size()) - 1;
    }
};

struct new_list {
    struct interface *iface;
    int32_t *list; // malloc'ed; swapped with the record's
    int32_t count;
};

struct free_list {
    void operator()(int32_t *list) const { std::free(list); }
};

// The slots of an interface's servers, each once, in forwarding order.
std::vector<int32_t> slots_for(const configuration_description &after,
                               const configuration_description::interface_entry &i, server_slots &slots) {
    std::vector<int32_t> chosen;
    for (std::size_t k : i.servers) {
        const int32_t slot = slots.slot_of(after.servers[k]);
        if (slot < 0) logd(log_error, "Reload: too many servers, %s left out", after.servers[k].name.c_str());
        else if (std::find(chosen.begin(), chosen.end(), slot) == chosen.end()) chosen.push_back(slot);
    }
    return chosen;
}

// The server lists of the interfaces whose servers changed, built before
// the lock is taken.
std::vector<new_list> build_lists(const configuration_description &after, const configuration_change &change,
                                  server_slots &slots) {
    std::vector<new_list> lists;
    for (const auto &i : after.interfaces) {
        // An interface new to the file may be relaying already: one that
        // was awaited and came.
        if (!named_in(change.interfaces_relisted, i.name) && !named_in(change.interfaces_added, i.name)) continue;
        struct interface *iface = get_interface_by_name(i.name.c_str());
        if (iface == nullptr) continue;
        const std::vector<int32_t> chosen = slots_for(after, i, slots);
        auto *list = static_cast<int32_t *>(std::malloc(std::max<std::size_t>(chosen.size(), 1) * sizeof(int32_t)));
        if (list == nullptr) process_error(16, "malloc");
        std::copy(chosen.begin(), chosen.end(), list);
        lists.push_back({iface, list, static_cast<int32_t>(chosen.size())});
    }
    return lists;
}

using interface_lists = std::vector<std::pair<std::string, std::vector<int32_t>>>;

// New bind_ip nodes, made before the lock is taken.
std::vector<struct ip_binding *> new_bindings(const configuration_description &after) {
    std::vector<struct ip_binding *> made;
    for (const auto &b : after.bindings) {
        bool known = false;
        const struct ip_binding *node;
        STAILQ_FOREACH(node, &ip_binding_map_head, next) known = known || b.ifname == node->ifname;
        if (known) continue;
        auto *fresh = static_cast<struct ip_binding *>(std::calloc(1, sizeof(struct ip_binding)));
        if (fresh == nullptr || (fresh->ifname = strdup(b.ifname.c_str())) == nullptr) process_error(16, "malloc");
        fresh->ip = b.ip;
        made.push_back(fresh);
    }
    return made;
}

// The bindings as the new file has them; the caller holds the record lock
// exclusively. Nodes stay in the list (a cleared address is no binding).
void apply_bindings(const configuration_description &after, const std::vector<struct ip_binding *> &made) {
    struct ip_binding *node;
    STAILQ_FOREACH(node, &ip_binding_map_head, next) {
        uint32_t ip = 0;
        for (const auto &b : after.bindings)
            if (b.ifname == node->ifname) ip = b.ip;
        node->ip = ip;
    }
    for (struct ip_binding *fresh : made) STAILQ_INSERT_TAIL(&ip_binding_map_head, fresh, next);
}

// Options, servers and lists in one exclusive hold of the record lock: a
// request is forwarded wholly by the old configuration or wholly by the
// new. The old lists are freed after it, when no path can still read them.
// Returns the server lists of the interfaces to open.
interface_lists apply_tables(const configuration_description &after, const configuration_change &change) {
    server_slots slots;
    std::vector<new_list> lists = build_lists(after, change, slots);
    interface_lists to_open;
    for (const auto &i : after.interfaces)
        if (named_in(change.interfaces_added, i.name) && get_interface_by_name(i.name.c_str()) == nullptr)
            to_open.emplace_back(i.name, slots_for(after, i, slots));
    const std::vector<struct ip_binding *> made = new_bindings(after);
    std::vector<std::unique_ptr<int32_t, free_list>> old_lists;
    {
        interface_writer exclusive;
        apply_options(after, change);
        apply_bindings(after, made);
        for (struct server *record : slots.added) servers[srv_num++] = record;
        for (new_list &n : lists) {
            old_lists.emplace_back(n.iface->srv_idx);
            n.iface->srv_idx = n.list;
            n.iface->srv_count = n.count;
        }
    }
    return to_open;
}

// Interfaces removed stop relaying and keep their slot; interfaces added
// open (a retired one in its old slot). Returns the names that did not open
// (said in the log), for the next reload to try again.
std::vector<std::string> apply_interfaces(const configuration_description &after, const configuration_change &change,
                                          const interface_lists &to_open) {
    // One awaited that the file no longer names is not opened when it comes.
    for (const std::string &name : awaited_interface_names())
        if (!named_in(after.named_interfaces, name)) stop_awaiting(name.c_str());
    for (const std::string &name : change.interfaces_removed)
        if (struct interface *iface = get_interface_by_name(name.c_str())) retire_interface(iface);
    std::vector<std::string> failed;
    for (const auto &[name, list] : to_open) {
        if (open_interface_at_run_time(name.c_str(), list.data(), static_cast<int32_t>(list.size()))) continue;
        failed.push_back(name);
        for (int32_t srv : list) await_interface(name.c_str(), servers[srv]);
    }
    // Named with a server and not there now: opened when it comes (the
    // record is taken by value).
    for (const auto &a : after.absent) {
        if (get_interface_by_name(a.ifname.c_str()) != nullptr) continue;
        struct server record{};
        record.name = const_cast<char *>(a.server.name.c_str());
        record.addr.sin_family = AF_INET;
        record.addr.sin_addr.s_addr = a.server.ip;
        record.addr.sin_port = a.server.port;
        await_interface(a.ifname.c_str(), &record);
    }
    return failed;
}

// bind_ip: the relay address moves to the address the new file binds.
// Returns the interfaces that kept theirs.
std::vector<std::string> apply_addresses(const configuration_description &after, const configuration_change &change) {
    std::vector<std::string> kept;
    for (const std::string &name : change.interfaces_moved) {
        struct interface *iface = get_interface_by_name(name.c_str());
        const auto entry = std::find_if(after.interfaces.begin(), after.interfaces.end(),
                                        [&](const auto &i) { return i.name == name; });
        if (iface == nullptr || entry == after.interfaces.end()) continue;
        // Without the privilege for the port a reload keeps the address
        // rather than end the relay.
        const char *failed = "socket";
        const int sock = open_privileged(privileged_kind::relay_socket, iface->name, entry->ip, &failed);
        if (sock < 0) {
            logd(log_error, "Reload: interface %s keeps its address: %s: %s", iface->name, failed,
                 std::strerror(errno));
            kept.push_back(name);
            continue;
        }
        move_watched_address(iface, entry->ip, sock);
    }
    return kept;
}

// [servers6]: each lower interface the new file names takes its servers
// (opened when it is new, awaited when it is not there), each one it no
// longer names is retired. An interface whose servers did not change is
// not touched, nor what it has in flight. False when there is no server
// socket to relay through (a relay started without [servers6]): that needs
// a restart.
bool apply_servers6(const configuration_description &after, const configuration_change &change) {
    if (!change.servers6_changed()) return true;
    if (relay6::upper_socket() < 0) return false;
    const auto lowers = config::lower6_entries(after);
    for (const config::lower6_entry &l : lowers) {
        if (!named_in(change.lowers_added, l.name) && !named_in(change.lowers_relisted, l.name)) continue;
        std::vector<std::size_t> slots = config::server6_slots(l.servers);
        if (const int idx = relay6::find_lower(l.name); idx >= 0) {
            relay6::relist_lower(static_cast<std::size_t>(idx), std::move(slots));
            continue;
        }
        // One awaited takes its new servers when it comes.
        stop_awaiting6(l.name.c_str());
        if (relay6::open_lower_at_run_time(l.name, slots) >= 0) continue;
        for (const std::string &text : l.servers) await_interface6(l.name.c_str(), text.c_str());
    }
    for (const std::string &name : change.lowers_removed) {
        stop_awaiting6(name.c_str());
        if (const int idx = relay6::find_lower(name); idx >= 0) relay6::retire_lower(static_cast<std::size_t>(idx));
    }
    relay6::mark_used_servers();
    return true;
}

// The new relay_port's sockets, one per open interface, until they take
// the old ones' places.
struct port_move {
    std::vector<std::pair<struct interface *, int>> sockets;
    bool committed = false;
    ~port_move() {
        if (committed) return;
        for (const auto &[iface, sock] : sockets) close(sock);
    }
};

// source_interface and relay_port (its DHCPv4 side): every socket they need is
// opened first, through the opener, then all are switched in one hold of
// the record lock, and the sockets no longer used are closed after it. A
// request is sent by the old sockets and sub-options or by the new ones.
// False, after one error line, when something could not be opened: both
// stay as they were.
bool apply_fabric(const configuration_description &after, const configuration_change &change) {
    const bool sources = named_in(change.options, "source_interface");
    const bool port_changed = named_in(change.options, "relay_port");
    if (!sources && !port_changed) return true;
    const char *what = !port_changed ? "source_interface" : sources ? "relay_port and source_interface" : "relay_port";
    const std::string *value = value_of(after, "relay_port");
    const uint16_t port = port_changed && value != nullptr ? relay_socket_port_of(number_of(*value)) : relay_socket_port();
    // No interface opens, retires or moves its address meanwhile.
    const auto set_held = hold_interface_set();
    const watcher_hold watcher_held;
    std::string why;
    source_switch switched;
    if (!switched.prepare(after.source_choices, port, why)) {
        logd(log_error, "Reload: %s stays as it was: %s", what, why.c_str());
        return false;
    }
    port_move moved;
    for (int32_t i = 0; port != relay_socket_port() && i < interface_count(); ++i) {
        if (interface_retired(i)) continue;
        struct interface *iface = ifs[i];
        const char *failed = "socket";
        const int sock = open_privileged(privileged_kind::relay_socket, iface->name, iface->ip, &failed, port);
        if (sock < 0) {
            logd(log_error, "Reload: %s stays as it was: %s on %s port %d: %s", what, failed, iface->name,
                 static_cast<int>(ntohs(port)), std::strerror(errno));
            return false;
        }
        moved.sockets.emplace_back(iface, sock);
    }
    interface_writer exclusive;
    for (const auto &[iface, sock] : moved.sockets) replace_relay_socket(iface, sock);
    moved.committed = true;
    switched.commit();
    move_relay_socket_port(port);
    // Link selection follows a source address, the relay source port
    // sub-option the port; interfaces this reload opened get theirs.
    settle_relay_suboptions();
    interface_sockets_changed();
    return true;
}

// relay_port's DHCPv6 side, once the DHCPv4 side has moved: the server
// socket moves to the new port (547 without one), or stays, said in one
// line.
void apply_port6(const configuration_description &after) {
    const std::string *value = value_of(after, "relay_port");
    const int32_t port = value != nullptr ? number_of(*value) : 0;
    const auto wanted = static_cast<uint16_t>(port != 0 ? port : relay6::server_port);
    if (const char *failed = relay6::move_upper_port(wanted))
        logd(log_error, "Reload: relay_port (DHCPv6) stays as it was: %s on port %d: %s", failed, static_cast<int>(wanted),
             std::strerror(errno));
}

// What errx wrote, less the program's name before it.
std::string refusal_text(std::string said) {
    const std::string prefix = std::string(program_invocation_short_name) + ": ";
    if (said.compare(0, prefix.size(), prefix) == 0) said.erase(0, prefix.size());
    return said;
}

void reload() {
    std::string text, error;
    if (!opener_check(text, error)) {
        logd(log_error, "Can't reload %s: %s", state->path.c_str(), refusal_text(error).c_str());
        return;
    }
    std::optional<configuration_description> after = config::parse_description(text);
    if (!after) {
        logd(log_error, "Can't reload %s: the checker's description is not readable", state->path.c_str());
        return;
    }
    configuration_description &before = state->running;
    configuration_change change = config::compare_configurations(before, *after);
    const interface_lists to_open = apply_tables(*after, change);
    const std::vector<std::string> not_moved = apply_addresses(*after, change);
    const std::vector<std::string> not_opened = apply_interfaces(*after, change, to_open);
    const bool fabric_applied = apply_fabric(*after, change);
    if (!fabric_applied)
        std::erase_if(change.options, [](const std::string &key) { return key == "relay_port" || key == "source_interface"; });
    if (fabric_applied && named_in(change.options, "relay_port")) apply_port6(*after);
    const bool servers6_applied = apply_servers6(*after, change);
    if (!servers6_applied) {
        change.restart.push_back("[servers6]");
        change.lowers_added.clear();
        change.lowers_removed.clear();
        change.lowers_relisted.clear();
    }
    for (const std::string &line : config::restart_lines(change)) logd(log_warning, "%s", line.c_str());
    logd(log_warning, "%s", config::change_line(state->path, change).c_str());

    // What was not applied stays described as it runs.
    std::vector<configuration_description::interface_entry> kept;
    for (const auto &i : after->interfaces) {
        if (named_in(not_opened, i.name)) continue;
        kept.push_back(i);
        if (!named_in(not_moved, i.name)) continue;
        for (const auto &old : before.interfaces)
            if (old.name == i.name) kept.back().ip = old.ip;
    }
    after->interfaces = std::move(kept);
    after->settings = config::settings_in_effect(before, *after, fabric_applied);
    if (!servers6_applied) after->servers6 = before.servers6;
    after->plugins = before.plugins;
    if (!fabric_applied) after->source_choices = before.source_choices;
    for (auto &o : after->options)
        if (o.key == "max_packet_size" || (o.key == "relay_port" && !fabric_applied))
            if (const std::string *old = value_of(before, o.key)) o.value = *old;
    before = std::move(*after);
}

void *run_reloads(void *) {
    const sigset_t set = reload_signal_set();
    for (;;) {
        int signal_number = 0;
        if (sigwait(&set, &signal_number) != 0) continue;
        reload();
    }
    return nullptr;
}

} // namespace

void block_reload_signal() {
    const sigset_t set = reload_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void prepare_reload(const std::string &path) {
    std::optional<configuration_description> running = config::parse_description(config::describe_tables());
    if (!running) return;
    state = new reload_state{path, std::move(*running)};
}

void start_reload_thread() {
    if (state == nullptr) return;
    pthread_t thread;
    const int failed = pthread_create(&thread, nullptr, run_reloads, nullptr);
    if (failed != 0) {
        logd(log_error, "Can't start the reload thread: %s", std::strerror(failed));
        return;
    }
    pthread_detach(thread);
}

} // namespace kestivane
