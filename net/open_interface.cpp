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

constexpr int capture_ring_bytes = 256 * 1024;

// Immediate mode hands each request to the listener as it arrives; otherwise
// the kernel's ring would hold it until a block fills or the time-out passes.
struct pcap *open_capture(const char *name) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *cap = pcap_create(name, errbuf);
    if (cap == nullptr) process_error(32, "pcap_open_live(%s): %s", name, errbuf);
    int status = pcap_set_snaplen(cap, max_packet_size);
    if (status == 0) status = pcap_set_promisc(cap, 0);
    if (status == 0) status = pcap_set_timeout(cap, 100);
    if (status == 0) status = pcap_set_immediate_mode(cap, 1);
    // The capture ring: libpcap's default of 2 MiB gives every interface
    // some 1,300 slots of about 2 KiB each (a slot holds a whole snapshot
    // length), and the listener, cycling through them, keeps all of it
    // resident: 2.8 MB per interface. Under a flood the listener stops
    // reading while its share of the request queue is full, so the ring
    // stays full and every request read from it has waited the ring's whole
    // length first: the ring is the wait of an overloaded segment. An eighth
    // of the default (about 170 slots, some 3 ms at the relay's full rate)
    // absorbs the bursts of normal load and keeps that wait short.
    if (status == 0) status = pcap_set_buffer_size(cap, capture_ring_bytes);
    if (status == 0) status = pcap_activate(cap);
    if (status < 0) {
        // Some failures leave libpcap's own text empty; its status text then says it.
        const char *text = pcap_geterr(cap);
        if (text == nullptr || text[0] == '\0') text = pcap_statustostr(status);
        process_error(32, "pcap_open_live(%s): %s", name, text);
    }
    return cap;
}

int open_udp_socket(const char *name, uint32_t ip) {
    const char *failed = nullptr;
    int sock = kestivane::open_relay_socket(ip, &failed);
    if (sock >= 0) return sock;
    if (std::strcmp(failed, "socket") == 0)
        process_error(32, "socket for listener at %s: %s", name, std::strerror(errno));
    if (std::strcmp(failed, "bind") == 0) process_error(32, "bind: %s", std::strerror(errno));
    process_error(32, "%s", failed);
}

// The three channels; any failure ends the process.
void open_channels(struct interface *iface, const char *name) {
    iface->bpf = kestivane::platform::frame_out_open(name);
    if (iface->bpf < 0) {
        // The refusal's text is fixed; the reason (most often a missing
        // CAP_NET_RAW) goes to the log just before it.
        logd(kestivane::log_error, "frame output on %s: %s", name, std::strerror(errno));
        process_error(32, "Can't BIOCSETIF");
    }
    iface->cap = open_capture(name);
    if (const char *failed = kestivane::install_request_filter(iface->cap, iface->mac)) process_error(32, "%s", failed);
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
