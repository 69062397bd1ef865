#include "net/relay_suboptions.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/log.h"
#include "core/settings.h"

namespace kestivane {

namespace {

// Written by start-up alone, read by the packet paths.
dhcp::suboptions every_interface;

} // namespace

void settle_relay_suboptions() {
    every_interface = dhcp::suboptions{};
    // A server that honours it answers to the port the request came from,
    // instead of the bootps port; the sub-option is empty in a request.
    if (relay_port != 0 && htons(static_cast<uint16_t>(relay_port)) != static_cast<uint16_t>(bootps_port))
        every_interface.add(dhcp::sub_relay_source_port, nullptr, 0);
}

const dhcp::suboptions &relay_suboptions(const struct interface *) { return every_interface; }

int32_t with_relay_suboptions(const struct dhcp_packet &message, const struct interface *iface,
                              struct dhcp_packet &out) {
    std::memcpy(&out, &message, sizeof out);
    if (!dhcp::add_suboptions(out, relay_suboptions(iface))) {
        logd(log_error, "No room for the relay's option 82 sub-options in a request from %s. Dropped.", iface->name);
        return 0;
    }
    return get_dhcp_len(&out);
}

void strip_relay_suboptions(struct dhcp_packet &answer, const struct interface *iface) {
    const dhcp::suboptions &ours = relay_suboptions(iface);
    if (!ours.empty()) dhcp::remove_suboptions(answer, ours);
}

} // namespace kestivane
