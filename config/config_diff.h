// What changed between two described configurations, and the log line that
// says it.
#pragma once

#include <string>
#include <vector>

#include "config/config_check.h"

namespace kestivane::config {

struct configuration_change {
    std::vector<std::string> interfaces_added;
    std::vector<std::string> interfaces_removed;
    // Interfaces in both whose servers (or their order) differ.
    std::vector<std::string> interfaces_relisted;
    // Interfaces in both whose relay address differs (bind_ip).
    std::vector<std::string> interfaces_moved;
    std::size_t servers_added = 0;   // servers some interface uses now and none did
    std::size_t servers_removed = 0; // servers no interface uses any more
    // [servers6]: lower interfaces named and no longer named, those in both
    // whose servers differ, and the servers (as written) some lower
    // interface uses now and none did, and the reverse.
    std::vector<std::string> lowers_added;
    std::vector<std::string> lowers_removed;
    std::vector<std::string> lowers_relisted;
    std::size_t servers6_added = 0;
    std::size_t servers6_removed = 0;
    bool servers6_changed() const {
        return !lowers_added.empty() || !lowers_removed.empty() || !lowers_relisted.empty();
    }
    std::vector<std::string> options; // keys that take effect at once, in the description's order
    // What only a restart applies: keys, "[servers6]", "plug-in sections",
    // "relay_port (DHCPv6)" (the DHCPv6 side of a relay_port that changed).
    std::vector<std::string> restart;
};

configuration_change compare_configurations(const configuration_description &before,
                                            const configuration_description &after);

// The [options] lines in effect once after is applied: those of the keys a
// reload applies from after, the others (which need a restart) from before;
// source_interface's from before too when the reload could not apply it.
std::vector<std::string> settings_in_effect(const configuration_description &before,
                                            const configuration_description &after, bool sources_applied = true);

// "Reloaded <path>: interfaces +1 -0, servers +1 -1[, DHCPv6 interfaces +1 -0,
// DHCPv6 servers +1 -0][, addresses <names>][, options <keys>]".
std::string change_line(const std::string &path, const configuration_change &change);

// "<what> changed: restart to apply", one per entry of change.restart.
std::vector<std::string> restart_lines(const configuration_change &change);

// A "lower6" line of a description: the lower interface and its server
// texts, in line order.
struct lower6_entry {
    std::string name;
    std::vector<std::string> servers;
};
std::vector<lower6_entry> lower6_entries(const configuration_description &d);

} // namespace kestivane::config
