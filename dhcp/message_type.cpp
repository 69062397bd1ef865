#include "dhcp/message_type.h"

#include "dhcp/option_walk.h"

namespace kestivane::dhcp {

uint8_t message_type_code(const uint8_t *message, std::size_t size) {
    if (size <= static_cast<std::size_t>(options_offset) + 1) return 0;
    // The walk reads up to its bound and one byte past it: the bound leaves
    // that byte inside the message.
    const std::size_t area_size = size - static_cast<std::size_t>(options_offset);
    const std::size_t bound = area_size - 1;
    const uint8_t *area = message + options_offset;
    walk_end end = walk_options(area, static_cast<int32_t>(bound), code_message_type, false);
    if (end.result != walk_result::found) return 0;
    // Found before the bound: its length byte is inside the message; its
    // value byte must be too.
    const auto at = static_cast<std::size_t>(end.position);
    if (area[at + 1] == 0 || at + 2 >= area_size) return 0;
    return area[at + 2];
}

} // namespace kestivane::dhcp
