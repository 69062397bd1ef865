// What the relay needs of the operating system beyond POSIX, one function
// each. net/linux/ implements them for Linux; another system adds its own
// folder with the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <netinet/in.h>

#include <vector>

struct ifaddrs;

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

// One listing of every interface and address, taken at construction: the
// one place that reads interface facts from the system. Looking at n links
// through one listing costs one listing, not n: the watcher looks at every
// relayed link after each event, which with 64 links was 64 listings of 64
// links each.
class link_listing {
public:
    link_listing();
    ~link_listing();
    link_listing(const link_listing &) = delete;
    link_listing &operator=(const link_listing &) = delete;
    // False when the system could not list its interfaces; error() is the
    // errno it gave.
    bool ok() const { return ok_; }
    int error() const { return error_; }
    // The named interface as the listing has it (absent when not ok()).
    link_view view_of(const char *ifname) const;

private:
    struct ifaddrs *list_ = nullptr;
    bool ok_ = false;
    int error_ = 0;
};

// Looks at the named interface through a listing of its own, for opening
// either family's channels and for the plug-ins' get_mac and get_ip. False
// when the system could not list its interfaces (errno says why).
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

// Capabilities and no-new-privileges are kept per thread, and a plug-in may
// have started threads of its own: each of these acts on every thread of
// the process, the caller included, and fails rather than leave one thread
// as it was. They return nullptr, or the name of what failed with errno set.

// Empties the bounding set, so that no thread can ever regain a capability
// through running a program. Needs CAP_SETPCAP in the calling thread; when
// it lacks it nothing is touched and cleared is false.
const char *bounding_set_clear(bool &cleared);

// Empties the ambient, effective, permitted and inheritable capability sets
// and sets no-new-privileges (no set-user-id, no file capabilities gained
// by what the process runs); threads created afterwards inherit all of it.
const char *privileges_clear();

// For the opener, on the calling thread (its only one): keeps the
// capabilities in keep (bits by number) that it has, in its effective and
// permitted sets, empties the inheritable and ambient sets, narrows the
// bounding set to keep where it may (CAP_SETPCAP; bounding_narrowed says
// whether it did) and sets no-new-privileges. Survives a user switch made
// between begin_keeping_capabilities and it. Returns nullptr, or what
// failed with errno set.
const char *begin_keeping_capabilities(uint64_t keep, bool &bounding_narrowed);
const char *capabilities_keep_only(uint64_t keep);

// privileges_clear for the calling thread alone, in a process of one
// thread (the opener's check child).
const char *own_privileges_clear();

// What the kernel reports of one thread's privileges.
struct thread_privileges {
    long tid = 0;
    unsigned long uid[4] = {}; // real, effective, saved, file system
    unsigned long gid[4] = {};
    uint64_t cap_inh = 0, cap_prm = 0, cap_eff = 0, cap_bnd = 0, cap_amb = 0;
    int no_new_privs = -1;
    int seccomp = -1; // 0 none, 1 strict, 2 a filter
};

// Reads every thread of the process. False, with errno set, when the system
// cannot tell; a thread that ends while it is read is left out.
bool read_thread_privileges(std::vector<thread_privileges> &threads);

// The system-call allow-list. The names are the system's own ("openat",
// "sendto"); the relay's own list is fixed, extra names come from the
// configuration.

// Whether the system knows a call of that name.
bool sandbox_call_known(const char *name);

// Confines every thread of the process to the relay's calls and the extra
// ones, for good. A call outside the list fails with EPERM and is noted for
// sandbox_wait_refused. Returns nullptr, or what failed (errno set).
const char *sandbox_install(const std::vector<std::string> &extra_calls);

// Waits until a call the sandbox refused has not been reported yet, and
// returns its name; each call is reported once.
std::string sandbox_wait_refused();

} // namespace kestivane::platform

namespace kestivane::platform {

// Descriptor passing between the relay and its opener, over a connected
// datagram-keeping (SOCK_SEQPACKET) Unix socket: one message of exactly
// size bytes, with at most one descriptor (fd < 0: none).
// send_with_descriptor returns 0, or -1 with errno set; a message is never
// sent in part. receive_with_descriptor returns the bytes read (0 at the
// peer's end; a shorter message than size is the caller's to refuse), or
// -1 with errno set; *fd is the descriptor received or -1.
int send_with_descriptor(int sock, const void *message, std::size_t size, int fd);
long receive_with_descriptor(int sock, void *message, std::size_t size, int *fd);

// The opener's system-call allow-list, for good, on the calling process
// (single-threaded): what it needs to open packet and UDP sockets, list
// interfaces, pass descriptors and run a configuration check in a child
// (files opened for reading only, shared objects mapped, names resolved).
// A call outside it fails with EPERM. Returns nullptr, or what failed (errno set).
const char *opener_sandbox_install();

} // namespace kestivane::platform
