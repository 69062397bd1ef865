// How long a DHCPv4 answer must be for the relay to take it, and how long the
// message it delivers for it is. A DHCP message is the 236-byte fixed part,
// the magic cookie and options through END; servers that do not pad their
// answers (Kea among them) send messages well under the 300 bytes of a BOOTP
// message, while old clients still expect those 300 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestivane::dhcp {

// A BOOTP message: the fixed part and its 64-byte vendor area.
inline constexpr std::size_t bootp_message_size = 300;
// The shortest DHCP message: the fixed part, the cookie and END alone.
inline constexpr std::size_t dhcp_message_min_size = 241;

// The length a received answer of count bytes must reach to be taken: at
// most count when it is taken. Datagrams of BOOTP's size or longer are
// taken as they are. A shorter one is taken when it is a whole DHCP
// message: the cookie in place and the options ending in END inside the
// datagram. Otherwise the result says how far it falls short: 241 below
// the shortest message, the length END would need after the options it
// holds (at most 300), or 300 for a datagram without the cookie.
// datagram must be readable for count + 1 bytes.
std::size_t answer_floor(const uint8_t *datagram, std::size_t count);

// The message length delivered for an answer measured at measured bytes:
// padded to BOOTP's size, but never beyond room (what the largest frame
// leaves for the message).
std::size_t delivered_size(std::size_t measured, std::size_t room);

} // namespace kestivane::dhcp
