// The thread that follows the links, for both families. It wakes on the
// system's link and address events (IPv4 and IPv6) and on a listener whose
// capture failed, and then compares every link with what the system has
// now: nothing is read from the events themselves, so an event lost or
// coalesced changes nothing. While some link is not relaying it also looks
// once a second, which paces retries and measures the grace period;
// otherwise it sleeps until an event. What becomes of a link that vanishes,
// comes back or changes its addresses is decided here, once for the link,
// and each family's channel is then switched by its own reopening code.
#include "net/interface_watch.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/settings.h"
#include "metrics/counters.h"
#include "metrics/counters6.h"
#include "net/interface_channels.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/link.h"
#include "net/platform.h"
#include "net/relay6.h"
#include "net/reopen_interface.h"

namespace kestivane {

namespace {

// The links, each family's channels attached. Filled before the thread
// starts and never resized afterwards; guarded by watch_lock.
pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t listener_released = PTHREAD_COND_INITIALIZER;
std::vector<link_record> links;
int link_of_v4[KESTIVANE_MAX_INTERFACES]; // ifs index -> links index
int wake_fd = -1;   // listeners wake the watcher through it
int events_fd = -1; // the system's link and address events
bool end_when_nothing_left = true;
bool all_gone = false;
struct timespec all_gone_since{};

struct timespec monotonic_now() {
    struct timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

const char *dotted(uint32_t ip, char (&text)[INET_ADDRSTRLEN]) {
    inet_ntop(AF_INET, &ip, text, sizeof text);
    return text;
}

std::string text6(const struct in6_addr &ip) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &ip, text, sizeof text);
    return text;
}

bool has_address(const platform::link_view &view, uint32_t ip) {
    return std::find(view.ipv4.begin(), view.ipv4.end(), ip) != view.ipv4.end();
}

// The address to relay from on this view of the interface, or 0 when there
// is none: the bound address when bind_ip names one, else the one it had
// if it still has it, else its first.
uint32_t relay_address(const struct interface *iface, const platform::link_view &view) {
    uint32_t bound = 0;
    {
        // A reload changes the bindings under the record lock.
        interface_reader steady;
        if (const uint32_t *binding = get_bound_ip(iface->name)) bound = *binding;
    }
    if (bound != 0) return has_address(view, bound) ? bound : 0;
    if (has_address(view, iface->ip)) return iface->ip;
    return view.ipv4.empty() ? 0 : view.ipv4[0];
}

// Both families' gauges and counters say the same of one link.
void set_relaying(link_record &link, bool relaying) {
    link.relaying = relaying;
    if (link.v4 != nullptr) metrics::of_interface(link.v4->idx).link.up.set(relaying ? 1 : 0);
    if (link.v6 >= 0) metrics::of_interface6(static_cast<std::size_t>(link.v6)).link.up.set(relaying ? 1 : 0);
}

// A return counts once for the link: the metrics add both families'
// counts of a link that serves both.
void count_reopened(const link_record &link) {
    if (link.v4 != nullptr) metrics::of_interface(link.v4->idx).link.reopened.add();
    else if (link.v6 >= 0) metrics::of_interface6(static_cast<std::size_t>(link.v6)).link.reopened.add();
}

// The link stops relaying (the caller's line says why), and its DHCPv4
// listener is asked to leave its capture and wait. The DHCPv6 capture needs
// no such care: a packet socket of a vanished interface receives nothing,
// and is rebound in place.
void stop_relaying(link_record &link) {
    set_relaying(link, false);
    link.reopen_failure_logged = false;
    if (link.v4 != nullptr && !link.listener_parked) request_capture(link.v4->idx).wake();
}

void release_listener(link_record &link) {
    link.capture_failed = false;
    ++link.generation;
    pthread_cond_broadcast(&listener_released);
}

// A capture failure on an interface that is still there under the same
// index. A link taken down fails a capture too; it is not worth a line, and
// rebinding (to the same index) clears it, as it clears any other fault.
void recover_capture(link_record &link, const platform::link_view &view) {
    if (!link.listener_parked) return; // it parks at once; its wake-up comes back here
    // A capture that fails again at once is recovered once a second, not in
    // a loop (the once-a-second look comes back here).
    time_t now = monotonic_now().tv_sec;
    if (link.last_recovery != 0 && now - link.last_recovery < 1) return;
    link.last_recovery = now;
    struct interface *iface = link.v4;
    if (view.running) logd(log_error, "Capture on %s failed: %s; reopening it", iface->name, link.failure);
    if (reopen_capture(iface, view.index) != reopen_result::done) {
        set_relaying(link, false);
        return;
    }
    release_listener(link);
}

// The DHCPv4 channel on the link's return: true once it relays there.
bool reopen_v4(link_record &link, const platform::link_view &view) {
    struct interface *iface = link.v4;
    uint32_t ip = relay_address(iface, view);
    if (ip == 0) return false;
    // The capture is rebound only while its listener keeps off it.
    if (!link.listener_parked) {
        request_capture(iface->idx).wake();
        return false;
    }
    return reopen_interface(iface, view.index, view.mac, ip, !link.reopen_failure_logged) == reopen_result::done;
}

// The DHCPv6 side of an address change: the lower interface takes the
// link's addresses as they are now (unicast to a new one is relayed), and
// the link-address follows when the one in use is gone. Without a global
// address the link is still relayed on: the Interface-ID names it.
void follow_v6_addresses(link_record &link, const platform::link_view &view) {
    const auto idx = static_cast<std::size_t>(link.v6);
    const relay6::lower6 &lower = relay6::lowers()[idx];
    const auto same_address = [](const struct in6_addr &a, const struct in6_addr &b) {
        return IN6_ARE_ADDR_EQUAL(&a, &b);
    };
    if (std::equal(lower.own.begin(), lower.own.end(), view.ipv6.begin(), view.ipv6.end(), same_address)) return;
    const struct in6_addr before = lower.link_address;
    const struct in6_addr now = relay6::choose_link_address(before, view);
    relay6::take_addresses(idx, view, now);
    if (IN6_ARE_ADDR_EQUAL(&before, &now)) return;
    link.ipv6 = now;
    // An address gained is no move (a link that comes back often gets its
    // addresses a moment after it is reopened): only a lost one counts.
    if (IN6_IS_ADDR_UNSPECIFIED(&before)) {
        logd(log_warning, "Interface %s has the address %s: relaying from it now", link.name, text6(now).c_str());
        return;
    }
    metrics::of_interface6(idx).link.reopened.add();
    logd(log_warning, "Interface %s lost its address %s: relaying from %s now", link.name, text6(before).c_str(),
         text6(now).c_str());
}

// The DHCPv6 channel on the link's return: true once it relays there. It
// needs no address, and relays again as soon as the interface is there,
// even while the DHCPv4 channel of the same link waits for its address.
bool reopen_v6(link_record &link, const platform::link_view &view) {
    const auto idx = static_cast<std::size_t>(link.v6);
    // Rebinding to the same index would only drop what is in flight; its
    // addresses still follow the link while the other family waits.
    if (relay6::lowers()[idx].index == view.index) {
        follow_v6_addresses(link, view);
        return true;
    }
    if (const char *failed = relay6::reopen_lower(idx, view)) {
        if (!link.reopen_failure_logged)
            logd(log_error, "Interface %s: %s: %s", link.name, failed, std::strerror(errno));
        return false;
    }
    return true;
}

void try_reopen(link_record &link, const platform::link_view &view) {
    if (!view.present) return;
    // Each family is reopened as soon as it can be; the link relays again,
    // and says so, once both have.
    const bool v6_done = link.v6 < 0 || reopen_v6(link, view);
    const bool v4_done = link.v4 == nullptr || reopen_v4(link, view);
    if (!v4_done || !v6_done) {
        link.reopen_failure_logged = true;
        return;
    }
    link.index = view.index;
    std::memcpy(link.mac, view.mac, sizeof link.mac);
    set_relaying(link, true);
    count_reopened(link);
    std::string at;
    if (link.v4 != nullptr) {
        char text[INET_ADDRSTRLEN];
        link.ipv4 = link.v4->ip;
        at = dotted(link.ipv4, text);
    }
    if (link.v6 >= 0) {
        link.ipv6 = relay6::lowers()[static_cast<std::size_t>(link.v6)].link_address;
        at += (at.empty() ? "" : " and ") + text6(link.ipv6);
    }
    logd(log_warning, "Interface %s is back: relaying on it again at %s, %s", link.name, at.c_str(),
         format_mac(link.mac).text);
    if (link.v4 != nullptr) release_listener(link);
}

// The DHCPv4 relay address is gone: another one, or none until it returns.
void follow_v4_address(link_record &link, const platform::link_view &view) {
    struct interface *iface = link.v4;
    if (has_address(view, iface->ip)) return;
    uint32_t ip = relay_address(iface, view);
    char lost[INET_ADDRSTRLEN];
    char found[INET_ADDRSTRLEN];
    dotted(iface->ip, lost);
    if (ip != 0 && move_address(iface, ip) == reopen_result::done) {
        link.ipv4 = ip;
        metrics::of_interface(iface->idx).link.reopened.add();
        logd(log_warning, "Interface %s lost its address %s: relaying from %s now", iface->name, lost,
             dotted(ip, found));
    } else {
        logd(log_error, "Interface %s lost its address %s: relaying on it stops until it returns", iface->name,
             lost);
        stop_relaying(link);
    }
}

// An awaited link is ready once the system has it with an address its
// record would relay from.
bool ready_to_open(const link_record &link, const platform::link_view &view) {
    if (!view.present) return false;
    interface_reader steady; // a reload changes the bindings under the record lock
    if (const uint32_t *bound = get_bound_ip(link.name)) return has_address(view, *bound);
    return !view.ipv4.empty();
}

void follow(link_record &link, const platform::link_listing &listing) {
    if (link.unused()) return;
    const platform::link_view view = listing.view_of(link.name);
    if (link.relaying) {
        if (!view.present) {
            logd(log_error, "Interface %s disappeared: relaying on it stops until it returns", link.name);
            stop_relaying(link);
        } else if (view.index != link.index) {
            logd(log_error,
                 "Interface %s was replaced by a new interface of that name: relaying on it stops until it returns",
                 link.name);
            stop_relaying(link);
        } else {
            if (link.v6 >= 0) follow_v6_addresses(link, view);
            if (link.v4 != nullptr) follow_v4_address(link, view);
            if (link.relaying && link.v4 != nullptr && link.capture_failed) recover_capture(link, view);
        }
    }
    if (!link.relaying) try_reopen(link, view);
}

// Ends the relay once no link has relayed for the grace period, whichever
// family it serves: with nothing left to do it would only look alive.
void check_grace() {
    if (!end_when_nothing_left) return;
    bool any = false;
    bool used = false;
    for (const link_record &link : links) {
        if (link.unused()) continue;
        used = true;
        any = any || link.relaying;
    }
    // With no link in use (every one retired, or awaited) nothing has gone.
    if (any || !used) {
        all_gone = false;
        return;
    }
    struct timespec now = monotonic_now();
    if (!all_gone) {
        all_gone = true;
        all_gone_since = now;
        return;
    }
    // Measured to the nanosecond: whole seconds alone would end it up to a
    // second early when a look falls just after a second's turn.
    const int64_t gone_ns = (static_cast<int64_t>(now.tv_sec) - all_gone_since.tv_sec) * 1000000000 +
                            (now.tv_nsec - all_gone_since.tv_nsec);
    // A reload may change the grace while the watcher runs.
    const int32_t grace = std::atomic_ref<int32_t>(interface_grace).load(std::memory_order_relaxed);
    if (gone_ns >= static_cast<int64_t>(grace) * 1000000000)
        process_error(exit_no_interface, "No interface left to relay on for %d seconds. Exiting.",
                      static_cast<int>(grace));
}

// True while something waits for a retry or for its grace period to end.
bool follow_all() {
    pthread_mutex_lock(&watch_lock);
    bool pending = false;
    std::vector<std::pair<std::string, awaited_families>> appeared;
    // One listing for every link: an event anywhere in the system sends
    // the watcher over all of them.
    {
        const platform::link_listing listing;
        if (!listing.ok()) logd(log_error, "getifaddrs: %s", std::strerror(listing.error()));
        for (link_record &link : links) {
            if (!listing.ok()) break;
            if (link.awaited || link.awaited6) {
                const platform::link_view view = listing.view_of(link.name);
                awaited_families ready;
                ready.v4 = link.awaited && link.v4 == nullptr && ready_to_open(link, view);
                // Any IPv6 address will do, a link-local one too: without a
                // global one the Interface-ID names the link.
                ready.v6 = link.awaited6 && link.v6 < 0 && view.present && !view.ipv6.empty();
                if (ready.v4 || ready.v6) appeared.emplace_back(link.name, ready);
            }
            follow(link, listing);
            pending = pending || (!link.unused() && (!link.relaying || link.capture_failed));
        }
    }
    check_grace();
    pthread_mutex_unlock(&watch_lock);
    // Opening takes the watch lock itself, to follow what it opened. One that
    // fails (said in the log) is tried again at the next event.
    for (const auto &[name, ready] : appeared) open_awaited_interface(name.c_str(), ready);
    return pending;
}

void *watch(void * /*unused*/) {
    bool pending = follow_all();
    for (;;) {
        struct pollfd waits[2] = {{events_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int n = poll(waits, 2, pending ? 1000 : -1);
        if (n < 0 && errno != EINTR) {
            logd(log_error, "poll for interface events: %s", std::strerror(errno));
            sleep(1);
        }
        if (!platform::link_events_drain(events_fd))
            process_error(32, "interface events: %s", std::strerror(errno));
        uint64_t wakes;
        (void)!read(wake_fd, &wakes, sizeof wakes);
        pending = follow_all();
    }
}

bool has_link(const char *name) {
    for (const link_record &link : links)
        if (std::strcmp(link.name, name) == 0) return true;
    return false;
}

link_record &link_named(const char *name) {
    for (link_record &link : links)
        if (std::strcmp(link.name, name) == 0) return link;
    link_record &link = links.emplace_back();
    std::snprintf(link.name, sizeof link.name, "%s", name);
    return link;
}

} // namespace

void start_interface_watch(bool end_when_all_gone) {
    end_when_nothing_left = end_when_all_gone;
    // Opened before the first look, so that no change falls between the two.
    events_fd = platform::link_events_open();
    if (events_fd < 0) process_error(32, "interface events: %s", std::strerror(errno));
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) process_error(32, "eventfd: %s", std::strerror(errno));
    // Never moved once the thread runs (listeners hold references): room
    // for every slot of ifs, besides the DHCPv6 interfaces, from the start.
    links.reserve(static_cast<std::size_t>(KESTIVANE_MAX_INTERFACES) + metrics::v6_interfaces_limit);
    for (int32_t i = 0; i < if_num; ++i) {
        link_record &link = link_named(ifs[i]->name);
        link.v4 = ifs[i];
        link.ipv4 = ifs[i]->ip;
        std::memcpy(link.mac, ifs[i]->mac, sizeof link.mac);
        link_of_v4[i] = static_cast<int>(&link - links.data());
    }
    for (std::size_t i = 0; i < relay6::lowers().size(); ++i) {
        const relay6::lower6 &lower = relay6::lowers()[i];
        link_record &link = link_named(lower.name);
        link.v6 = static_cast<int>(i);
        link.ipv6 = lower.link_address;
        if (link.v4 == nullptr) std::memcpy(link.mac, lower.mac, sizeof link.mac);
    }
    for (link_record &link : links) {
        // An interface gone since it was opened shows as a changed index (0)
        // at the first look.
        platform::link_view view;
        if (platform::look_at_link(link.name, view)) link.index = view.index;
        set_relaying(link, true);
    }
    for (const std::string &name : awaited_interface_names()) {
        if (links.size() == links.capacity()) break;
        const awaited_families families = awaited_for(name.c_str());
        link_record &link = link_named(name.c_str());
        link.awaited = families.v4;
        link.awaited6 = families.v6;
    }
    pthread_t thread;
    int status = pthread_create(&thread, nullptr, watch, nullptr);
    if (status != 0) process_error(32, "pthread_create: %s", std::strerror(status));
    pthread_detach(thread);
}

bool wait_until_reopened(struct interface *iface, bool woken, const char *text) {
    pthread_mutex_lock(&watch_lock);
    link_record &link = links[static_cast<std::size_t>(link_of_v4[iface->idx])];
    const auto leave_for_good = [&link] {
        link.listener_gone = true;
        pthread_cond_broadcast(&listener_released);
        pthread_mutex_unlock(&watch_lock);
        return false;
    };
    if (link.listener_ending) return leave_for_good();
    if (woken && link.relaying && !link.capture_failed) {
        pthread_mutex_unlock(&watch_lock);
        return true;
    }
    if (link.relaying && !link.capture_failed) {
        link.capture_failed = true;
        std::snprintf(link.failure, sizeof link.failure, "%s", text);
    }
    link.listener_parked = true;
    const uint64_t eventfd_add = 1;
    (void)!write(wake_fd, &eventfd_add, sizeof eventfd_add);
    const uint64_t seen = link.generation;
    while (link.generation == seen) pthread_cond_wait(&listener_released, &watch_lock);
    link.listener_parked = false;
    if (link.listener_ending) return leave_for_good();
    pthread_mutex_unlock(&watch_lock);
    return true;
}

void await_link(const char *name, bool v6) {
    pthread_mutex_lock(&watch_lock);
    // Before the watch runs, it takes the names as it starts.
    if (wake_fd >= 0 && (has_link(name) || links.size() < links.capacity())) {
        (v6 ? link_named(name).awaited6 : link_named(name).awaited) = true;
        const uint64_t eventfd_add = 1;
        (void)!write(wake_fd, &eventfd_add, sizeof eventfd_add); // it may be there already
    }
    pthread_mutex_unlock(&watch_lock);
}

void forget_awaited_link(const char *name, bool v6) {
    pthread_mutex_lock(&watch_lock);
    for (link_record &link : links)
        if (std::strcmp(link.name, name) == 0) (v6 ? link.awaited6 : link.awaited) = false;
    pthread_mutex_unlock(&watch_lock);
}

void move_watched_address(struct interface *iface, uint32_t ip, int sock) {
    pthread_mutex_lock(&watch_lock);
    adopt_socket(iface, ip, sock);
    for (link_record &link : links)
        if (link.v4 == iface) link.ipv4 = ip;
    pthread_mutex_unlock(&watch_lock);
}

watcher_hold::watcher_hold() { pthread_mutex_lock(&watch_lock); }

watcher_hold::~watcher_hold() { pthread_mutex_unlock(&watch_lock); }

void watch_interface(struct interface *iface) {
    pthread_mutex_lock(&watch_lock);
    if (links.size() == links.capacity() && !has_link(iface->name))
        process_error(32, "too many interfaces"); // ifs has no more slots than this
    link_record &link = link_named(iface->name);
    const bool was_unused = link.unused();
    link.v4 = iface;
    link.ipv4 = iface->ip;
    link.awaited = false;
    link.listener_ending = link.listener_gone = link.listener_parked = link.capture_failed = false;
    link_of_v4[iface->idx] = static_cast<int>(&link - links.data());
    if (was_unused) {
        // A link that serves the other family already keeps its state: the
        // next look reopens this family's side when it is not relaying.
        std::memcpy(link.mac, iface->mac, sizeof link.mac);
        platform::link_view view;
        if (platform::look_at_link(link.name, view)) link.index = view.index;
        link.reopen_failure_logged = false;
        set_relaying(link, true);
    }
    pthread_mutex_unlock(&watch_lock);
}

void watch_lower(std::size_t idx) {
    pthread_mutex_lock(&watch_lock);
    const relay6::lower6 &lower = relay6::lowers()[idx];
    if (links.size() == links.capacity() && !has_link(lower.name))
        process_error(32, "too many interfaces"); // room was taken for every DHCPv6 slot
    link_record &link = link_named(lower.name);
    const bool was_unused = link.unused();
    link.v6 = static_cast<int>(idx);
    link.awaited6 = false;
    {
        interface_reader steady; // the fields the watcher does not write itself
        link.ipv6 = lower.link_address;
        if (was_unused) {
            std::memcpy(link.mac, lower.mac, sizeof link.mac);
            link.index = lower.index;
        }
    }
    if (was_unused) {
        // A link that serves the other family already keeps its state: the
        // next look reopens this family's side when it is not relaying.
        link.reopen_failure_logged = false;
        set_relaying(link, true);
    } else if (link.relaying) {
        metrics::of_interface6(idx).link.up.set(1);
    }
    const uint64_t eventfd_add = 1;
    (void)!write(wake_fd, &eventfd_add, sizeof eventfd_add); // it may have changed since it opened
    pthread_mutex_unlock(&watch_lock);
}

void stop_watching_lower(std::size_t idx) {
    pthread_mutex_lock(&watch_lock);
    for (link_record &link : links) {
        if (link.v6 != static_cast<int>(idx)) continue;
        link.v6 = -1;
        if (link.v4 == nullptr) link.relaying = false;
    }
    pthread_mutex_unlock(&watch_lock);
}

void stop_watching(struct interface *iface) {
    pthread_mutex_lock(&watch_lock);
    link_record &link = links[static_cast<std::size_t>(link_of_v4[iface->idx])];
    link.listener_ending = true;
    link.listener_gone = false;
    if (link.listener_parked) release_listener(link);
    else request_capture(iface->idx).wake();
    // A listener leaves within a wait for room in the queue and a batch of
    // frames; one held longer (a hook that does not return) is left behind.
    struct timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    while (!link.listener_gone) {
        if (pthread_cond_timedwait(&listener_released, &watch_lock, &deadline) == ETIMEDOUT) {
            logd(log_error, "Interface %s: its listener did not end within 5 seconds", iface->name);
            break;
        }
    }
    link.v4 = nullptr;
    if (link.v6 < 0) link.relaying = false;
    pthread_mutex_unlock(&watch_lock);
}

} // namespace kestivane
