// Dotted IPv4 text as the relay's tables hold an address: in network order.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace kestivane::test {

inline uint32_t addr(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

} // namespace kestivane::test
