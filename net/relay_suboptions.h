// The sub-options of option 82 that the relay itself writes into requests
// it sends to servers (today the relay source port, when relay_port names a
// port other than the bootps port), and takes out of their answers before
// the client sees them. Without such settings there are none, and requests
// and answers pass as they are.
#pragma once

#include <cstdint>

#include "dhcp/agent_option.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// Fixes the relay's sub-options from the settings; start-up calls it once
// the configuration is read, before any thread runs.
void settle_relay_suboptions();

// The sub-options the relay writes into requests captured on iface.
const dhcp::suboptions &relay_suboptions(const struct interface *iface);

// message with the relay's sub-options added, in out: the length to send,
// or 0 (logged) when they do not fit in it.
int32_t with_relay_suboptions(const struct dhcp_packet &message, const struct interface *iface,
                              struct dhcp_packet &out);

// Takes the relay's sub-options out of an answer for iface's client.
void strip_relay_suboptions(struct dhcp_packet &answer, const struct interface *iface);

} // namespace kestivane
