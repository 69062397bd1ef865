// A link: one network interface as the relay follows it, whichever families
// it serves. The watcher (net/interface_watch.cpp) keeps one record per
// link, built from the families' channels at start-up, and is the only
// code that decides what becomes of a link that vanishes, comes back or
// changes its addresses. Each family's channel keeps the copies its packet
// paths read, mirrored from the link under the interface record lock: the
// DHCPv4 record that plug-ins see (struct interface, laid out as the plug-in
// interface fixes it) and the DHCPv6 lower interface (relay6::lower6).
#pragma once

#include <net/if.h>
#include <netinet/in.h>

#include <cstdint>
#include <ctime>

#include "plugins/kestivane_plugin.h"

namespace kestivane {

struct link_record {
    char name[IF_NAMESIZE]{};
    unsigned index = 0;  // the index its channels are bound to
    uint8_t mac[6]{};
    uint32_t ipv4 = 0;     // the DHCPv4 relay address (giaddr), network byte order
    struct in6_addr ipv6{}; // the DHCPv6 link-address, or ::
    bool relaying = true;
    bool reopen_failure_logged = false;

    // The DHCPv4 channel, or null: its record (in ifs) and its listener.
    struct interface *v4 = nullptr;
    bool listener_parked = false; // its listener waits in wait_until_reopened
    bool capture_failed = false;  // its listener reported a failure not yet handled
    char failure[256]{};          // what its listener said of the failure
    uint64_t generation = 0;      // moves each time the listener may read again
    time_t last_recovery = 0;     // monotonic second of the last capture recovery

    bool listener_ending = false; // its record is being retired: the listener ends
    bool listener_gone = false;   // ... and it has

    // The DHCPv6 channel: an index in relay6::lowers(), or -1.
    int v6 = -1;

    // Named in the configuration but not there (or without its IPv4
    // address) at start-up: opened once it is, then followed as the rest.
    bool awaited = false;
    // The same for its DHCPv6 channel: opened once it is there with an IPv6
    // address.
    bool awaited6 = false;

    // Serves neither family (yet, or any more): nothing to follow.
    bool unused() const { return v4 == nullptr && v6 < 0; }
};

} // namespace kestivane
