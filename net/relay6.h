// The DHCPv6 relay: its lower interfaces, its servers and its threads. The
// tables are filled at start-up, while the configuration is read, and only
// read once the threads run.
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
};

struct settings6 {
    bool interface_id = true;
    bool link_layer_address = true;
};

extern settings6 settings;

std::vector<server6> &servers();
std::vector<lower6> &lowers();

// Opens the named lower interface (or finds it open) and returns its index
// in lowers(), or -1 after a warning when it does not exist or has no IPv6.
int open_lower(std::string_view name);

// True when some lower interface is open: the v6 relay has work.
bool configured();

// Opens the upper socket; the process ends when it cannot. Called once, at
// start-up, when configured().
void open_upper();
int upper_socket();

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

// Closes every socket and empties the tables (for tests that read many
// configurations in one process).
void close_all();

// Starts the two threads: one relays upward, the other downward.
void start_threads();

} // namespace kestivane::relay6
