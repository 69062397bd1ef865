#include "dhcp/agent_option.h"

#include <cstring>

#include "dhcp/option_walk.h"

namespace kestivane::dhcp {

namespace {

constexpr int32_t mode_add = 0;
constexpr int32_t mode_replace = 1;

bool holds_code(const suboptions &subs, uint8_t code) {
    for (std::size_t at = 0; at + 1 < subs.len; at += 2u + subs.bytes[at + 1])
        if (subs.bytes[at] == code) return true;
    return false;
}

} // namespace

bool suboptions::add(uint8_t code, const uint8_t *value, uint8_t value_len) {
    if (static_cast<std::size_t>(len) + 2 + value_len > UINT8_MAX) return false;
    bytes[len] = code;
    bytes[len + 1] = value_len;
    if (value_len > 0) std::memcpy(bytes + len + 2, value, value_len);
    len = static_cast<uint8_t>(len + 2 + value_len);
    return true;
}

bool add_suboptions(struct dhcp_packet &packet, const suboptions &subs) {
    if (subs.empty()) return true;
    const uint8_t *present = find_option(&packet, code_agent_info);
    if (present == nullptr) return insert_option(&packet, code_agent_info, subs.len, subs.bytes, mode_add) != 0;
    const std::size_t had = present[1];
    if (had + subs.len > UINT8_MAX) return false;
    uint8_t data[UINT8_MAX];
    std::memcpy(data, present + 2, had);
    std::memcpy(data + had, subs.bytes, subs.len);
    return insert_option(&packet, code_agent_info, static_cast<uint8_t>(had + subs.len), data, mode_replace) != 0;
}

bool remove_suboptions(struct dhcp_packet &packet, const suboptions &subs) {
    const uint8_t *present = find_option(&packet, code_agent_info);
    if (present == nullptr) return false;
    const std::size_t had = present[1];
    const uint8_t *data = present + 2;
    uint8_t kept[UINT8_MAX];
    std::size_t kept_len = 0;
    std::size_t at = 0;
    while (at < had) {
        // A sub-option without its length byte, or longer than what is
        // left, is no sub-option: the option stays as the server sent it.
        if (at + 1 >= had || at + 2 + data[at + 1] > had) return false;
        const std::size_t size = 2u + data[at + 1];
        if (!holds_code(subs, data[at])) {
            std::memcpy(kept + kept_len, data + at, size);
            kept_len += size;
        }
        at += size;
    }
    if (kept_len == had) return false;
    if (kept_len == 0) return remove_option(&packet, code_agent_info) != 0;
    return insert_option(&packet, code_agent_info, static_cast<uint8_t>(kept_len), kept, mode_replace) != 0;
}

} // namespace kestivane::dhcp
