// Source interfaces: a client interface may send its requests from the
// address of another interface (typically a loopback, as on a fabric whose
// leaves all carry the same gateway address on a client segment). That
// address is then giaddr and the source of what goes to the servers, and
// the answers come back to it, on one socket per source address that every
// interface sharing the address reads through. Such an answer names its
// client interface in option 82 (the link selection sub-option, which the
// relay writes whenever a source interface is set): its giaddr no longer
// tells the interfaces apart. Interfaces without a source interface keep
// their own address as giaddr and their own socket.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/kestivane_plugin.h"

namespace kestivane {

// One source_interface setting.
struct source_choice {
    std::string ifname; // empty: every interface
    std::string source;
    uint32_t address; // 0: the source interface's first
};

// A socket bound to a source address.
struct source_socket_entry {
    uint32_t address;
    int sock;
};

// Records the configuration's choice: the client interface ifname (every
// interface when empty) sends from the first IPv4 address of the interface
// source, or from address (network byte order) when it is not 0. A choice
// for an interface beats the one for all; of two for the same, the later
// counts.
void choose_source_interface(std::string_view ifname, std::string_view source, uint32_t address);

// Fixes every interface's source address and opens one socket per address
// (none in a check); ends the process, saying why, when a source interface
// has no IPv4 address or not the one named. Start-up calls it once the
// configuration is read, before any thread runs.
void settle_source_addresses();

// Forgets every choice, source address and socket (closing them): what a
// fresh configuration starts from.
void forget_source_addresses();

// The choices as lines "<interface or *> <source> <address or 0.0.0.0>", in
// the order made: what a reload compares and takes over.
std::vector<std::string> describe_source_choices();

// A reload's source interfaces (choices as described) and relay port
// (network order), in three steps, the caller holding the interface set
// and the watcher still (no interface opens, retires or moves its address
// meanwhile): prepare resolves the source address of every open interface
// and opens, through the opener, each socket not open on that address and
// port yet; commit, under the interface record lock held exclusively,
// makes them the table; the end closes what is no longer used (or, without
// a commit, what prepare opened).
class source_switch {
public:
    // False with the reason (a start's message, or the step that failed).
    bool prepare(const std::vector<std::string> &choice_lines, uint16_t port, std::string &why);
    // The same, from choices already read.
    bool prepare(std::vector<source_choice> chosen, uint16_t port, std::string &why);
    void commit();
    ~source_switch();

private:
    std::vector<source_choice> choices_;
    std::vector<source_socket_entry> sockets_;
    std::vector<bool> opened_; // per entry of sockets_: opened by prepare
    std::array<int32_t, KESTIVANE_MAX_INTERFACES> source_of_{};
    std::vector<int> to_close_;
    bool committed_ = false;
};

// For an interface opened after start-up (iface): the source addresses as
// the choices in effect give them, its sub-options with them; the caller
// holds the interface set (hold_interface_set). Said in the log when its
// source address cannot be had: it sends from its own.
void settle_source_address_at_run_time(const struct interface *iface);

// Whether iface sends from a source interface's address.
bool has_source_address(const struct interface *iface);

// The address iface puts in giaddr: its source address, or its own.
uint32_t relay_address(const struct interface *iface);

// The socket iface's requests go to the servers through.
int sending_socket(const struct interface *iface);

// Moves each time a reload (or an interface opened later) changes the
// source socket table; read under the interface record lock.
uint64_t source_table_version();

// The sockets bound to source addresses, in the order of their numbers.
int32_t source_socket_count();
int source_socket(int32_t number);

// The interface an answer read from source socket number is for, found
// among the interfaces sending from that socket's address by the address
// in its link selection sub-option or, without one, by a circuit-id that
// is an interface's name (what the agent_info plug-in writes by default);
// if_num when it names none of them.
int32_t interface_of_answer(struct dhcp_packet &answer, int32_t number);

// The first interface sending from source socket number: where what cannot
// be told to any interface is counted.
int32_t first_interface_of(int32_t number);

} // namespace kestivane
