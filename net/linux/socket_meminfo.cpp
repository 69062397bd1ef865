// What the kernel tells of a socket's receive queue through SO_MEMINFO:
// the datagrams it dropped there (with the socket's inode, so that a reader
// can tell a replaced socket), and the bytes it holds (as the kernel
// charges them, headers and all, which is what its limit counts).
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "net/platform.h"

namespace kestivane::platform {

namespace {

bool meminfo_field(int fd, std::size_t field, uint64_t &value) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) return false;
    if (len < (field + 1) * sizeof(uint32_t)) return false;
    value = info[field];
    return true;
}

} // namespace

bool socket_receive_drops(int fd, socket_drops &reading) {
    struct stat before{};
    struct stat after{};
    uint64_t drops = 0;
    if (fstat(fd, &before) != 0 || !meminfo_field(fd, SK_MEMINFO_DROPS, drops) || fstat(fd, &after) != 0)
        return false;
    if (before.st_ino != after.st_ino) {
        errno = EAGAIN;
        return false;
    }
    reading.socket = before.st_ino;
    reading.drops = static_cast<uint32_t>(drops);
    return true;
}

bool socket_receive_queued(int fd, uint64_t &bytes) { return meminfo_field(fd, SK_MEMINFO_RMEM_ALLOC, bytes); }

} // namespace kestivane::platform
