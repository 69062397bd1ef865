// Opening and retiring interfaces while the relay runs. The packet paths
// read ifs and if_num without a lock of their own, so a new record is
// complete before it is published (slot first, then the count), both under
// the interface record lock held exclusively; a retired record is never
// freed, only emptied, under the same lock once its listener has ended.
#include "net/interface_lifecycle.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "config/servers6.h"
#include "core/settings.h"
#include "net/interface_channels.h"
#include "net/interface_guard.h"
#include "net/interface_watch.h"
#include "net/platform.h"
#include "net/privileged_open.h"
#include "net/relay6.h"
#include "net/source_address.h"

namespace kestivane {

namespace {

// Openings and retirements one at a time, whoever asks (a reload, the
// watcher for an interface that appeared).
std::mutex lifecycle_lock;
std::atomic<bool> retired_slots[KESTIVANE_MAX_INTERFACES];
std::atomic<uint64_t> set_version{0};

// Awaited for either family or both: each is opened when it is ready.
struct awaited_interface {
    std::string name;
    bool v4 = false;
    std::vector<struct server> servers; // each name owned by the list below
    bool v6 = false;
    std::vector<std::string> servers6; // [servers6] texts
};
// Filled at start-up, before any thread; entries leave once opened.
std::vector<awaited_interface> awaited;
struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
std::vector<std::unique_ptr<char, free_deleter>> awaited_server_names;

bool same_server(const struct server &a, const struct server &b) {
    return a.addr.sin_addr.s_addr == b.addr.sin_addr.s_addr && a.addr.sin_port == b.addr.sin_port;
}

// The index of a server equal to srv in the table, which is added to it
// when none is (published before the count grows, under the interface
// record lock); -1 when the table is full.
int32_t server_index(const struct server &srv) {
    const int32_t count = __atomic_load_n(&srv_num, __ATOMIC_ACQUIRE);
    for (int32_t i = 0; i < count; ++i)
        if (servers[i] != nullptr && same_server(*servers[i], srv)) return i;
    if (count >= servers_limit) return -1;
    auto *record = static_cast<struct server *>(std::calloc(1, sizeof(struct server)));
    char *name = strdup(srv.name != nullptr ? srv.name : "");
    if (record == nullptr || name == nullptr) process_error(16, "malloc");
    record->name = name;
    record->addr = srv.addr;
    interface_writer exclusive;
    servers[count] = record;
    __atomic_store_n(&srv_num, count + 1, __ATOMIC_RELEASE);
    return count;
}

struct channels {
    int bpf = -1;
    int sock = -1;
    ~channels() {
        if (bpf >= 0) close(bpf);
        if (sock >= 0) close(sock);
    }
};

// The frame output and the UDP socket; the capture opens into its slot's
// table entry. False after a line that says what failed.
bool open_channels(const char *name, uint32_t ip, const uint8_t mac[6], int32_t idx, struct pcap *cap,
                   channels &opened) {
    const char *failed = "frame output";
    opened.bpf = open_privileged(privileged_kind::frame_output, name, 0);
    if (opened.bpf >= 0) {
        failed = open_request_capture(request_capture(idx), cap, name, mac);
        if (failed == nullptr) {
            opened.sock = open_privileged(privileged_kind::relay_socket, name, ip, &failed);
            if (opened.sock >= 0) return true;
            request_capture(idx).close();
        }
    }
    const char *why = std::strcmp(failed, "pcap_compile") == 0 ? pcap_geterr(cap) : std::strerror(errno);
    logd(log_error, "Interface %s: %s: %s; not opened", name, failed, why);
    return false;
}

// A copy of the server list, or null for none.
int32_t *copy_servers(const int32_t *srv, int32_t srv_count) {
    if (srv_count <= 0) return nullptr;
    auto *list = static_cast<int32_t *>(std::malloc(static_cast<std::size_t>(srv_count) * sizeof(int32_t)));
    if (list == nullptr) process_error(16, "malloc");
    std::memcpy(list, srv, static_cast<std::size_t>(srv_count) * sizeof(int32_t));
    return list;
}

// The bound address when bind_ip names one and the link has it, else its
// first; 0 for none.
uint32_t first_address(const platform::link_view &view, const uint32_t *bound) {
    for (uint32_t ip : view.ipv4)
        if (bound == nullptr || ip == *bound) return ip;
    return 0;
}

void start_listener(struct interface *iface) {
    pthread_t thread;
    int status = pthread_create(&thread, nullptr, listener, iface);
    if (status != 0) process_error(32, "pthread_create: %s", std::strerror(status));
    pthread_detach(thread);
}

std::vector<awaited_interface>::iterator awaited_entry(const char *name) {
    auto entry = std::find_if(awaited.begin(), awaited.end(), [name](const awaited_interface &a) { return a.name == name; });
    if (entry == awaited.end()) entry = awaited.insert(awaited.end(), awaited_interface{name, false, {}, false, {}});
    return entry;
}

// Entries awaited for no family any more leave.
void forget_done() {
    std::erase_if(awaited, [](const awaited_interface &a) { return !a.v4 && !a.v6; });
}

} // namespace

void await_interface(const char *name, const struct server *srv) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    await_link(name, false);
    auto entry = awaited_entry(name);
    entry->v4 = true;
    if (srv == nullptr) return;
    for (const struct server &known : entry->servers)
        if (same_server(known, *srv)) return;
    char *copy = strdup(srv->name != nullptr ? srv->name : "");
    if (copy == nullptr) process_error(16, "malloc");
    awaited_server_names.emplace_back(copy);
    entry->servers.push_back({copy, srv->addr});
}

void await_interface6(const char *name, const char *server_text) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    await_link(name, true);
    auto entry = awaited_entry(name);
    entry->v6 = true;
    if (std::find(entry->servers6.begin(), entry->servers6.end(), server_text) == entry->servers6.end())
        entry->servers6.emplace_back(server_text);
}

void stop_awaiting(const char *name) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    std::erase_if(awaited, [name](const awaited_interface &a) { return a.name == name; });
    forget_awaited_link(name, false);
    forget_awaited_link(name, true);
}

void stop_awaiting6(const char *name) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    for (awaited_interface &a : awaited) {
        if (a.name != name) continue;
        a.v6 = false;
        a.servers6.clear();
    }
    forget_done();
    forget_awaited_link(name, true);
}

awaited_families awaited_for(const char *name) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    awaited_families families;
    for (const awaited_interface &a : awaited) {
        if (a.name != name) continue;
        families.v4 = a.v4;
        families.v6 = a.v6;
    }
    return families;
}

std::vector<std::string> awaited_interface_names() {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    std::vector<std::string> names;
    for (const awaited_interface &a : awaited) names.push_back(a.name);
    return names;
}

bool open_awaited_interface(const char *name, awaited_families ready) {
    std::vector<int32_t> list;
    std::vector<std::string> texts;
    awaited_families opening;
    {
        std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
        auto entry = std::find_if(awaited.begin(), awaited.end(), [name](const awaited_interface &a) { return a.name == name; });
        if (entry == awaited.end()) return false;
        opening.v4 = entry->v4 && ready.v4;
        opening.v6 = entry->v6 && ready.v6;
        for (const struct server &srv : opening.v4 ? entry->servers : std::vector<struct server>{}) {
            int32_t index = server_index(srv);
            if (index < 0) logd(log_error, "Interface %s: too many servers; %s left out", name, srv.name);
            else list.push_back(index);
        }
        if (opening.v6) texts = entry->servers6;
    }
    awaited_families opened;
    opened.v4 = opening.v4 && open_interface_at_run_time(name, list.data(), static_cast<int32_t>(list.size()));
    if (opening.v6) {
        opened.v6 = relay6::open_lower_at_run_time(name, config::server6_slots(texts)) >= 0;
        if (opened.v6) relay6::mark_used_servers();
    }
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    for (awaited_interface &a : awaited) {
        if (a.name != name) continue;
        if (opened.v4) a.v4 = false;
        if (opened.v6) {
            a.v6 = false;
            a.servers6.clear();
        }
    }
    const bool left = std::any_of(awaited.begin(), awaited.end(),
                                  [name](const awaited_interface &a) { return a.name == name && (a.v4 || a.v6); });
    forget_done();
    return !left;
}

bool interface_retired(int32_t idx) {
    return idx >= 0 && idx < KESTIVANE_MAX_INTERFACES && retired_slots[idx].load(std::memory_order_acquire);
}

uint64_t interface_set_version() { return set_version.load(std::memory_order_acquire); }

void interface_sockets_changed() { set_version.fetch_add(1, std::memory_order_acq_rel); }

std::unique_lock<std::mutex> hold_interface_set() { return std::unique_lock<std::mutex>(lifecycle_lock); }

int32_t interface_count() { return __atomic_load_n(&if_num, __ATOMIC_ACQUIRE); }

bool open_interface_at_run_time(const char *name, const int32_t *srv, int32_t srv_count) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    struct interface *slot = nullptr;
    const int32_t count = interface_count();
    for (int32_t i = 0; i < count; ++i) {
        if (std::strcmp(ifs[i]->name, name) != 0) continue;
        if (!interface_retired(i)) return true; // relaying already
        slot = ifs[i];
    }
    if (slot == nullptr && count >= interfaces_limit) {
        logd(log_error, "Interface %s: too many interfaces; not opened", name);
        return false;
    }
    platform::link_view view;
    if (!platform::look_at_link(name, view)) {
        logd(log_error, "getifaddrs: %s", std::strerror(errno));
        return false;
    }
    uint32_t ip = 0;
    {
        interface_reader steady; // a reload changes the bindings under the record lock
        ip = first_address(view, get_bound_ip(name));
    }
    if (!view.present || ip == 0) {
        logd(log_error, "Interface %s: %s; not opened", name, view.present ? "no IPv4 address to relay from" : "not there");
        return false;
    }
    const uint8_t *mac = view.mac;

    struct interface *iface = slot;
    if (iface == nullptr) {
        iface = static_cast<struct interface *>(std::calloc(1, sizeof(struct interface)));
        if (iface == nullptr) process_error(16, "malloc");
        std::snprintf(iface->name, sizeof iface->name, "%s", name);
        iface->idx = count;
        iface->bpf = iface->sock = -1;
        iface->cap = open_filter_compiler();
        if (iface->cap == nullptr) process_error(16, "malloc");
    }
    channels opened;
    if (!open_channels(name, ip, mac, iface->idx, iface->cap, opened)) {
        if (slot == nullptr) {
            pcap_close(iface->cap);
            std::free(iface);
        }
        return false;
    }
    int32_t *list = copy_servers(srv, srv_count);
    {
        interface_writer exclusive;
        iface->bpf = opened.bpf;
        iface->sock = opened.sock;
        opened.bpf = opened.sock = -1;
        iface->ip = ip;
        std::memcpy(iface->mac, mac, sizeof iface->mac);
        std::free(iface->srv_idx);
        iface->srv_idx = list;
        iface->srv_count = list != nullptr ? srv_count : 0;
        if (slot == nullptr) {
            ifs[count] = iface;
            __atomic_store_n(&if_num, count + 1, __ATOMIC_RELEASE);
        }
        retired_slots[iface->idx].store(false, std::memory_order_release);
        set_version.fetch_add(1, std::memory_order_acq_rel);
    }
    watch_interface(iface);
    // Before its first request: the source address and sub-options that
    // start-up would have given it.
    settle_source_address_at_run_time(iface);
    start_listener(iface);
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &iface->ip, dotted, sizeof dotted);
    logd(log_warning, "Listen at %s: %s, %s", name, dotted, format_mac(iface->mac).text);
    return true;
}

void retire_interface(struct interface *iface) {
    std::lock_guard<std::mutex> one_at_a_time(lifecycle_lock);
    if (iface == nullptr || interface_retired(iface->idx)) return;
    // The listener first: once it has ended, nothing reads the capture.
    stop_watching(iface);
    interface_writer exclusive;
    retired_slots[iface->idx].store(true, std::memory_order_release);
    set_version.fetch_add(1, std::memory_order_acq_rel);
    request_capture(iface->idx).close();
    if (iface->bpf >= 0) close(iface->bpf);
    if (iface->sock >= 0) close(iface->sock);
    iface->bpf = iface->sock = -1;
    std::free(iface->srv_idx);
    iface->srv_idx = nullptr;
    iface->srv_count = 0;
}

} // namespace kestivane
