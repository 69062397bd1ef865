// The answer length rule: the cookie check and the one option walk over
// the bytes that arrived.
#include "dhcp/message_size.h"

#include <algorithm>

#include "core/wire.h"
#include "dhcp/option_walk.h"

namespace kestivane::dhcp {

namespace {
constexpr uint8_t magic_cookie[4] = {99, 130, 83, 99};
constexpr std::size_t cookie_offset = wire::msg_fixed_size; // the cookie follows the fixed fields
} // namespace

std::size_t answer_floor(const uint8_t *datagram, std::size_t count) {
    if (count >= bootp_message_size) return bootp_message_size;
    if (count < dhcp_message_min_size) return dhcp_message_min_size;
    if (!std::equal(magic_cookie, magic_cookie + sizeof magic_cookie, datagram + cookie_offset))
        return bootp_message_size;
    // Without the fit check the walk reads no further than the byte after
    // the datagram, and stops on END or where the options leave it.
    auto bound = static_cast<int32_t>(count) - options_offset;
    walk_end end = walk_options(datagram + options_offset, bound, code_end, false);
    if (end.result == walk_result::found && end.position < bound) return dhcp_message_min_size;
    std::size_t needed = static_cast<std::size_t>(options_offset + end.position) + 1;
    return std::min(needed, bootp_message_size);
}

std::size_t delivered_size(std::size_t measured, std::size_t room) {
    return std::max(measured, std::min(bootp_message_size, room));
}

} // namespace kestivane::dhcp
