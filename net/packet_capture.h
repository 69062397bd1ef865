// The capture of one interface's client requests: a packet socket that the
// kernel fills through the request filter, read a burst at a time by the
// interface's listener alone, with a wake-up that any thread may give and
// the count of the frames the kernel dropped because the socket was full.
// The socket itself may be made elsewhere (creating it is privileged;
// filtering, binding and reading it are not) and handed in.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "core/settings.h"

struct bpf_program;

namespace kestivane {

enum class capture_status {
    frames,  // frames are waiting (wait) or were read (read)
    nothing, // the wait timed out, or nothing was waiting
    woken,   // another thread asked the reader to look up (wake)
    failed,  // the socket failed; failure() says why
};

// The frames of one read, each at most max_packet_size_limit bytes plus a
// VLAN tag put back in place.
struct frame_batch {
    static constexpr unsigned size = 16;
    static constexpr unsigned room = max_packet_size_limit + 4;
    uint8_t frames[size][room];
    uint32_t len[size];
    unsigned count = 0;
    // The kernel's account of each frame (its VLAN tag) and the read's
    // bookkeeping.
    alignas(struct cmsghdr) uint8_t control[size][64];
    struct iovec parts[size];
    struct mmsghdr reads[size];
};

class packet_capture {
public:
    packet_capture() = default;
    ~packet_capture() { close(); }
    packet_capture(const packet_capture &) = delete;
    packet_capture &operator=(const packet_capture &) = delete;

    // Takes a packet socket that receives nothing yet (bound to its
    // interface with protocol 0, as capture_socket_open makes it), or any
    // datagram socket standing in for one, and bounds its receive buffer.
    // False with errno set when the wake-up cannot be made; the socket is
    // then closed.
    bool adopt(int fd);
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Replaces the socket's filter with program. False with errno set.
    bool attach_filter(const struct bpf_program &program);
    // Receives every frame of the interface with that index (0: the one
    // the socket is bound to now) that the filter lets through. False with
    // errno set.
    bool listen_on(unsigned ifindex);

    // Waits up to timeout_ms for frames, a wake-up or a failure.
    capture_status wait(int timeout_ms);
    // Reads what is waiting, up to a batch, without waiting.
    capture_status read(frame_batch &batch);
    // The failure that wait or read reported.
    const char *failure() const;

    // Makes the reader's current or next wait or read return woken, once.
    // Safe from any thread.
    void wake();

    // The frames the kernel dropped for want of room since the capture
    // opened; the reader's alone.
    uint64_t kernel_dropped();

    // Closes the socket and the wake-up. The reader must be off it.
    void close();

private:
    bool take_wake();

    int fd_ = -1;
    int wake_fd_ = -1;
    int waits_fd_ = -1; // epoll: the socket and the wake-up
    std::atomic<bool> woken_{false};
    int error_ = 0;
    uint64_t dropped_ = 0;
};

// A packet socket bound to the named interface with protocol 0, so that
// nothing is queued on it until it has a filter and listens. Returns it, or
// -1 with errno set. Needs the privilege to open packet sockets.
int capture_socket_open(const char *ifname);

} // namespace kestivane
