// Inserting and removing options in place. A refused edit leaves the
// caller's message exactly as it was; nothing is taken from the heap, so
// plug-in hooks may edit messages on any thread.
#include <cstring>

#include "core/settings.h"
#include "dhcp/option_walk.h"
#include "plugins/kestivane_plugin.h"

using namespace kestivane::dhcp;

namespace {

constexpr int32_t mode_replace = 1;
constexpr int32_t mode_append = 2;

// PAD and END carry no length byte: treating either as an option would move
// or delete bytes that are not its own.
bool is_single_byte_code(uint8_t code) { return code == code_pad || code == code_end; }

// Position of END, -1 when the message has no valid END.
int32_t end_position(const uint8_t *area, int32_t bound) {
    walk_end end = walk_options(area, bound, code_end, true);
    return end.result == walk_result::found ? end.position : -1;
}

// Position of the first option with the code, -1 when there is none before
// END or the options are malformed on the way.
int32_t option_position(const uint8_t *area, int32_t bound, uint8_t code) {
    walk_end end = walk_options(area, bound, code, true);
    return end.result == walk_result::found ? end.position : -1;
}

// Closes the gap the first option with the code leaves, END included in the
// move, and zeroes the bytes behind the new END that it vacated.
bool remove_first(uint8_t *area, int32_t bound, uint8_t code) {
    int32_t p = option_position(area, bound, code);
    if (p < 0) return false;
    int32_t e = end_position(area, bound);
    if (e < 0) return false;
    int32_t size = area[p + 1] + 2;
    std::memmove(area + p, area + p + size, static_cast<std::size_t>(e - p - size + 1));
    std::memset(area + e - size + 1, 0, static_cast<std::size_t>(size));
    return true;
}

// Writes code, length and data at p and returns the position behind them.
int32_t write_option(uint8_t *area, int32_t p, uint8_t code, uint8_t len, const uint8_t *data) {
    area[p] = code;
    area[p + 1] = len;
    if (len > 0) std::memcpy(area + p + 2, data, len);
    return p + 2 + len;
}

} // namespace

extern "C" int32_t insert_option(struct dhcp_packet *packet, uint8_t code, uint8_t len, const uint8_t *data,
                                 int32_t mode) {
    if (packet == nullptr || is_single_byte_code(code)) return 0;
    int32_t measure = get_dhcp_len(packet);
    if (measure == 0) return 0;

    // Every change goes to the copy, and the caller's buffer is only written
    // once the insertion has succeeded; until then data may point into it.
    struct dhcp_packet work;
    std::memcpy(&work, packet, sizeof work);
    uint8_t *area = work.options;
    const int32_t bound = option_area_bound();

    if (mode != mode_append && option_position(area, bound, code) >= 0) {
        if (mode != mode_replace) {
            logd(kestivane::log_error,
                 "insert option: Packet is already have option %d. Passed without changes.", code);
            return 0;
        }
        remove_first(area, bound, code);
        measure = get_dhcp_len(&work);
        if (measure == 0) return 0;
    }

    // The measure the message will have, fixed fields included, must stay
    // within the option area's bound.
    if (measure + len + 2 > bound) {
        logd(kestivane::log_error, "Can't add option %d without packet oversizing. Passed without changes.",
             code);
        return 0;
    }

    int32_t end = measure - options_offset - 1;
    int32_t agent = mode == mode_append ? -1 : option_position(area, bound, code_agent_info);
    if (agent < 0) {
        area[write_option(area, end, code, len, data)] = code_end;
    } else {
        // Option 82 stays the last option: the options behind it move up to
        // its place, then come the new option, option 82 and END.
        uint8_t agent_len = area[agent + 1];
        uint8_t agent_data[UINT8_MAX];
        std::memcpy(agent_data, area + agent + 2, agent_len);
        int32_t behind = agent + 2 + agent_len;
        std::memmove(area + agent, area + behind, static_cast<std::size_t>(end - behind));
        int32_t p = agent + (end - behind);
        p = write_option(area, p, code, len, data);
        p = write_option(area, p, code_agent_info, agent_len, agent_data);
        area[p] = code_end;
    }

    std::memcpy(packet, &work, sizeof work);
    return 1;
}

extern "C" int32_t remove_option(struct dhcp_packet *packet, uint8_t code) {
    if (packet == nullptr || is_single_byte_code(code)) return 0;
    return remove_first(packet->options, option_area_bound(), code) ? 1 : 0;
}
