// Filter and UDP socket of an interface, shared by start-up and reopening.
#include "net/interface_channels.h"

#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/settings.h"
#include "net/privileged_open.h"

namespace kestivane {

mac_text format_mac(const uint8_t mac[6]) {
    mac_text out;
    std::snprintf(out.text, sizeof out.text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return out;
}

packet_capture &request_capture(int32_t idx) {
    static packet_capture captures[KESTIVANE_MAX_INTERFACES];
    return captures[idx];
}

struct pcap *open_filter_compiler() { return pcap_open_dead(DLT_EN10MB, max_packet_size); }

const char *install_request_filter(struct pcap *cap, packet_capture &capture, const uint8_t mac[6]) {
    char text[80];
    std::snprintf(text, sizeof text, "udp and dst port bootps and not ether src %s", format_mac(mac).text);
    struct bpf_program program{};
    if (pcap_compile(cap, &program, text, 0, 0) != 0) return "pcap_compile";
    bool attached = capture.attach_filter(program);
    int saved = errno;
    pcap_freecode(&program);
    errno = saved;
    return attached ? nullptr : "pcap_setfilter";
}

const char *open_request_capture(packet_capture &capture, struct pcap *cap, const char *name, const uint8_t mac[6]) {
    int fd = open_privileged(privileged_kind::capture, name, 0);
    if (fd < 0 || !capture.adopt(fd)) return "pcap_open_live";
    if (const char *failed = install_request_filter(cap, capture, mac)) {
        int saved = errno;
        capture.close();
        errno = saved;
        return failed;
    }
    if (!capture.listen_on(0)) {
        int saved = errno;
        capture.close();
        errno = saved;
        return "pcap_open_live";
    }
    return nullptr;
}

int open_relay_socket(uint32_t ip, const char **failed, uint16_t port) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0) {
        *failed = "socket";
        return -1;
    }
    auto give_up = [sock, failed](const char *step) {
        int saved = errno;
        close(sock);
        errno = saved;
        *failed = step;
        return -1;
    };
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return give_up("setsockopt: SO_BROADCAST");
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return give_up("setsockopt: SO_REUSEADDR");
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
    address.sin_port = port != 0 ? port : relay_socket_port();
    address.sin_addr.s_addr = ip;
    if (bind(sock, reinterpret_cast<const struct sockaddr *>(&address), sizeof address) != 0) return give_up("bind");
    return sock;
}

} // namespace kestivane
