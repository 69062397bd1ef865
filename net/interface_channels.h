// The pieces of an interface's channels that start-up and reopening share:
// the capture filter and the UDP socket bound to the relay address.
#pragma once

#include <cstdint>

struct pcap;

namespace kestivane {

// "00:11:22:33:44:55": always two digits per byte, so that the filter text
// and the log lines read the same as other tools print the address.
struct mac_text {
    char text[18];
};
mac_text format_mac(const uint8_t mac[6]);

// Lets through only requests to the server port that this interface did not
// send itself. Returns nullptr, or the step that failed ("pcap_compile",
// "pcap_setfilter").
const char *install_request_filter(struct pcap *cap, const uint8_t mac[6]);

// A UDP socket bound to ip and the server port, for requests out and answers
// in. Returns it, or -1 with errno set and *failed naming the step
// ("socket", "setsockopt: SO_BROADCAST", "setsockopt: SO_REUSEADDR",
// "bind").
int open_relay_socket(uint32_t ip, const char **failed);

} // namespace kestivane
