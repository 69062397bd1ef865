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

// "Reloaded <path>: interfaces +1 -0, servers +1 -1[, addresses <names>][, options <keys>]".
std::string change_line(const std::string &path, const configuration_change &change);

// "<what> changed: restart to apply", one per entry of change.restart.
std::vector<std::string> restart_lines(const configuration_change &change);

} // namespace kestivane::config
