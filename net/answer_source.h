// Who may put what on an interface's answer socket. The socket is bound to
// the relay's address on a client segment, so every host that reaches that
// address can send to it; only the servers the interface forwards to may
// answer there, and only with replies. Without this, a host on one segment
// could have the relay broadcast an answer of its making on another, from
// the relay's own addresses, where no switch can tell it from a real one.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "core/settings.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// What a datagram on an interface's answer socket is.
enum class datagram_kind {
    answer,       // a reply (op 2) from a sender the interface accepts answers from
    request,      // op 1: a client's request sent to the relay's address
    not_a_reply,  // any other op
    not_a_server, // a reply from a sender that is none of the interface's servers
};

// Whether addr (network byte order) is the address of one of the servers
// that iface forwards to.
bool is_server_of(const struct interface &iface, uint32_t addr);

// Judges a datagram of at least one byte by its op and its sender. A
// request is told apart from other non-replies whoever sent it: clients are
// not servers.
datagram_kind classify_datagram(const uint8_t *message, const struct sockaddr_in &from,
                                const struct interface &iface, answer_sources accepted);

} // namespace kestivane
