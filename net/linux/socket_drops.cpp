// The kernel's count of datagrams dropped on a socket's receive queue, read
// with SO_MEMINFO.
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstdint>

#include "net/platform.h"

namespace kestivane::platform {

bool socket_receive_drops(int fd, uint64_t &drops) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) return false;
    if (len < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) return false;
    drops = info[SK_MEMINFO_DROPS];
    return true;
}

} // namespace kestivane::platform
