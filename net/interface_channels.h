// The pieces of an interface's channels that start-up and reopening share:
// the request capture with its filter, and the UDP socket bound to the
// relay address.
#pragma once

#include <cstdint>

#include "net/packet_capture.h"

struct pcap;
struct interface;

namespace kestivane {

// The request capture of the interface with that idx. Kept apart from the
// record that plug-ins see, whose cap is the handle the filter is compiled
// on (a capture handle that reads nothing).
packet_capture &request_capture(int32_t idx);

// The handle cap is: compiles filters for Ethernet frames of at most
// max_packet_size bytes (its value now), the bytes a filter lets through.
// Null when libpcap cannot make it.
struct pcap *open_filter_compiler();

// "00:11:22:33:44:55": always two digits per byte, so that the filter text
// and the log lines read the same as other tools print the address.
struct mac_text {
    char text[18];
};
mac_text format_mac(const uint8_t mac[6]);

// Lets through to the capture only requests to the server port that this
// interface did not send itself, compiled on cap. Returns nullptr, or the
// step that failed: "pcap_compile" (pcap_geterr(cap) says why) or
// "pcap_setfilter" (errno says why).
const char *install_request_filter(struct pcap *cap, packet_capture &capture, const uint8_t mac[6]);

// Opens the request capture of the named interface in capture: its socket
// (through open_privileged), the filter for mac compiled on cap, then the
// interface's frames. Returns nullptr, or the step that failed:
// "pcap_open_live" (errno says why) or one of install_request_filter's.
const char *open_request_capture(packet_capture &capture, struct pcap *cap, const char *name, const uint8_t mac[6]);

// A UDP socket bound to ip and port (network order; 0: relay_socket_port()),
// for requests out and answers in. Returns it, or -1 with errno set and
// *failed naming the step ("socket", "setsockopt: SO_BROADCAST",
// "setsockopt: SO_REUSEADDR", "bind").
int open_relay_socket(uint32_t ip, const char **failed, uint16_t port = 0);

} // namespace kestivane
