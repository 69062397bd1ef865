// The bytes a socket's receive queue holds, read with SO_MEMINFO: what the
// kernel charges for them, headers and all, which is what its limit counts.
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstdint>

#include "net/platform.h"

namespace kestivane::platform {

bool socket_receive_queued(int fd, uint64_t &bytes) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) return false;
    if (len < (SK_MEMINFO_RMEM_ALLOC + 1) * sizeof(uint32_t)) return false;
    bytes = info[SK_MEMINFO_RMEM_ALLOC];
    return true;
}

} // namespace kestivane::platform
