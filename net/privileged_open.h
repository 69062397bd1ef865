// Opening what needs a privilege: packet sockets (CAP_NET_RAW) and sockets
// on the server port (CAP_NET_BIND_SERVICE). Start-up opens them in its own
// process; once the opener runs, every later opening (an interface that
// comes, one reopened with a new address, a reload) asks it, since the relay
// itself keeps no privilege.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestivane {

enum class privileged_kind : uint8_t {
    capture,      // capture_socket_open(ifname): bound to the interface with protocol 0, it receives nothing yet
    frame_output, // what platform::frame_out_open opens
    relay_socket, // UDP bound to ip and relay_socket_port(), as open_relay_socket
    packet_ipv6,  // AF_PACKET SOCK_DGRAM, protocol 0, unbound: a DHCPv6 lower capture
    server6_socket, // UDP on [::] at port (547 when 0), IPv6 only: the DHCPv6 server socket a relay_port moves
};

// "capture", "frame output", ... for log lines.
const char *kind_name(privileged_kind kind);

// A descriptor of that kind for the named interface (ip: the address a
// relay_socket binds, network order), or -1 with errno set. Through the
// opener when it runs, else opened in this process. *failed (when given)
// names the step that failed: "socket", "bind", "setsockopt: SO_BROADCAST",
// or "refused" when the opener refused the request (errno EPERM). port: a
// relay_socket's port (network order), 0 for relay_socket_port(): a reload
// opens the sockets of a new relay_port before it moves to it.
int open_privileged(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed = nullptr,
                    uint16_t port = 0);

// Opens in this process, whatever runs: the opener's own step, and the
// relay's before the opener exists.
int open_here(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed, uint16_t port = 0);

// The interfaces the configuration names (every family, the absent ones and
// the source interfaces included), noted as they are read: what the opener
// may open for.
void note_named_interface(std::string_view name);
const std::vector<std::string> &named_interfaces();
// Empties the list, before a configuration is read afresh.
void forget_named_interfaces();

} // namespace kestivane
