// A configuration described as text: what a start would make of a file
// (interfaces with their server lists, servers with their resolved
// addresses, the values of [options], the bindings, [servers6], plug-in
// sections), written by a child process that reads the file with the very
// code a start and a check (-t) run, and read back by the relay to apply a
// reload. The relay itself never reads the file at run time: the child
// holds no lock of the relay's threads and may end through errx on a bad
// line without harm.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct server;

namespace kestivane::config {

struct configuration_description {
    struct server_entry {
        std::string name;  // the host part as written
        uint32_t ip = 0;   // resolved, network byte order
        uint16_t port = 0; // network byte order
        bool operator==(const server_entry &) const = default;
    };
    struct interface_entry {
        std::string name;
        uint32_t ip = 0;                  // the relay address, network byte order
        std::vector<std::size_t> servers; // indexes into servers, in forwarding order
    };
    struct option_entry {
        std::string key;
        std::string value;
        bool operator==(const option_entry &) const = default;
    };
    std::vector<server_entry> servers;
    std::vector<interface_entry> interfaces;
    // The resolved values of the keys that take effect at once, every one of
    // them, defaults included.
    std::vector<option_entry> options;
    // Every [options] line as written, for the keys that only a restart
    // applies (compared as written).
    std::vector<std::string> settings;
    struct binding_entry {
        std::string ifname;
        uint32_t ip = 0; // network byte order
        bool operator==(const binding_entry &) const = default;
    };
    std::vector<binding_entry> bindings; // bind_ip, those kept
    // Interfaces named with a server that do not exist now: to be awaited.
    struct absent_entry {
        std::string ifname;
        server_entry server;
    };
    std::vector<absent_entry> absent;
    std::vector<std::string> servers6; // per DHCPv6 lower interface: "<name> <server>..."
    // The option-82 sub-option choices, "<key> <on|off> [<interface>]".
    std::vector<std::string> suboptions;
    // The source interface choices, "<interface or *> <source> <address>".
    std::vector<std::string> source_choices;
    std::vector<std::string> plugins;  // "[<name>]" for a section, then its lines
    // Every interface the file names that the relay may open: what a
    // privileged opener may open for it.
    std::vector<std::string> named_interfaces;
};

// The description of the relay's tables and settings as they are now.
std::string describe_tables();

// To run in a fresh child process: empties the tables it inherited, reads
// path as a start would, in check mode, and writes the description of the
// result to out_fd. A refusal ends the process through errx, with the
// message and status a start would give.
[[noreturn]] void describe_configuration(const char *path, int out_fd);

// The description read back; nothing when the text is not one.
std::optional<configuration_description> parse_description(std::string_view text);

// Records one [options] line as read (the file reader's part).
void record_setting(std::string_view line);

// Records, in a check, an interface of a server line that does not exist
// now, with that line's server.
void record_absent_interface(std::string_view ifname, const struct server &srv);

} // namespace kestivane::config
