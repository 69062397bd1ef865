// The DHCPv6 parts of the configuration file: [servers6] lines and the v6
// keys of [options].
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestivane::config {

// "<server> <lower-interface>...": <server> is an IPv6 address, optionally
// "%<upper-interface>", or "[<address>[%<upper-interface>]]:<port>". A server
// that cannot be used, or an interface that cannot, is skipped with a
// warning; a server that no interface took is forgotten.
void parse_servers6_line(std::string_view line);

// The slot in the server table of the server a [servers6] text names, as
// a reload or an awaited interface that came needs it: the same one, or a
// new one. -1 after a line that says why.
int server6_slot(std::string_view text);
// The slots of a line's server texts, each once, in line order; a text
// without a slot is left out (said by server6_slot).
std::vector<std::size_t> server6_slots(const std::vector<std::string> &texts);

// Sets v6_interface_id or v6_link_layer_address ("on" or "off"). False when
// key is neither; a wrong value ends the process.
bool set_v6_option(std::string_view key, std::string_view value, int line_number);

} // namespace kestivane::config
