// Opening an interface: its record in ifs, its server list, and the three
// channels the relay paths use: frame output for answers, a capture of
// client requests, and a UDP socket bound to the interface's address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/settings.h"
#include "net/interface_channels.h"
#include "net/platform.h"
#include "net/privileged_open.h"

namespace {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

// Adds the newest server to an interface that is already open, unless its
// list is as long as the server table.
void add_newest_server(struct interface *iface) {
    if (iface->srv_count == srv_num) return;
    auto *grown = static_cast<int32_t *>(
        std::realloc(iface->srv_idx, static_cast<std::size_t>(iface->srv_count + 1) * sizeof(int32_t)));
    if (grown == nullptr) process_error(16, "malloc");
    iface->srv_idx = grown;
    iface->srv_idx[iface->srv_count++] = srv_num - 1;
}

// The capture: a handle to compile its filter on (the record's cap), and a
// packet socket that receives only what that filter lets through.
void open_capture(struct interface *iface, const char *name) {
    iface->cap = kestivane::open_filter_compiler();
    if (iface->cap == nullptr) process_error(32, "pcap_open_live(%s): %s", name, std::strerror(ENOMEM));
    const char *failed = kestivane::open_request_capture(kestivane::request_capture(iface->idx), iface->cap, name,
                                                         iface->mac);
    if (failed == nullptr) return;
    if (std::strcmp(failed, "pcap_open_live") == 0)
        process_error(32, "pcap_open_live(%s): %s", name, std::strerror(errno));
    process_error(32, "%s", failed);
}

int open_udp_socket(const char *name, uint32_t ip) {
    const char *failed = nullptr;
    int sock = kestivane::open_privileged(kestivane::privileged_kind::relay_socket, name, ip, &failed);
    if (sock >= 0) return sock;
    if (std::strcmp(failed, "socket") == 0)
        process_error(32, "socket for listener at %s: %s", name, std::strerror(errno));
    if (std::strcmp(failed, "bind") == 0) process_error(32, "bind: %s", std::strerror(errno));
    process_error(32, "%s", failed);
}

// The three channels; any failure ends the process.
void open_channels(struct interface *iface, const char *name) {
    iface->bpf = kestivane::open_privileged(kestivane::privileged_kind::frame_output, name, 0);
    if (iface->bpf < 0) {
        // The refusal's text is fixed; the reason (most often a missing
        // CAP_NET_RAW) goes to the log just before it.
        logd(kestivane::log_error, "frame output on %s: %s", name, std::strerror(errno));
        process_error(32, "Can't BIOCSETIF");
    }
    open_capture(iface, name);
    iface->sock = open_udp_socket(name, iface->ip);
}

} // namespace

extern "C" int32_t open_interface(const char *name) {
    if (if_num >= kestivane::interfaces_limit) process_error(32, "too many interfaces");
    logd(kestivane::log_debug, "Trying to open interface: %s", name);
    kestivane::note_named_interface(name);

    if (struct interface *open = get_interface_by_name(name); open != nullptr) {
        add_newest_server(open);
        return 1;
    }

    // The record stays uncounted, and is released on the paths that return 0,
    // until every channel is open.
    std::unique_ptr<struct interface, free_deleter> iface(
        static_cast<struct interface *>(std::calloc(1, sizeof(struct interface))));
    if (!iface) process_error(16, "malloc");
    ifs[if_num] = iface.get();
    iface->idx = if_num;
    std::snprintf(iface->name, sizeof iface->name, "%s", name);
    iface->bpf = -1;
    iface->sock = -1;

    if (get_mac(name, iface->mac) == 0 || get_ip(name, &iface->ip, get_bound_ip(name)) == 0) {
        ifs[if_num] = nullptr;
        return 0;
    }

    iface->srv_count = 1;
    iface->srv_idx = static_cast<int32_t *>(std::malloc(sizeof(int32_t)));
    if (iface->srv_idx == nullptr) process_error(16, "malloc");
    iface->srv_idx[0] = srv_num - 1;

    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &iface->ip, dotted, sizeof dotted);
    if (kestivane::check_only) {
        // A check counts the interface as a start would, with its address
        // and server list, and leaves its channels unopened.
        logd(kestivane::log_warning, "Would listen at %s: %s, %s", name, dotted,
             kestivane::format_mac(iface->mac).text);
    } else {
        open_channels(iface.get(), name);
        logd(kestivane::log_warning, "Listen at %s: %s, %s", name, dotted, kestivane::format_mac(iface->mac).text);
    }

    iface.release();
    ++if_num;
    return 1;
}
