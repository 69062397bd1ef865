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
#include "net/platform.h"

namespace {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

// "00:11:22:33:44:55": always two digits per byte, so that the filter text
// and the log line read the same as other tools print the address.
struct mac_text {
    char text[18];
};

mac_text format_mac(const uint8_t mac[6]) {
    mac_text out;
    std::snprintf(out.text, sizeof out.text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return out;
}

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

constexpr int capture_ring_bytes = 512 * 1024;

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
    // resident: 2.8 MB per interface. The listener empties the ring
    // within microseconds of each wake-up, and requests it has taken wait
    // on the request queue, not in the ring, so a quarter of that (340
    // slots, over 10 ms of a 30,000 requests/s flood on one segment) is
    // plenty.
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

void install_request_filter(pcap_t *cap, const uint8_t mac[6]) {
    char text[80];
    std::snprintf(text, sizeof text, "udp and dst port bootps and not ether src %s", format_mac(mac).text);
    struct bpf_program program{};
    if (pcap_compile(cap, &program, text, 0, 0) != 0) process_error(32, "pcap_compile");
    int status = pcap_setfilter(cap, &program);
    pcap_freecode(&program);
    if (status != 0) process_error(32, "pcap_setfilter");
}

int open_udp_socket(const char *name, uint32_t ip) {
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) process_error(32, "socket for listener at %s: %s", name, std::strerror(errno));
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        process_error(32, "setsockopt: SO_BROADCAST");
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        process_error(32, "setsockopt: SO_REUSEADDR");
    // One thread takes the answers one at a time, and a server answers a
    // burst of requests (a rate-limit window's worth under a flood) in a
    // burst: the system's default buffer holds only a few hundred answers
    // and dropped the rest unseen. Room for some thousands: beyond the
    // system's ceiling (net.core.rmem_max) where the relay has CAP_NET_ADMIN,
    // else up to that ceiling; where both are refused the default stands.
    const int answer_buffer = 4 << 20;
#ifdef SO_RCVBUFFORCE
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &answer_buffer, sizeof answer_buffer) != 0)
#endif
        (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &answer_buffer, sizeof answer_buffer);
    struct sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = static_cast<in_port_t>(bootps_port);
    address.sin_addr.s_addr = ip;
    if (bind(sock, reinterpret_cast<const struct sockaddr *>(&address), sizeof address) != 0)
        process_error(32, "bind: %s", std::strerror(errno));
    return sock;
}

} // namespace

extern "C" int32_t open_interface(const char *name) {
    if (if_num >= kestivane::interfaces_limit) process_error(32, "too many interfaces");
    logd(kestivane::log_debug, "Trying to open interface: %s", name);

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

    iface->bpf = kestivane::platform::frame_out_open(name);
    if (iface->bpf < 0) {
        // The refusal's text is fixed; the reason (most often a missing
        // CAP_NET_RAW) goes to the log just before it.
        logd(kestivane::log_error, "frame output on %s: %s", name, std::strerror(errno));
        process_error(32, "Can't BIOCSETIF");
    }
    iface->cap = open_capture(name);
    install_request_filter(iface->cap, iface->mac);
    iface->sock = open_udp_socket(name, iface->ip);

    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &iface->ip, dotted, sizeof dotted);
    logd(kestivane::log_warning, "Listen at %s: %s, %s", name, dotted, format_mac(iface->mac).text);

    iface.release();
    ++if_num;
    return 1;
}
