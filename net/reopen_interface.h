// Reopening an interface in place: its record keeps its slot in ifs and its
// idx, so queued requests, server lists and plug-ins stay valid; its
// channels are pointed at the interface the system has now, and its
// addresses are switched under the interface record lock.
#pragma once

#include <cstdint>

#include "net/interface_channels.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

enum class reopen_result {
    done,
    not_yet, // something failed that may pass (said in the log); try again later
};

// Points the capture at the interface index and installs the request filter
// for the record's hardware address. The listener must keep off the capture
// meanwhile.
reopen_result reopen_capture(struct interface *iface, unsigned ifindex);

// Frame output and capture to the new index, the filter for the new hardware
// address, the UDP socket to ip (the socket is kept when ip is the address
// it is bound to), then the record's addresses. Failures are logged when
// log_failure is set. The listener must keep off the capture meanwhile.
reopen_result reopen_interface(struct interface *iface, unsigned ifindex, const uint8_t mac[6], uint32_t ip,
                               bool log_failure);

// A UDP socket bound to the interface's new address ip takes the old one's
// place, and ip becomes the relay address.
reopen_result move_address(struct interface *iface, uint32_t ip);

// The same with sock, a UDP socket already bound to ip, which the record
// takes over.
void adopt_socket(struct interface *iface, uint32_t ip, int sock);

// sock, a UDP socket bound to iface's address on another port, takes the
// place of its socket (under the same descriptor number); the caller holds
// the record lock exclusively.
void replace_relay_socket(struct interface *iface, int sock);

} // namespace kestivane
