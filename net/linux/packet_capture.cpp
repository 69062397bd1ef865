// The request capture on Linux: a packet socket of every protocol, bound
// to one interface, its filter attached before it is bound to any protocol
// so that no unfiltered frame is ever queued on it. It is read with
// recvmmsg: a burst costs one call. A frame whose VLAN tag the interface
// took off (the kernel keeps it aside) gets it back in place, so that the
// listener sees the frame as it was on the wire and drops it as not IPv4.
#include "net/packet_capture.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <pcap/bpf.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/wire.h"
#include "net/platform.h"

namespace kestivane {

namespace {

// The kernel's bound on the frames waiting in the socket, counted by the
// whole buffer each one occupies (about a kilobyte for a request). Under a
// flood the listener stops reading while its share of the request queue is
// full, so the socket stays full and every request read from it has waited
// the socket's whole length first: this bound is the wait of an overloaded
// segment, and the memory it may pin. Some two hundred requests, a few
// milliseconds at the relay's full rate, absorb the bursts of normal load
// and keep that wait short. The kernel doubles what it is asked for.
constexpr int receive_buffer_bytes = 256 * 1024;

constexpr uint32_t vlan_tag_len = 4;

// Puts back the VLAN tag the kernel reports for a frame of *len bytes.
void restore_vlan_tag(uint8_t *frame, uint32_t &len, struct msghdr &m) {
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
        struct tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        if ((aux.tp_status & TP_STATUS_VLAN_VALID) == 0 && aux.tp_vlan_tci == 0) return;
        if (len < 2 * 6 || len + vlan_tag_len > frame_batch::room) return;
        const uint16_t tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? aux.tp_vlan_tpid : ETH_P_8021Q;
        std::memmove(frame + 2 * 6 + vlan_tag_len, frame + 2 * 6, len - 2 * 6);
        wire::store_be16(frame + 2 * 6, tpid);
        wire::store_be16(frame + 2 * 6 + 2, aux.tp_vlan_tci);
        len += vlan_tag_len;
        return;
    }
}

} // namespace

int capture_socket_open(const char *ifname) {
    // The same socket as a frame output: bound to the interface with
    // protocol 0, it receives nothing.
    return platform::frame_out_open(ifname);
}

bool packet_capture::adopt(int fd) {
    close();
    // The wait is an epoll set made once: a poll of the two descriptors
    // registered and removed both at every wake-up, which with one listener
    // woken per request (many quiet segments) was a tenth of the relay's
    // processor time.
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ >= 0) waits_fd_ = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event frames{EPOLLIN, {.u32 = 0}}, wake{EPOLLIN, {.u32 = 1}};
    if (wake_fd_ < 0 || waits_fd_ < 0 || epoll_ctl(waits_fd_, EPOLL_CTL_ADD, fd, &frames) != 0 ||
        epoll_ctl(waits_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) {
        int saved = errno;
        ::close(fd);
        close();
        errno = saved;
        return false;
    }
    fd_ = fd;
    dropped_ = 0;
    woken_.store(false);
    // Neither setting is a reason to refuse a capture: without them it
    // works with the system's default buffer and without VLAN tags.
    const int half = receive_buffer_bytes / 2;
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &half, sizeof half);
    const int on = 1;
    (void)setsockopt(fd_, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    return true;
}

bool packet_capture::attach_filter(const struct bpf_program &program) {
    // libpcap's instructions are laid out as the kernel's.
    static_assert(sizeof(struct bpf_insn) == sizeof(struct sock_filter));
    struct sock_fprog kernel_program{};
    kernel_program.len = static_cast<unsigned short>(program.bf_len);
    kernel_program.filter = reinterpret_cast<struct sock_filter *>(program.bf_insns);
    return setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &kernel_program, sizeof kernel_program) == 0;
}

bool packet_capture::listen_on(unsigned ifindex) {
    if (ifindex == 0) {
        // Index 0 would bind the socket to every interface.
        struct sockaddr_ll bound{};
        socklen_t len = sizeof bound;
        if (getsockname(fd_, reinterpret_cast<struct sockaddr *>(&bound), &len) != 0) return false;
        if (bound.sll_family != AF_PACKET || bound.sll_ifindex <= 0) {
            errno = ENODEV;
            return false;
        }
        ifindex = static_cast<unsigned>(bound.sll_ifindex);
    }
    return platform::packet_socket_rebind(fd_, ifindex, platform::packet_kind::every_frame) == 0;
}

bool packet_capture::take_wake() {
    if (!woken_.exchange(false)) return false;
    uint64_t count;
    (void)!::read(wake_fd_, &count, sizeof count);
    return true;
}

capture_status packet_capture::wait(int timeout_ms) {
    if (take_wake()) return capture_status::woken;
    struct epoll_event ready[2];
    int n = epoll_wait(waits_fd_, ready, 2, timeout_ms);
    if (n < 0) {
        if (errno == EINTR) return capture_status::nothing;
        error_ = errno;
        return capture_status::failed;
    }
    if (take_wake()) return capture_status::woken;
    // An error pending on the socket shows as an event: the read reports it.
    for (int k = 0; k < n; ++k)
        if (ready[k].data.u32 == 0) return capture_status::frames;
    return capture_status::nothing;
}

capture_status packet_capture::read(frame_batch &batch) {
    batch.count = 0;
    if (take_wake()) return capture_status::woken;
    for (unsigned k = 0; k < frame_batch::size; ++k) {
        // The kernel shortens these to what it filled in; each read starts
        // from the full room again.
        batch.parts[k] = {batch.frames[k], frame_batch::room - vlan_tag_len};
        struct msghdr &m = batch.reads[k].msg_hdr;
        m = {};
        m.msg_iov = &batch.parts[k];
        m.msg_iovlen = 1;
        m.msg_control = batch.control[k];
        m.msg_controllen = sizeof batch.control[k];
    }
    int got = recvmmsg(fd_, batch.reads, frame_batch::size, MSG_DONTWAIT, nullptr);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return capture_status::nothing;
        error_ = errno;
        return capture_status::failed;
    }
    for (unsigned k = 0; k < static_cast<unsigned>(got); ++k) {
        batch.len[k] = batch.reads[k].msg_len;
        restore_vlan_tag(batch.frames[k], batch.len[k], batch.reads[k].msg_hdr);
    }
    batch.count = static_cast<unsigned>(got);
    return got > 0 ? capture_status::frames : capture_status::nothing;
}

const char *packet_capture::failure() const { return std::strerror(error_); }

void packet_capture::wake() {
    woken_.store(true);
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
}

uint64_t packet_capture::kernel_dropped() {
    // The kernel's counts start again at 0 each time they are read.
    struct tpacket_stats stats{};
    socklen_t len = sizeof stats;
    if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0) dropped_ += stats.tp_drops;
    return dropped_;
}

void packet_capture::close() {
    if (fd_ >= 0) ::close(fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    if (waits_fd_ >= 0) ::close(waits_fd_);
    fd_ = wake_fd_ = waits_fd_ = -1;
}

} // namespace kestivane
