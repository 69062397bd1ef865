// Opening in this process: what start-up does while it still holds its
// privileges.
#include "net/privileged_open.h"

#include "net/interface_channels.h"
#include "net/packet_capture.h"
#include "net/platform.h"

namespace kestivane {

int open_privileged(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed_step) {
    const char *failed = "socket";
    int fd = -1;
    switch (kind) {
    case privileged_kind::capture: fd = capture_socket_open(ifname); break;
    case privileged_kind::frame_output: fd = platform::frame_out_open(ifname); break;
    case privileged_kind::relay_socket: fd = open_relay_socket(ip, &failed); break;
    }
    if (fd < 0 && failed_step != nullptr) *failed_step = failed;
    return fd;
}

} // namespace kestivane
