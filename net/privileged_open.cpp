// The opening steps themselves, the same in the relay before the opener
// exists and in the opener after.
#include "net/privileged_open.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/settings.h"
#include "net/interface_channels.h"
#include "net/opener.h"
#include "net/packet_capture.h"
#include "net/platform.h"
#include "net/relay6.h"

namespace kestivane {

namespace {

std::vector<std::string> &names() {
    static std::vector<std::string> table;
    return table;
}

} // namespace

const char *kind_name(privileged_kind kind) {
    switch (kind) {
    case privileged_kind::capture: return "capture";
    case privileged_kind::frame_output: return "frame output";
    case privileged_kind::relay_socket: return "relay socket";
    case privileged_kind::packet_ipv6: return "DHCPv6 capture";
    case privileged_kind::server6_socket: return "DHCPv6 server socket";
    }
    return "unknown";
}

int open_here(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed, uint16_t port) {
    const char *step = nullptr;
    int fd = -1;
    switch (kind) {
    case privileged_kind::capture:
        fd = capture_socket_open(ifname);
        step = "socket";
        break;
    case privileged_kind::frame_output:
        fd = platform::frame_out_open(ifname);
        step = "socket";
        break;
    case privileged_kind::relay_socket:
        fd = open_relay_socket(ip, &step, port);
        break;
    case privileged_kind::server6_socket:
        fd = relay6::open_server_socket(port != 0 ? ntohs(port) : relay6::server_port, &step);
        break;
    case privileged_kind::packet_ipv6:
        fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        step = "socket";
        break;
    default:
        errno = EINVAL;
        step = "unknown kind";
    }
    if (fd < 0 && failed != nullptr) *failed = step;
    return fd;
}

int open_privileged(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed, uint16_t port) {
    if (port == 0) port = relay_socket_port();
    if (opener_running()) return ask_opener(kind, ifname, ip, failed, port);
    return open_here(kind, ifname, ip, failed, port);
}

void note_named_interface(std::string_view name) {
    auto &table = names();
    if (std::find(table.begin(), table.end(), name) == table.end()) table.emplace_back(name);
}

const std::vector<std::string> &named_interfaces() { return names(); }

void forget_named_interfaces() { names().clear(); }

} // namespace kestivane
