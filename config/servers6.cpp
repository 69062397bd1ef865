// [servers6] lines and the v6 option keys.
#include "config/servers6.h"

#include <arpa/inet.h>
#include <err.h>
#include <net/if.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/server_text.h"
#include "core/settings.h"
#include "metrics/counters6.h"
#include "net/interface_lifecycle.h"
#include "net/relay6.h"

namespace kestivane::config {

namespace {

bool parse_port(std::string_view text, uint16_t &port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// Reads a server text into server; false (after saying why) when it cannot
// be used.
bool read_server(std::string_view text, relay6::server6 &server) {
    server_text parts;
    uint16_t port = relay6::server_port;
    if (!split_server_text(text, address_family::v6, parts) || (parts.port && !parse_port(*parts.port, port))) {
        logd(kestivane::log_warning, "DHCPv6 server %.*s: not [address]:port.", static_cast<int>(text.size()),
             text.data());
        return false;
    }
    const std::string address_text(parts.host);
    const std::string_view upper = parts.scope;
    server.addr.sin6_family = AF_INET6;
    server.addr.sin6_port = htons(port);
    if (inet_pton(AF_INET6, address_text.c_str(), &server.addr.sin6_addr) != 1) {
        logd(kestivane::log_warning, "DHCPv6 server %s: not an IPv6 address.", address_text.c_str());
        return false;
    }
    if (!upper.empty()) {
        const std::string upper_text(upper);
        server.upper_index = upper_text.size() < IF_NAMESIZE ? if_nametoindex(upper_text.c_str()) : 0;
        if (server.upper_index == 0) {
            logd(kestivane::log_warning, "DHCPv6 server %s: interface %s does not exist.", address_text.c_str(),
                 upper_text.c_str());
            return false;
        }
    }
    const struct in6_addr &a = server.addr.sin6_addr;
    const bool scoped = IN6_IS_ADDR_LINKLOCAL(&a) || IN6_IS_ADDR_MULTICAST(&a);
    if (scoped && server.upper_index == 0) {
        logd(kestivane::log_warning, "DHCPv6 server %s: a link-local or multicast address needs %%<interface>.",
             address_text.c_str());
        return false;
    }
    if (IN6_IS_ADDR_UNSPECIFIED(&a)) {
        logd(kestivane::log_warning, "DHCPv6 server %s: not an address to send to.", address_text.c_str());
        return false;
    }
    // Link-local peers are reached through the scope of the upper link.
    if (IN6_IS_ADDR_LINKLOCAL(&a)) server.addr.sin6_scope_id = server.upper_index;
    std::snprintf(server.text, sizeof server.text, "%.*s", static_cast<int>(text.size()), text.data());
    return true;
}

// Keys match without regard to case, like every other key.
bool same_key(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

bool read_switch(std::string_view value, bool &out) {
    if (value == "on") out = true;
    else if (value == "off") out = false;
    else return false;
    return true;
}

} // namespace

void parse_servers6_line(std::string_view line) {
    const server_line parts = split_server_line(line);
    const std::string_view text = parts.server;

    auto &servers = relay6::servers();
    if (servers.size() >= metrics::v6_servers_limit) {
        logd(kestivane::log_warning, "Too many DHCPv6 servers: %.*s ignored.", static_cast<int>(text.size()),
             text.data());
        return;
    }
    relay6::server6 server;
    if (!read_server(text, server)) {
        logd(kestivane::log_warning, "Can't open DHCPv6 server %.*s. Ignored.", static_cast<int>(text.size()),
             text.data());
        return;
    }
    const std::size_t number = servers.size();
    bool accepted = false;
    for (std::string_view name : parts.interfaces) {
        relay6::declare_lower(name, server.text);
        int idx = relay6::open_lower(name);
        // One not there yet (or without IPv6) is opened when it comes.
        if (idx == relay6::lower_absent && !kestivane::check_only) {
            const std::string ifname(name);
            kestivane::await_interface6(ifname.c_str(), server.text);
        }
        if (idx < 0) continue;
        relay6::lowers()[static_cast<std::size_t>(idx)].servers.push_back(number);
        accepted = true;
    }
    if (!accepted) {
        logd(kestivane::log_warning, "DHCPv6 server %s serves no interface. Ignored.", server.text);
        return;
    }
    servers.push_back(server);
    logd(kestivane::log_warning, "DHCPv6 server #%zu: %s", servers.size(), server.text);
}

int server6_slot(std::string_view text) {
    relay6::server6 server;
    if (!read_server(text, server)) return -1;
    const int slot = relay6::add_server(server);
    if (slot < 0)
        logd(kestivane::log_error, "Too many DHCPv6 servers: %.*s ignored.", static_cast<int>(text.size()), text.data());
    return slot;
}

std::vector<std::size_t> server6_slots(const std::vector<std::string> &texts) {
    std::vector<std::size_t> slots;
    for (const std::string &text : texts) {
        const int slot = server6_slot(text);
        if (slot >= 0 && std::find(slots.begin(), slots.end(), static_cast<std::size_t>(slot)) == slots.end())
            slots.push_back(static_cast<std::size_t>(slot));
    }
    return slots;
}

bool set_v6_option(std::string_view key, std::string_view value, int line_number) {
    bool *flag = nullptr;
    if (same_key(key, "v6_interface_id")) flag = &relay6::settings.interface_id;
    else if (same_key(key, "v6_link_layer_address")) flag = &relay6::settings.link_layer_address;
    else return false;
    if (!read_switch(value, *flag))
        errx(1, "Wrong %.*s value (on or off). Line: %d", static_cast<int>(key.size()), key.data(), line_number);
    logd(kestivane::log_debug, "Option %.*s set to: %s", static_cast<int>(key.size()), key.data(),
         *flag ? "on" : "off");
    return true;
}

} // namespace kestivane::config
