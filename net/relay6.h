// The DHCPv6 relay: its lower interfaces, its servers and its threads. The
// tables are filled at start-up, while the configuration is read; once the
// threads run they change only under the interface record lock held
// exclusively (a reload, an awaited interface that came), and never move:
// room for every slot is taken at the first one. A slot keeps its index for
// the life of the process, as the metrics and the watcher name it by it.
#pragma once

#include <netinet/in.h>
#include <net/if.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "net/platform.h"

namespace kestivane::relay6 {

inline constexpr uint16_t server_port = 547;
inline constexpr uint16_t client_port = 546;

// The port the relay sends Relay-Forwards from and takes Relay-Replies on:
// relay_port when set, else 547.
uint16_t upper_port();

// A descriptor closed with its owner.
class descriptor {
public:
    descriptor() = default;
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(descriptor &&other) noexcept : fd_(other.release()) {}
    descriptor &operator=(descriptor &&other) noexcept;
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor();
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// A server: where Relay-Forwards go, and out of which interface when the
// address alone does not say (link-local and multicast addresses).
struct server6 {
    struct sockaddr_in6 addr{};
    unsigned upper_index = 0; // 0: the routing table chooses
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 8]{};
    bool used = true; // some lower interface's list names it: replies from it are taken
};

// A lower interface: where clients and lower relays send from. Its name
// and descriptors never change; its index, hardware address and addresses
// follow the link (the interface watcher switches them while holding the
// interface record lock exclusively, and the relay threads read them while
// holding it shared).
struct lower6 {
    char name[IF_NAMESIZE]{};
    unsigned index = 0;
    uint8_t mac[6]{};
    struct in6_addr link_address{}; // a global address of the interface, or ::
    std::vector<struct in6_addr> own; // every address of the interface
    descriptor capture;    // datagrams to port 547 as the link delivered them
    descriptor membership; // holds ff02::1:2 on the link; receives nothing
    std::vector<std::size_t> servers; // indexes into the server table, in line order
    bool retired = false; // a reload removed it: its slot waits for the name to come back
};

struct settings6 {
    bool interface_id = true;
    bool link_layer_address = true;
};

extern settings6 settings;

std::vector<server6> &servers();
std::vector<lower6> &lowers();

// Opens the named lower interface (or finds it open) and returns its index
// in lowers(); after a warning, lower_absent when it does not exist or has
// no IPv6 address (it may come later), -1 when it cannot be used.
inline constexpr int lower_absent = -2;
int open_lower(std::string_view name);
// Records a lower interface of a usable [servers6] line with its server's
// text, whether it opened or not.
void declare_lower(std::string_view name, std::string_view server_text);
// True when some [servers6] line named a lower interface: the server socket
// is then opened even if none is there yet.
bool declared_any();

// True when some lower interface is open: the v6 relay has work.
bool configured();

// The lower interfaces and the server texts of every usable [servers6]
// line as read, present or not: "<lower> <server>..." each, in the order
// first named. What a reload compares.
std::vector<std::string> declared_lowers();

// Opens the upper socket; the process ends when it cannot. Called once, at
// start-up, when configured() or a lower interface is awaited.
void open_upper();
int upper_socket();
// A UDP socket bound to [::]:port (host order), IPv6 only: what the server
// socket is before it is set up. -1 with errno set, *step naming the step
// that failed.
int open_server_socket(uint16_t port, const char **step);
// A reload's relay_port: the server socket moves to port (host order),
// opened through the opener and set up before it takes the old one's
// descriptor number. nullptr, or the step that failed (errno set) and the
// old socket stays.
const char *move_upper_port(uint16_t port);
// The downward thread is told that its socket was replaced.
void upper_socket_replaced();

// After start-up (a reload, an awaited interface that came); each change
// is published under the interface record lock held exclusively.
// The slot of a server: one with the same text and destination, or a new
// one (unused until a list names it); -1 when the table is full.
int add_server(const server6 &server);
// The index of the lower interface of that name that relays, or -1.
int find_lower(std::string_view name);
// Opens a lower interface (in its old slot when it had one) with those
// servers, and has the watcher follow it. Its index, or -1 after a line
// that says why (not there, no IPv6 address, a socket).
int open_lower_at_run_time(std::string_view name, const std::vector<std::size_t> &servers);
// Gives lower interface idx these servers.
void relist_lower(std::size_t idx, std::vector<std::size_t> servers);
// Stops relaying on lower interface idx: the watcher lets it go, it leaves
// the tables the threads read, and its sockets are closed by the upward
// thread once it no longer waits on them.
void retire_lower(std::size_t idx);
// Marks the servers no list names as unused (replies from them are
// dropped).
void mark_used_servers();

// The address a lower interface with the addresses of view relays from:
// current when the link still has it, else its first global address, else
// :: (the Interface-ID alone then names the link).
struct in6_addr choose_link_address(const struct in6_addr &current, const platform::link_view &view);

// Takes view's addresses, with link_address as the relay address, for
// lower interface idx. Called by the watcher.
void take_addresses(std::size_t idx, const platform::link_view &view, const struct in6_addr &link_address);

// Points lower interface idx at the interface view shows (a new index and
// hardware address after the link was created again): the capture is
// rebound, the group joined there, the addresses taken. Needs no privilege.
// Returns nullptr, or the step that failed with errno set.
const char *reopen_lower(std::size_t idx, const platform::link_view &view);

// The upward thread waits on the lower interfaces' sockets. A change to
// the tables is noted under the record lock held exclusively; then the
// thread is woken to take it, and the descriptors of a retired interface
// are closed by it once it no longer waits on them (at once when it does
// not run).
void tables_changed();
void wake_upward(std::vector<descriptor> closing);

// Closes every socket and empties the tables (for tests that read many
// configurations in one process).
void close_all();

// Starts the two threads: one relays upward, the other downward.
void start_threads();

} // namespace kestivane::relay6
