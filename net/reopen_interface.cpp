// Reopening without new privileged descriptors where that is possible: a
// packet socket needs its privilege only to be created, not to be bound to
// another interface, and a filter attaches without privilege; a UDP socket
// stays bound to its address while the address is away and works again
// when it returns. Only a new relay address needs a new socket on the
// server port, which needs the privilege to bind a low port.
#include "net/reopen_interface.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "net/interface_guard.h"
#include "net/opener.h"
#include "net/platform.h"
#include "net/privileged_open.h"

namespace kestivane {

namespace {

// A new socket on the server port is the opener's to open. When it refuses
// or has ended, waiting cannot make it right: the relay ends, and the
// service manager starts it again with its privileges, to open the
// interface as start-up does.
[[noreturn]] void refuse_without_privilege(const struct interface *iface, uint32_t ip) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &ip, text, sizeof text);
    logd(log_error, "Interface %s: no privilege to bind a socket to %s port %d (%s): the relay must be restarted",
         iface->name, text, ntohs(relay_socket_port()), std::strerror(errno));
    process_error(exit_no_privilege, "Can't reopen interface %s without privileges. Exiting.", iface->name);
}

// A UDP socket bound to ip, or -1 after saying why.
int open_socket_for(const struct interface *iface, uint32_t ip, bool log_failure) {
    const char *failed = "bind";
    int sock = open_privileged(privileged_kind::relay_socket, iface->name, ip, &failed);
    if (sock >= 0) return sock;
    if (errno == EPERM || errno == EACCES || std::strcmp(failed, opener_gone) == 0) refuse_without_privilege(iface, ip);
    if (log_failure) logd(log_error, "Interface %s: %s: %s", iface->name, failed, std::strerror(errno));
    return -1;
}

// The new socket takes the old one's descriptor number in one step, so a
// path that has read the number writes to one socket or the other, never
// to a closed or reused descriptor.
void replace_socket(struct interface *iface, int sock) {
    dup2(sock, iface->sock);
    close(sock);
}

// The filter for the hardware address, then the interface: the filter is
// in place before the first frame of the new interface is queued.
reopen_result point_capture(struct interface *iface, unsigned ifindex, const uint8_t mac[6], bool log_failure) {
    packet_capture &capture = request_capture(iface->idx);
    if (const char *failed = install_request_filter(iface->cap, capture, mac)) {
        const char *why = std::strcmp(failed, "pcap_compile") == 0 ? pcap_geterr(iface->cap) : std::strerror(errno);
        if (log_failure) logd(log_error, "Interface %s: %s: %s", iface->name, failed, why);
        return reopen_result::not_yet;
    }
    if (!capture.listen_on(ifindex)) {
        if (log_failure) logd(log_error, "Interface %s: capture: %s", iface->name, std::strerror(errno));
        return reopen_result::not_yet;
    }
    return reopen_result::done;
}

} // namespace

reopen_result reopen_capture(struct interface *iface, unsigned ifindex) {
    return point_capture(iface, ifindex, iface->mac, true);
}

reopen_result reopen_interface(struct interface *iface, unsigned ifindex, const uint8_t mac[6], uint32_t ip,
                               bool log_failure) {
    // The capture is the listener's alone while it is parked: it may be
    // rebound at once, and again at the next try when a later step fails.
    if (point_capture(iface, ifindex, mac, log_failure) != reopen_result::done) return reopen_result::not_yet;
    int sock = -1;
    if (ip != iface->ip) {
        sock = open_socket_for(iface, ip, log_failure);
        if (sock < 0) return reopen_result::not_yet;
    }
    // The frame output is the answer thread's, which writes to it with the
    // record's addresses in the frame: it moves to the new link together
    // with them, in one step under the lock, or not at all.
    interface_writer exclusive;
    if (platform::packet_socket_rebind(iface->bpf, ifindex, platform::packet_kind::output) != 0) {
        if (log_failure) logd(log_error, "Interface %s: frame output: %s", iface->name, std::strerror(errno));
        if (sock >= 0) close(sock);
        return reopen_result::not_yet;
    }
    if (sock >= 0) replace_socket(iface, sock);
    iface->ip = ip;
    std::memcpy(iface->mac, mac, sizeof iface->mac);
    return reopen_result::done;
}

reopen_result move_address(struct interface *iface, uint32_t ip) {
    int sock = open_socket_for(iface, ip, true);
    if (sock < 0) return reopen_result::not_yet;
    adopt_socket(iface, ip, sock);
    return reopen_result::done;
}

void replace_relay_socket(struct interface *iface, int sock) {
    // Wakes the answer thread's wait on the old socket, which would
    // otherwise go on watching it (not the one now under its number) until
    // its time is up.
    shutdown(iface->sock, SHUT_RD);
    replace_socket(iface, sock);
}

void adopt_socket(struct interface *iface, uint32_t ip, int sock) {
    interface_writer exclusive;
    replace_socket(iface, sock);
    iface->ip = ip;
}

} // namespace kestivane
