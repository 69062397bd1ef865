// The opener: a small process forked by start-up while the relay still holds
// its privileges, that keeps two of them and opens, for the relay, what
// needs them. Its protocol is one request and one reply message type over a
// socket pair; descriptors come back with the reply.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/privileged_open.h"

namespace kestivane {

// Forks the opener, which learns the interfaces it may open for from the
// configuration as read so far (named_interfaces()), and waits until it
// says it is confined. config_path is the file it checks on request (empty
// in command-line mode). A failure ends start-up (status 1).
void start_opener(const std::string &config_path);

// Whether requests go to an opener (the relay after start_opener).
bool opener_running();

// What failed, as open_privileged names it, when the opener has ended.
inline constexpr const char *opener_gone = "the opener";

// open_privileged's way through the opener.
int ask_opener(privileged_kind kind, const char *ifname, uint32_t ip, const char **failed, uint16_t port);

// Checks the configuration file in a child of the opener that holds no
// privilege (the reading code of start-up and -t, describe_configuration):
// true with the file's description, or false with the check's standard
// error as written (the refusal, "kestivane: <message>"; no line end) or,
// when it wrote nothing, what ended it. After a good check the opener
// permits the interfaces the new file names (the description's
// named_interfaces), and only those, and the new file's relay_port besides
// the ones it permitted before (a reload that cannot move to it stays on
// the old one).
bool opener_check(std::string &description, std::string &error);

// The two messages. A request names a kind of descriptor (or a check) and
// the interface; a reply carries the outcome and, when it opened something,
// the descriptor.
inline constexpr uint8_t check_request = 0xff;
struct opener_request {
    uint8_t kind = 0; // a privileged_kind, or check_request
    char ifname[IF_NAMESIZE] = {};
    uint32_t ip = 0;   // relay_socket: the address to bind, network order
    uint16_t port = 0; // relay_socket: the port to bind, network order
};
struct opener_reply {
    int32_t error = 0;   // 0, or the errno of what failed
    uint8_t refused = 0; // 1: not permitted (error EPERM)
    char what[128] = {}; // why it was refused, the step that failed, or how a check ended
};

// What the opener may open for: interface names the configuration names,
// and relay sockets on the ports (network order) configurations named.
struct opener_permissions {
    std::vector<std::string> names;
    std::vector<uint16_t> ports;
    bool permits(std::string_view name) const;
    bool permits_port(uint16_t port) const;
};

// The opener's answer to one open request: the descriptor (or -1) and the
// reply to send with it.
int answer_request(const opener_permissions &permitted, const opener_request &request, opener_reply &reply);

} // namespace kestivane
