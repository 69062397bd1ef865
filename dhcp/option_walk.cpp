// The option walk. Positions are kept in 64 bits so that a step of up to 257
// bytes near a large caller-given bound cannot overflow.
#include "dhcp/option_walk.h"

#include "plugins/kestivane_plugin.h"

namespace kestivane::dhcp {

int32_t option_area_bound() { return max_packet_size - option_area_overhead; }

walk_end walk_options(const uint8_t *area, int32_t bound, uint8_t target, bool fit_check) {
    int64_t p = 0;
    if (bound > 0) {
        for (;;) {
            uint8_t code = area[p];
            if (code == code_end || code == target) break;
            p += code == code_pad ? 1 : 2 + area[p + 1];
            if (p >= bound) break;
        }
    }
    // Past the bound nothing may be read: a length byte carried the walk
    // beyond the area.
    if (p > bound) return {static_cast<int32_t>(p), walk_result::malformed};
    if (p == bound && area[p] != code_end) return {static_cast<int32_t>(p), walk_result::malformed};
    if (fit_check && p + 2 + area[p + 1] >= bound) return {static_cast<int32_t>(p), walk_result::malformed};
    if (area[p] != target) return {static_cast<int32_t>(p), walk_result::absent};
    return {static_cast<int32_t>(p), walk_result::found};
}

} // namespace kestivane::dhcp
