// Server lines and server texts, read the same way for both families: a
// server line is "<server> <interface>...", a server text an address or
// host name with an optional port, and for DHCPv6 an optional
// "%<interface>". What the parts mean (how a port is converted, how a host
// is resolved) stays with each family's table.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace kestivane::config {

enum class address_family { v4, v6 };

struct server_line {
    // Up to the first blank or tab (empty when the line begins with one).
    std::string_view server;
    // The fields after it, in line order; runs of blanks and tabs make no
    // empty fields. Each is followed in the line by a separator or by the
    // line's end.
    std::vector<std::string_view> interfaces;
};

server_line split_server_line(std::string_view line);

struct server_text {
    std::string_view host;                // a prefix of the text in the DHCPv4 form and the plain DHCPv6 form
    std::optional<std::string_view> port; // the text after the port's ':', to the end
    std::string_view scope;               // after '%' (DHCPv6 only); empty without
};

// DHCPv4: "host[:port]", the first ':' ends the host. DHCPv6:
// "address[%interface]" or "[address[%interface]]:port". False for a
// bracket without "]:" and a port after it.
bool split_server_text(std::string_view text, address_family family, server_text &parts);

} // namespace kestivane::config
