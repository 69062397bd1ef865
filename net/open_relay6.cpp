// Opening the DHCPv6 relay's sockets, all at start-up: on each lower
// interface a packet socket that sees datagrams to port 547 with the
// sender's hardware address (for the Client Link-Layer Address option) and
// a UDP socket that joins ff02::1:2 there; one UDP socket on port 547 for
// the servers, which also sends the replies down (naming the lower link in
// each send). Only that socket needs the privilege of the low port, so a
// lower interface deleted and created again is reopened without any: its
// packet socket is rebound and the group joined again.
#include <arpa/inet.h>
#include <err.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/settings.h"
#include "metrics/counters6.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/interface_watch.h"
#include "net/platform.h"
#include "net/privileged_open.h"
#include "net/relay6.h"

namespace kestivane::relay6 {

settings6 settings;

descriptor &descriptor::operator=(descriptor &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

descriptor::~descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

std::vector<server6> server_table;
std::vector<lower6> lower_table;
descriptor upper;
// The port a reload moved the server socket to; 0: as start-up chose.
std::atomic<uint16_t> moved_port{0};
// Every usable [servers6] line as read: each lower interface named, with
// its server texts, whether it opened or not.
std::vector<std::pair<std::string, std::vector<std::string>>> declared;
// Changes after start-up one at a time, whoever asks (a reload, the
// watcher for an awaited interface).
std::mutex changes_lock;

// Room for every slot before the first: the threads hold references into
// the tables, which must never move.
template <typename T> void reserve_all(std::vector<T> &table, std::size_t limit) {
    if (table.capacity() < limit) table.reserve(limit);
}

const struct in6_addr all_relay_agents_and_servers = {{{0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}}};

// Only UDP (next header 17, right after the fixed header) to port 547
// reaches the packet socket, and of fragmented ones (a fragment header, 44,
// right after the fixed header) the first fragment, so that the relay can
// count and log what it does not reassemble; the rest of the link's traffic
// never leaves the kernel.
bool attach_port_filter(int fd) {
    static struct sock_filter code[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 6),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 2),
        /* 2 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 40 + 2),
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, server_port, 7, 8),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_FRAGMENT, 0, 7),
        /* 5 */ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 40),
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 5),
        /* 7 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 40 + 2),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0xFFF8, 3, 0), // a later fragment
        /* 9 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 40 + 8 + 2),
        /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, server_port, 0, 1),
        /* 11 */ BPF_STMT(BPF_RET | BPF_K, 0x40000),
        /* 12 */ BPF_STMT(BPF_RET | BPF_K, 0),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// The lower UDP socket only holds the port and the group: what it would
// receive the packet socket has already seen. A filter that takes nothing
// keeps its queue empty, while the bound port still keeps the kernel from
// answering unicast requests with port-unreachable errors.
bool attach_drop_filter(int fd) {
    static struct sock_filter code[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    struct sock_fprog program = {1, code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

bool set_int(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

// A UDP socket on the upper port (547 unless relay_port names another), on
// every link.
descriptor open_udp(std::string &failed) {
    const char *step = nullptr;
    descriptor fd(open_server_socket(upper_port(), &step));
    if (fd.get() >= 0) return fd;
    failed = step;
    if (failed == "bind") failed = "bind to port " + std::to_string(upper_port());
    return fd;
}

bool join_group(int fd, unsigned index) {
    struct ipv6_mreq group{};
    group.ipv6mr_multiaddr = all_relay_agents_and_servers;
    group.ipv6mr_interface = index;
    // A membership already there (the same index) is as good as a new one.
    return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &group, sizeof group) == 0 || errno == EADDRINUSE;
}

// The group's membership is the socket's only task: it is bound to no port,
// and a filter that takes nothing keeps its queue empty all the same.
bool open_lower_sockets(lower6 &l) {
    std::string failed;
    l.membership = descriptor(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (l.membership.get() < 0) failed = "socket";
    else if (!attach_drop_filter(l.membership.get())) failed = "SO_ATTACH_FILTER";
    else if (!join_group(l.membership.get(), l.index)) failed = "joining ff02::1:2";
    if (failed.empty()) {
        // Bound to no protocol until the filter is in place, so that nothing
        // unfiltered is ever queued.
        l.capture = descriptor(open_privileged(privileged_kind::packet_ipv6, l.name, 0));
        struct sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_IPV6);
        where.sll_ifindex = static_cast<int>(l.index);
        if (l.capture.get() < 0)
            failed = "packet socket";
        else if (!attach_port_filter(l.capture.get()))
            failed = "SO_ATTACH_FILTER";
        else if (!set_int(l.capture.get(), SOL_PACKET, PACKET_AUXDATA, 1))
            failed = "PACKET_AUXDATA";
        else if (::bind(l.capture.get(), reinterpret_cast<struct sockaddr *>(&where), sizeof where) != 0)
            failed = "binding the packet socket";
    }
    if (failed.empty()) return true;
    logd(kestivane::log_error, "DHCPv6 on %s: %s: %s", l.name, failed.c_str(), std::strerror(errno));
    return false;
}

bool is_global(const struct in6_addr &a) {
    return !IN6_IS_ADDR_LINKLOCAL(&a) && !IN6_IS_ADDR_LOOPBACK(&a) && !IN6_IS_ADDR_UNSPECIFIED(&a) &&
           !IN6_IS_ADDR_MULTICAST(&a);
}

// Datagrams to port 547 that arrive on a lower link unicast reach the upper
// socket too (it holds the port on every link), though the packet socket
// relays them already; only a Relay-Reply (from a server on that link) is
// the upper socket's. The filter reads the arrival index and, after the
// UDP header, the message type. Rebuilt whenever a lower index changes.
// The caller holds no record lock.
bool filter_upper(int fd = upper.get()) {
    constexpr uint8_t relay_reply = 13;
    std::vector<unsigned> indexes;
    {
        // The watcher and a reload change the table under the record lock.
        interface_reader steady;
        for (const lower6 &l : lower_table)
            if (!l.retired) indexes.push_back(l.index);
    }
    const std::size_t n = indexes.size();
    std::vector<struct sock_filter> code;
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_IFINDEX)));
    for (std::size_t i = 0; i < n; ++i)
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, indexes[i], static_cast<uint8_t>(n - i), 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0x40000));
    code.push_back(BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, relay_reply, 0, 1));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0x40000));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    struct sock_fprog program = {static_cast<unsigned short>(code.size()), code.data()};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// A lower interface's record as the link shows it now, its sockets not
// opened yet.
lower6 lower_of(const std::string &name, const platform::link_view &view) {
    lower6 l;
    std::memcpy(l.name, name.c_str(), name.size() + 1);
    l.index = view.index;
    std::memcpy(l.mac, view.mac, sizeof l.mac);
    l.own = view.ipv6;
    l.link_address = choose_link_address(in6addr_any, view);
    return l;
}

} // namespace

std::vector<server6> &servers() { return server_table; }
std::vector<lower6> &lowers() { return lower_table; }
bool configured() { return !lower_table.empty(); }
int upper_socket() { return upper.get(); }

void declare_lower(std::string_view name, std::string_view server_text) {
    auto entry = std::find_if(declared.begin(), declared.end(), [name](const auto &d) { return d.first == name; });
    if (entry == declared.end()) entry = declared.insert(declared.end(), {std::string(name), {}});
    entry->second.emplace_back(server_text);
}

std::vector<std::string> declared_lowers() {
    std::vector<std::string> lines;
    for (const auto &[name, texts] : declared) {
        std::string line = name;
        for (const std::string &text : texts) line += ' ' + text;
        lines.push_back(std::move(line));
    }
    return lines;
}

bool declared_any() { return !declared.empty(); }

uint16_t upper_port() {
    if (const uint16_t moved = moved_port.load(std::memory_order_acquire); moved != 0) return moved;
    return relay_port != 0 ? static_cast<uint16_t>(relay_port) : server_port;
}

int open_lower(std::string_view name) {
    for (std::size_t i = 0; i < lower_table.size(); ++i) {
        if (name == lower_table[i].name) return static_cast<int>(i);
    }
    reserve_all(lower_table, metrics::v6_interfaces_limit);
    reserve_all(server_table, metrics::v6_servers_limit);
    const std::string text(name);
    note_named_interface(text);
    platform::link_view view;
    if (text.size() < IF_NAMESIZE && !platform::look_at_link(text.c_str(), view)) {
        logd(kestivane::log_error, "getifaddrs for %s: %s", text.c_str(), std::strerror(errno));
        return -1;
    }
    if (!view.present) {
        logd(kestivane::log_warning, "Interface %s does not exist. Ignored.", text.c_str());
        return lower_absent;
    }
    if (lower_table.size() >= metrics::v6_interfaces_limit) {
        logd(kestivane::log_warning, "Interface %s: too many DHCPv6 interfaces. Ignored.", text.c_str());
        return -1;
    }
    if (view.ipv6.empty()) {
        logd(kestivane::log_warning, "Interface %s has no IPv6 address. Ignored.", text.c_str());
        return lower_absent;
    }
    lower6 l = lower_of(text, view);
    // A check (-t) counts the interface and opens nothing.
    if (!kestivane::check_only && !open_lower_sockets(l)) {
        logd(kestivane::log_warning, "Interface %s: DHCPv6 sockets not opened. Ignored.", l.name);
        return -1;
    }
    char text6[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &l.link_address, text6, sizeof text6);
    if (kestivane::check_only)
        logd(kestivane::log_warning, "Would listen at %s for DHCPv6: link-address %s", l.name, text6);
    else
        logd(kestivane::log_warning, "Listen at %s for DHCPv6: link-address %s", l.name, text6);
    lower_table.push_back(std::move(l));
    return static_cast<int>(lower_table.size() - 1);
}

namespace {

// Multicast to the servers never loops back to this host's own sockets,
// goes at most as far as a Relay-Forward may travel (hop limit 8), and only
// groups this socket joined (none) are delivered to it: without that, every
// client message to ff02::1:2 on a lower link would arrive here too.
// Returns the step that failed, or nullptr.
const char *configure_upper(int fd) {
    if (!set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0)) return "IPV6_MULTICAST_LOOP";
    if (!set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 8)) return "IPV6_MULTICAST_HOPS";
    if (!set_int(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0)) return "IPV6_MULTICAST_ALL";
    // The interface a Relay-Reply came in through: replies to a line that
    // names a multicast group are taken only from its interface.
    if (!set_int(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1)) return "IPV6_RECVPKTINFO";
    if (!filter_upper(fd)) return "SO_ATTACH_FILTER";
    return nullptr;
}

} // namespace

int open_server_socket(uint16_t port, const char **step) {
    descriptor fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    *step = "socket";
    if (fd.get() < 0) return -1;
    struct sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(port);
    if (!set_int(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, 1)) *step = "IPV6_V6ONLY";
    else if (!set_int(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1)) *step = "SO_REUSEADDR";
    else if (::bind(fd.get(), reinterpret_cast<struct sockaddr *>(&any), sizeof any) != 0) *step = "bind";
    else return fd.release();
    return -1;
}

void open_upper() {
    std::string failed;
    upper = open_udp(failed);
    if (failed.empty())
        if (const char *step = configure_upper(upper.get())) failed = step;
    if (!failed.empty()) errx(1, "Can't open the DHCPv6 server socket: %s: %s", failed.c_str(), std::strerror(errno));
}

const char *move_upper_port(uint16_t port) {
    if (upper.get() < 0 || port == upper_port()) return nullptr;
    // The opener opens for an interface the configuration names: any lower
    // one will do, the socket is on every link.
    std::string name;
    {
        interface_reader steady;
        for (const lower6 &l : lower_table)
            if (!l.retired && name.empty()) name = l.name;
    }
    if (name.empty() && !declared.empty()) name = declared.front().first;
    const char *failed = "socket";
    descriptor fresh(open_privileged(privileged_kind::server6_socket, name.c_str(), 0, &failed, htons(port)));
    if (fresh.get() < 0) return failed;
    if (const char *step = configure_upper(fresh.get())) return step;
    // The number stays: the upward thread sends from the new socket at once.
    // The downward thread waits in a read of the old one, which the shutdown
    // ends; what it read there came to the old port.
    descriptor old(::dup(upper.get()));
    if (old.get() < 0) return "dup";
    if (::dup2(fresh.get(), upper.get()) < 0) return "dup2";
    moved_port.store(port, std::memory_order_release);
    upper_socket_replaced();
    ::shutdown(old.get(), SHUT_RD);
    return nullptr;
}

struct in6_addr choose_link_address(const struct in6_addr &current, const platform::link_view &view) {
    for (const struct in6_addr &a : view.ipv6)
        if (is_global(current) && IN6_ARE_ADDR_EQUAL(&a, &current)) return current;
    for (const struct in6_addr &a : view.ipv6)
        if (is_global(a)) return a;
    return in6addr_any;
}

void take_addresses(std::size_t idx, const platform::link_view &view, const struct in6_addr &link_address) {
    lower6 &l = lower_table[idx];
    interface_writer exclusive;
    l.own = view.ipv6;
    l.link_address = link_address;
}

const char *reopen_lower(std::size_t idx, const platform::link_view &view) {
    lower6 &l = lower_table[idx];
    if (platform::packet_socket_rebind(l.capture.get(), view.index, platform::packet_kind::ipv6) != 0)
        return "binding the packet socket";
    // The membership on the old index went with its interface.
    if (!join_group(l.membership.get(), view.index)) return "joining ff02::1:2";
    {
        interface_writer exclusive;
        l.index = view.index;
        std::memcpy(l.mac, view.mac, sizeof l.mac);
        l.own = view.ipv6;
        l.link_address = choose_link_address(l.link_address, view);
    }
    if (upper.get() >= 0 && !filter_upper()) return "SO_ATTACH_FILTER on the server socket";
    return nullptr;
}

int find_lower(std::string_view name) {
    for (std::size_t i = 0; i < lower_table.size(); ++i)
        if (!lower_table[i].retired && name == lower_table[i].name) return static_cast<int>(i);
    return -1;
}

int add_server(const server6 &server) {
    std::lock_guard<std::mutex> one_at_a_time(changes_lock);
    for (std::size_t s = 0; s < server_table.size(); ++s) {
        const server6 &known = server_table[s];
        if (std::strcmp(known.text, server.text) == 0 && known.upper_index == server.upper_index &&
            std::memcmp(&known.addr, &server.addr, sizeof known.addr) == 0)
            return static_cast<int>(s);
    }
    if (server_table.size() >= metrics::v6_servers_limit) return -1;
    // Taken by replies only once a list names it.
    server6 fresh = server;
    fresh.used = false;
    interface_writer exclusive;
    // Taken at start-up already, unless no server line was usable then.
    reserve_all(server_table, metrics::v6_servers_limit);
    server_table.push_back(fresh);
    tables_changed();
    return static_cast<int>(server_table.size() - 1);
}

int open_lower_at_run_time(std::string_view name, const std::vector<std::size_t> &servers) {
    std::unique_lock<std::mutex> one_at_a_time(changes_lock);
    int slot = -1;
    for (std::size_t i = 0; i < lower_table.size(); ++i) {
        if (name != lower_table[i].name) continue;
        if (!lower_table[i].retired) return static_cast<int>(i); // relaying already
        slot = static_cast<int>(i);
    }
    const std::string text(name);
    if (slot < 0 && lower_table.size() >= metrics::v6_interfaces_limit) {
        logd(kestivane::log_error, "Interface %s: too many DHCPv6 interfaces; not opened", text.c_str());
        return -1;
    }
    platform::link_view view;
    if (text.size() >= IF_NAMESIZE || !platform::look_at_link(text.c_str(), view)) {
        logd(kestivane::log_error, "getifaddrs for %s: %s", text.c_str(), std::strerror(errno));
        return -1;
    }
    if (!view.present || view.ipv6.empty()) {
        logd(kestivane::log_error, "Interface %s: %s; DHCPv6 not opened", text.c_str(),
             view.present ? "no IPv6 address" : "not there");
        return -1;
    }
    lower6 l = lower_of(text, view);
    l.servers = servers;
    if (!open_lower_sockets(l)) {
        logd(kestivane::log_error, "Interface %s: DHCPv6 sockets not opened", l.name);
        return -1;
    }
    std::size_t idx = 0;
    {
        interface_writer exclusive;
        if (slot >= 0) {
            // The retired record's leftovers go with l, after the hold.
            idx = static_cast<std::size_t>(slot);
            std::swap(lower_table[idx], l);
        } else {
            reserve_all(lower_table, metrics::v6_interfaces_limit);
            lower_table.push_back(std::move(l));
            idx = lower_table.size() - 1;
        }
        tables_changed();
    }
    one_at_a_time.unlock();
    if (upper.get() >= 0 && !filter_upper())
        logd(kestivane::log_error, "DHCPv6 on %s: SO_ATTACH_FILTER on the server socket: %s", text.c_str(),
             std::strerror(errno));
    wake_upward({});
    watch_lower(idx);
    char text6[INET6_ADDRSTRLEN];
    {
        interface_reader steady;
        inet_ntop(AF_INET6, &lower_table[idx].link_address, text6, sizeof text6);
    }
    logd(kestivane::log_warning, "Listen at %s for DHCPv6: link-address %s", text.c_str(), text6);
    return static_cast<int>(idx);
}

void relist_lower(std::size_t idx, std::vector<std::size_t> servers) {
    {
        std::lock_guard<std::mutex> one_at_a_time(changes_lock);
        interface_writer exclusive;
        // The old list is freed after the hold, with this copy.
        lower_table[idx].servers.swap(servers);
        tables_changed();
    }
}

void retire_lower(std::size_t idx) {
    // The watcher first: once it lets the link go, it no longer rebinds the
    // capture.
    stop_watching_lower(idx);
    std::vector<descriptor> closing;
    std::vector<std::size_t> old_servers;
    {
        std::lock_guard<std::mutex> one_at_a_time(changes_lock);
        interface_writer exclusive;
        lower6 &l = lower_table[idx];
        l.retired = true;
        closing.push_back(std::move(l.capture));
        closing.push_back(std::move(l.membership));
        old_servers.swap(l.servers);
        tables_changed();
    }
    if (upper.get() >= 0 && !filter_upper())
        logd(kestivane::log_error, "DHCPv6: SO_ATTACH_FILTER on the server socket: %s", std::strerror(errno));
    wake_upward(std::move(closing));
}

void mark_used_servers() {
    std::lock_guard<std::mutex> one_at_a_time(changes_lock);
    std::vector<bool> used(server_table.size(), false);
    interface_writer exclusive;
    for (const lower6 &l : lower_table)
        for (std::size_t s : l.servers) used[s] = true;
    for (std::size_t s = 0; s < server_table.size(); ++s) server_table[s].used = used[s];
}

void close_all() {
    declared.clear();
    lower_table.clear();
    server_table.clear();
    upper = descriptor();
    settings = settings6{};
}

} // namespace kestivane::relay6
