// The entry check of the answer path: by op, then by sender.
#include "net/answer_source.h"

#include <sys/socket.h>

#include "core/wire.h"

namespace kestivane {

bool is_server_of(const struct interface &iface, uint32_t addr) {
    for (int32_t k = 0; k < iface.srv_count; ++k) {
        int32_t srv = iface.srv_idx[k];
        // An interface opened before any server (command-line mode, until
        // the operands are read) lists -1.
        if (srv < 0 || srv >= srv_num || servers[srv] == nullptr) continue;
        if (servers[srv]->addr.sin_addr.s_addr == addr) return true;
    }
    return false;
}

datagram_kind classify_datagram(const uint8_t *message, const struct sockaddr_in &from,
                                const struct interface &iface, answer_sources accepted) {
    if (message[wire::msg_op] == wire::op_request) return datagram_kind::request;
    if (message[wire::msg_op] != wire::op_reply) return datagram_kind::not_a_reply;
    if (accepted == answer_sources::any) return datagram_kind::answer;
    if (from.sin_family != AF_INET || !is_server_of(iface, from.sin_addr.s_addr)) return datagram_kind::not_a_server;
    return datagram_kind::answer;
}

} // namespace kestivane
