// The thread that follows the interfaces. It wakes on the system's link and
// address events and on a listener whose capture failed, and then compares
// every interface with what the system has now: nothing is read from the
// events themselves, so an event lost or coalesced changes nothing. While
// some interface is not relaying it also looks once a second, which paces
// retries and measures the grace period; otherwise it sleeps until an event.
#include "net/interface_watch.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/settings.h"
#include "metrics/counters.h"
#include "net/platform.h"
#include "net/reopen_interface.h"

namespace kestivane {

namespace {

// What the watcher knows of one interface. Guarded by watch_lock.
struct watch_record {
    bool relaying = true;
    unsigned ifindex = 0;            // the index its channels are bound to
    bool listener_parked = false;    // its listener waits in wait_until_reopened
    bool capture_failed = false;     // its listener reported a failure not yet handled
    char failure[PCAP_ERRBUF_SIZE]{};
    uint64_t generation = 0;         // moves each time the listener may read again
    bool reopen_failure_logged = false;
    time_t last_recovery = 0;        // monotonic second of the last capture recovery
};

pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t listener_released = PTHREAD_COND_INITIALIZER;
watch_record records[KESTIVANE_MAX_INTERFACES];
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

bool has_address(const platform::link_view &view, uint32_t ip) {
    for (int i = 0; i < view.ipv4_count; ++i)
        if (view.ipv4[i] == ip) return true;
    return false;
}

// The address to relay from on this view of the interface, or 0 when there
// is none: the bound address when bind_ip names one, else the one it had
// if it still has it, else its first.
uint32_t relay_address(const struct interface *iface, const platform::link_view &view) {
    if (const uint32_t *bound = get_bound_ip(iface->name)) return has_address(view, *bound) ? *bound : 0;
    if (has_address(view, iface->ip)) return iface->ip;
    return view.ipv4_count > 0 ? view.ipv4[0] : 0;
}

void set_relaying(watch_record &record, int32_t idx, bool relaying) {
    record.relaying = relaying;
    metrics::of_interface(idx).link.up.set(relaying ? 1 : 0);
}

// The interface stops relaying (the caller's line says why), and its
// listener is asked to leave its capture and wait.
void stop_relaying(watch_record &record, struct interface *iface) {
    set_relaying(record, iface->idx, false);
    record.reopen_failure_logged = false;
    // Safe from another thread: it only raises a flag and wakes the reader.
    if (!record.listener_parked) pcap_breakloop(iface->cap);
}

void release_listener(watch_record &record) {
    record.capture_failed = false;
    ++record.generation;
    pthread_cond_broadcast(&listener_released);
}

// A capture failure on an interface that is still there under the same
// index. A link taken down fails a capture too; it is not worth a line, and
// rebinding (to the same index) clears it, as it clears any other fault.
void recover_capture(watch_record &record, struct interface *iface, const platform::link_view &view) {
    if (!record.listener_parked) return; // it parks at once; its wake-up comes back here
    // A capture that fails again at once is recovered once a second, not in
    // a loop (the once-a-second look comes back here).
    time_t now = monotonic_now().tv_sec;
    if (record.last_recovery != 0 && now - record.last_recovery < 1) return;
    record.last_recovery = now;
    if (view.running) logd(log_error, "Capture on %s failed: %s; reopening it", iface->name, record.failure);
    if (reopen_capture(iface, view.index) != reopen_result::done) {
        set_relaying(record, iface->idx, false);
        return;
    }
    release_listener(record);
}

void try_reopen(watch_record &record, struct interface *iface, const platform::link_view &view) {
    uint32_t ip = relay_address(iface, view);
    if (!view.present || ip == 0) return;
    // The capture is rebound only while its listener keeps off it.
    if (!record.listener_parked) {
        pcap_breakloop(iface->cap);
        return;
    }
    reopen_result result = reopen_interface(iface, view.index, view.mac, ip, !record.reopen_failure_logged);
    if (result != reopen_result::done) {
        record.reopen_failure_logged = true;
        return;
    }
    record.ifindex = view.index;
    set_relaying(record, iface->idx, true);
    metrics::of_interface(iface->idx).link.reopened.add();
    char text[INET_ADDRSTRLEN];
    logd(log_warning, "Interface %s is back: relaying on it again at %s, %s", iface->name, dotted(iface->ip, text),
         format_mac(iface->mac).text);
    release_listener(record);
}

void follow(watch_record &record, struct interface *iface) {
    platform::link_view view;
    if (!platform::look_at_link(iface->name, view)) {
        logd(log_error, "getifaddrs: %s", std::strerror(errno));
        return;
    }
    if (record.relaying) {
        if (!view.present) {
            logd(log_error, "Interface %s disappeared: relaying on it stops until it returns", iface->name);
            stop_relaying(record, iface);
        } else if (view.index != record.ifindex) {
            logd(log_error,
                 "Interface %s was replaced by a new interface of that name: relaying on it stops until it returns",
                 iface->name);
            stop_relaying(record, iface);
        } else if (!has_address(view, iface->ip)) {
            uint32_t ip = relay_address(iface, view);
            char lost[INET_ADDRSTRLEN];
            char found[INET_ADDRSTRLEN];
            dotted(iface->ip, lost);
            if (ip != 0 && move_address(iface, ip) == reopen_result::done) {
                metrics::of_interface(iface->idx).link.reopened.add();
                logd(log_warning, "Interface %s lost its address %s: relaying from %s now", iface->name, lost,
                     dotted(ip, found));
            } else {
                logd(log_error, "Interface %s lost its address %s: relaying on it stops until it returns",
                     iface->name, lost);
                stop_relaying(record, iface);
            }
        } else if (record.capture_failed) {
            recover_capture(record, iface, view);
        }
    }
    if (!record.relaying) try_reopen(record, iface, view);
}

// Ends the relay once no interface has relayed for the grace period: with
// nothing left to do it would only look alive.
void check_grace() {
    if (!end_when_nothing_left) return;
    bool any = false;
    for (int32_t i = 0; i < if_num; ++i) any = any || records[i].relaying;
    if (any) {
        all_gone = false;
        return;
    }
    struct timespec now = monotonic_now();
    if (!all_gone) {
        all_gone = true;
        all_gone_since = now;
        return;
    }
    if (now.tv_sec - all_gone_since.tv_sec >= interface_grace)
        process_error(exit_no_interface, "No interface left to relay on for %d seconds. Exiting.",
                      static_cast<int>(interface_grace));
}

// True while something waits for a retry or for its grace period to end.
bool follow_all() {
    pthread_mutex_lock(&watch_lock);
    bool pending = false;
    for (int32_t i = 0; i < if_num; ++i) {
        follow(records[i], ifs[i]);
        pending = pending || !records[i].relaying || records[i].capture_failed;
    }
    check_grace();
    pthread_mutex_unlock(&watch_lock);
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

} // namespace

void start_interface_watch(bool end_when_all_gone) {
    end_when_nothing_left = end_when_all_gone;
    // Opened before the first look, so that no change falls between the two.
    events_fd = platform::link_events_open();
    if (events_fd < 0) process_error(32, "interface events: %s", std::strerror(errno));
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) process_error(32, "eventfd: %s", std::strerror(errno));
    for (int32_t i = 0; i < if_num; ++i) {
        // An interface gone since it was opened shows as a changed index (0)
        // at the first look.
        platform::link_view view;
        if (platform::look_at_link(ifs[i]->name, view)) records[i].ifindex = view.index;
        metrics::of_interface(i).link.up.set(1);
    }
    pthread_t thread;
    int status = pthread_create(&thread, nullptr, watch, nullptr);
    if (status != 0) process_error(32, "pthread_create: %s", std::strerror(status));
    pthread_detach(thread);
}

void wait_until_reopened(struct interface *iface, int status, const char *text) {
    pthread_mutex_lock(&watch_lock);
    watch_record &record = records[iface->idx];
    if (status == PCAP_ERROR_BREAK && record.relaying && !record.capture_failed) {
        pthread_mutex_unlock(&watch_lock);
        return;
    }
    if (record.relaying && !record.capture_failed) {
        record.capture_failed = true;
        std::snprintf(record.failure, sizeof record.failure, "%s", text);
    }
    record.listener_parked = true;
    const uint64_t eventfd_add = 1;
    (void)!write(wake_fd, &eventfd_add, sizeof eventfd_add);
    const uint64_t seen = record.generation;
    while (record.generation == seen) pthread_cond_wait(&listener_released, &watch_lock);
    record.listener_parked = false;
    pthread_mutex_unlock(&watch_lock);
}

} // namespace kestivane
