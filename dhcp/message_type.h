// The DHCPv4 message type of a message (option 53), for the counters by
// type. Read with the option walk stopped at option 53, which clients and
// servers put first: the read costs a step or two, not a walk to END.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestivane::dhcp {

inline constexpr uint8_t code_message_type = 53;

// The value of the message's option 53, or 0 when it has none (a BOOTP
// message) or the options break off before it. message holds size bytes
// (the fixed fields, the cookie and the options); nothing past them is read.
uint8_t message_type_code(const uint8_t *message, std::size_t size);

} // namespace kestivane::dhcp
