// Passing one descriptor with one message (SCM_RIGHTS). The relay and its
// opener use a SOCK_SEQPACKET pair: message boundaries are kept, so a
// request or reply is read whole or not at all, and the peer's end reads as
// 0 bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/platform.h"

namespace kestivane::platform {

int send_with_descriptor(int sock, const void *message, std::size_t size, int fd) {
    struct iovec part{const_cast<void *>(message), size};
    struct msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        struct cmsghdr *rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    // MSG_NOSIGNAL: a peer that has gone is an error to report, not SIGPIPE.
    ssize_t sent;
    do sent = sendmsg(sock, &header, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) return -1;
    if (static_cast<std::size_t>(sent) != size) {
        errno = EMSGSIZE;
        return -1;
    }
    return 0;
}

long receive_with_descriptor(int sock, void *message, std::size_t size, int *fd) {
    *fd = -1;
    struct iovec part{message, size};
    struct msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got;
    do got = recvmsg(sock, &header, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got < 0) return -1;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        // Every descriptor that came is taken: the first is the answer, any
        // other (never sent by the peer) is closed rather than leaked.
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            if (*fd < 0) *fd = received;
            else close(received);
        }
    }
    // A truncated message or its descriptors cut short is not the peer's.
    if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<long>(got);
}

} // namespace kestivane::platform
