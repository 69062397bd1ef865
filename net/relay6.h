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

namespace kestivane::relay6 {

inline constexpr uint16_t server_port = 547;
inline constexpr uint16_t client_port = 546;

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

// A lower interface: where clients and lower relays send from.
struct lower6 {
    char name[IF_NAMESIZE]{};
    unsigned index = 0;
    uint8_t mac[6]{};
    bool has_mac = false;
    struct in6_addr link_address{}; // a global address of the interface, or ::
    std::vector<struct in6_addr> own; // every address of the interface
    descriptor capture; // datagrams to port 547 as the link delivered them
    descriptor socket;  // group membership, and the sender of replies
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

// Closes every socket and empties the tables (for tests that read many
// configurations in one process).
void close_all();

// Starts the two threads: one relays upward, the other downward.
void start_threads();

} // namespace kestivane::relay6
