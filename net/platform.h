// What the relay needs of the operating system beyond POSIX, one function
// each. net/linux/ implements them for Linux; another system adds its own
// folder with the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include <netinet/in.h>

#include <vector>

namespace kestivane::platform {

// Opens a handle that puts whole Ethernet frames on the named interface's
// wire unchanged. Returns the descriptor, or -1 with errno set.
int frame_out_open(const char *ifname);

// What a packet socket takes from its interface.
enum class packet_kind {
    output,      // nothing: it only sends
    every_frame, // every protocol (a capture)
    ipv6,        // IPv6 datagrams only
};

// Points a frame output handle, or a capture's descriptor, at the
// interface that now has the given index: an interface deleted and created
// again gets a new index, and the handle is kept rather than opened anew
// because opening needs a privilege that binding does not. Returns 0, or -1
// with errno set.
int packet_socket_rebind(int handle, unsigned ifindex, packet_kind kind);

// Writes one whole frame; returns the bytes taken, or -1 with errno set.
long frame_out_write(int handle, const uint8_t *frame, std::size_t len);

// What the system has now under an interface name.
struct link_view {
    bool present = false;  // an interface of that name exists
    unsigned index = 0;    // its index: a new interface of the same name gets a new one
    bool running = false;  // administratively up with its carrier on
    uint8_t mac[6] = {};   // its hardware address (zeros when it has none)
    std::size_t mac_len = 0; // the bytes of mac it fills: at most 6 (longer
                             // link addresses, InfiniBand's 20 bytes, are cut)
    std::vector<uint32_t> ipv4;        // its IPv4 addresses (network byte order) and
    std::vector<struct in6_addr> ipv6; // IPv6 ones (link-local included), in the
                                       // order the system lists them
};

// Looks at the named interface: the one place that reads interface facts
// from the system, for the watcher, for opening either family's channels
// and for the plug-ins' get_mac and get_ip. False when the system could not
// list its interfaces (errno says why).
bool look_at_link(const char *ifname, link_view &view);

// A descriptor that becomes readable whenever an interface or an IPv4 or
// IPv6 address is added, removed or changed, or -1 with errno set. What changed
// is not told: the reader looks at the interfaces afresh.
int link_events_open();

// Empties the link-event descriptor without waiting. False when it has
// failed for good (errno says why); a lost event (the system's queue
// overflowed) is not a failure, as the reader looks afresh anyway.
bool link_events_drain(int handle);
// The datagrams the kernel dropped because the socket's receive buffer was
// full, since it opened (32 bits wide: it wraps), and which socket that is:
// a descriptor may be given another socket (dup2) between two readings, and
// the new socket's count starts again at 0. False, with errno set, when the
// system cannot tell, or when the descriptor changed socket while it was read.
struct socket_drops {
    uint64_t socket = 0; // the socket's inode: another socket, another number
    uint32_t drops = 0;
};
bool socket_receive_drops(int fd, socket_drops &reading);
// The bytes waiting in a socket's receive queue, as the kernel counts them
// against its receive buffer. False, with errno set, when the system cannot
// tell.
bool socket_receive_queued(int fd, uint64_t &bytes);

// A cheap monotonic clock of millisecond or better resolution.
struct timespec coarse_now();

} // namespace kestivane::platform

namespace kestivane::platform {

// Empties the calling thread's ambient, effective, permitted and inheritable
// capability sets; threads created afterwards inherit the empty sets.
// Returns nullptr, or the name of the call that failed with errno set.
const char *capabilities_clear();

// Keeps this process and everything it runs from ever gaining a privilege
// again (no set-user-id, no file capabilities). 0, or -1 with errno set.
int no_new_privileges_set();

} // namespace kestivane::platform
