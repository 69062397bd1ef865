// The descriptors that need a privilege to be opened: a request capture, a
// frame output and the UDP socket on the server port of an interface.
// After start-up the relay holds no privilege, so they come from whoever
// still may open them.
#pragma once

#include <cstdint>

namespace kestivane {

enum class privileged_kind : uint8_t {
    capture,      // capture_socket_open(ifname)
    frame_output, // platform::frame_out_open(ifname)
    relay_socket, // open_relay_socket(ip): UDP bound to ip and the relay's server port
};

// A descriptor for the named interface (ip: the address for relay_socket,
// network order), or -1 with errno set and, when failed_step is given, the
// step that failed there ("socket", "setsockopt: SO_BROADCAST",
// "setsockopt: SO_REUSEADDR", "bind"). Through the opener when it runs,
// else opened in this process.
int open_privileged(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed_step = nullptr);

} // namespace kestivane
