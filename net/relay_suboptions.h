// The sub-options of option 82 that the relay itself writes into requests
// it sends to servers, and takes out of their answers before the client
// sees them: link selection (5: the client interface's relay address, for
// the server to pick the client's subnet by), server-identifier override
// (11: the same address, for the client to send its renewals to the relay;
// with the relay agent flags, 10, saying whether the request came by
// unicast), per interface, and the relay source port (19) when relay_port
// names a port other than the bootps port. Without such settings there
// are none, and requests and answers pass as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dhcp/agent_option.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// The sub-options an interface may be given.
enum class fabric_suboption { link_selection, server_id_override };

// Records a choice of the configuration: the sub-option on or off on the
// interface named ifname, or on every interface when ifname is empty. A
// choice for an interface beats the one for all; of two for the same, the
// later counts.
void choose_suboption(fabric_suboption which, std::string_view ifname, bool on);

// Fixes the relay's sub-options from the settings for the interfaces of
// ifs; start-up calls it once the configuration is read, before any
// thread runs.
void settle_relay_suboptions();

// Forgets every choice and plan: what a fresh configuration starts from.
void forget_relay_suboptions();

// The choices as lines "<key> <on|off> [<interface>]", in the order made:
// what a reload compares and takes over.
std::string describe_suboption_choices();

// A reload's new choices (lines as described): the plans of every
// interface follow them. The caller holds the interface record lock
// exclusively.
void replace_suboption_choices(const std::vector<std::string> &lines);

// Whether the relay writes sub-options into requests captured on iface.
bool writes_suboptions(const struct interface *iface);

// The request of item with the relay's sub-options for iface added, in out:
// the length to send, or 0 (logged) when they do not fit in it. A request
// whose giaddr is not iface's address (one relayed before) gets none.
int32_t with_relay_suboptions(const struct queue_item &item, const struct interface *iface,
                              struct dhcp_packet &out);

// Whether iface's clients are told to send their renewals to the relay.
bool overrides_server_id(const struct interface *iface);

// Takes the relay's sub-options out of an answer for iface's client.
void strip_relay_suboptions(struct dhcp_packet &answer, const struct interface *iface);

} // namespace kestivane
