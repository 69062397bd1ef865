#include "net/relay_suboptions.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/wire.h"
#include "net/source_address.h"

namespace kestivane {

namespace {

// The unicast flag of the relay agent flags: the request reached the relay
// addressed to it, not broadcast.
constexpr uint8_t flag_unicast = 0x80;

struct choice {
    fabric_suboption which;
    std::string ifname; // empty: every interface
    bool on;
};

struct interface_plan {
    bool link_selection = false;
    bool server_id_override = false;
    dhcp::suboptions codes; // the codes written here, as empty sub-options: what answers lose
};

// Written by the configuration and start-up alone, read by the packet paths.
std::vector<choice> choices;
std::array<interface_plan, KESTIVANE_MAX_INTERFACES> plans;
bool source_port = false;

bool chosen(fabric_suboption which, const char *ifname) {
    bool on = false;
    bool own = false;
    for (const choice &c : choices) {
        if (c.which != which) continue;
        if (c.ifname.empty() && !own) on = c.on;
        if (!c.ifname.empty() && c.ifname == ifname) {
            on = c.on;
            own = true;
        }
    }
    return on;
}

bool in_table(const struct interface *iface) {
    return iface != nullptr && iface->idx >= 0 && iface->idx < KESTIVANE_MAX_INTERFACES;
}

} // namespace

void choose_suboption(fabric_suboption which, std::string_view ifname, bool on) {
    choices.push_back({which, std::string(ifname), on});
}

void forget_relay_suboptions() {
    choices.clear();
    plans.fill(interface_plan{});
    source_port = false;
}

std::string describe_suboption_choices() {
    std::string text;
    for (const choice &c : choices) {
        text += c.which == fabric_suboption::link_selection ? "link_selection" : "server_id_override";
        text += c.on ? " on" : " off";
        if (!c.ifname.empty()) text += ' ' + c.ifname;
        text += '\n';
    }
    return text;
}

void replace_suboption_choices(const std::vector<std::string> &lines) {
    choices.clear();
    for (std::string_view line : lines) {
        const std::size_t blank = line.find(' ');
        const std::string_view key = line.substr(0, blank);
        std::string_view rest = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
        const std::size_t second = rest.find(' ');
        const bool on = rest.substr(0, second) == "on";
        const std::string_view ifname = second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
        choose_suboption(key == "link_selection" ? fabric_suboption::link_selection
                                                 : fabric_suboption::server_id_override,
                         ifname, on);
    }
    settle_relay_suboptions();
}

void settle_relay_suboptions() {
    // A server that honours it answers to the port the request came from,
    // instead of the bootps port; the sub-option is empty in a request.
    source_port = relay_socket_port() != static_cast<uint16_t>(bootps_port);
    for (int32_t i = 0; i < if_num; ++i) {
        const struct interface *iface = ifs[i];
        if (!in_table(iface)) continue;
        interface_plan &plan = plans[static_cast<std::size_t>(iface->idx)];
        plan = interface_plan{};
        // Answers to a source address find their interface by link
        // selection: it is written whenever a source interface is set.
        plan.link_selection =
            has_source_address(iface) || chosen(fabric_suboption::link_selection, iface->name);
        plan.server_id_override = chosen(fabric_suboption::server_id_override, iface->name);
        if (plan.link_selection) plan.codes.add(dhcp::sub_link_selection, nullptr, 0);
        if (plan.server_id_override) {
            plan.codes.add(dhcp::sub_relay_agent_flags, nullptr, 0);
            plan.codes.add(dhcp::sub_server_id_override, nullptr, 0);
        }
        if (source_port) plan.codes.add(dhcp::sub_relay_source_port, nullptr, 0);
    }
}

bool writes_suboptions(const struct interface *iface) {
    return in_table(iface) && !plans[static_cast<std::size_t>(iface->idx)].codes.empty();
}

int32_t with_relay_suboptions(const struct queue_item &item, const struct interface *iface,
                              struct dhcp_packet &out) {
    std::memcpy(&out, &item.buf, sizeof out);
    // A request that came through a relay before this one is that relay's
    // to describe: its giaddr names the client's subnet, and the server
    // answers it there; sub-options of this relay would name another
    // subnet, server identifier and port.
    uint32_t giaddr;
    std::memcpy(&giaddr, reinterpret_cast<const uint8_t *>(&out) + wire::msg_giaddr, sizeof giaddr);
    if (giaddr != relay_address(iface)) return get_dhcp_len(&out);
    const interface_plan &plan = plans[static_cast<std::size_t>(iface->idx)];
    // In code order. The address is read now: it follows the interface
    // when it moves to another address.
    dhcp::suboptions ours;
    const auto *address = reinterpret_cast<const uint8_t *>(&iface->ip);
    if (plan.link_selection) ours.add(dhcp::sub_link_selection, address, sizeof iface->ip);
    if (plan.server_id_override) {
        const uint8_t flags = item.dst_ip != INADDR_BROADCAST ? flag_unicast : 0;
        ours.add(dhcp::sub_relay_agent_flags, &flags, 1);
        ours.add(dhcp::sub_server_id_override, address, sizeof iface->ip);
    }
    if (source_port) ours.add(dhcp::sub_relay_source_port, nullptr, 0);
    // Sub-options of these codes already in the request were written by the
    // client (its giaddr was empty): a forged link selection ahead of ours
    // would pick the subnet, and the segment its answer is delivered on.
    // Only this relay's own go to the server.
    dhcp::remove_suboptions(out, plan.codes);
    if (!dhcp::add_suboptions(out, ours)) {
        logd(log_error, "No room for the relay's option 82 sub-options in a request from %s. Dropped.", iface->name);
        return 0;
    }
    return get_dhcp_len(&out);
}

bool overrides_server_id(const struct interface *iface) {
    return in_table(iface) && plans[static_cast<std::size_t>(iface->idx)].server_id_override;
}

void strip_relay_suboptions(struct dhcp_packet &answer, const struct interface *iface) {
    if (writes_suboptions(iface)) dhcp::remove_suboptions(answer, plans[static_cast<std::size_t>(iface->idx)].codes);
}

} // namespace kestivane
