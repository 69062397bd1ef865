// The one walk over a run of DHCP options that every option function takes.
// The functions differ only in the area, bound and target they give it and in
// how they report where it ended.
#pragma once

#include <cstdint>

namespace kestivane::dhcp {

// Offset of the option area in a message, and how much of max_packet_size the
// frame headers and the fixed message fields take before it.
inline constexpr int32_t options_offset = 240;
inline constexpr int32_t option_area_overhead = 282;

inline constexpr uint8_t code_pad = 0;
inline constexpr uint8_t code_end = 255;
inline constexpr uint8_t code_agent_info = 82;

enum class walk_result {
    found,     // the target stands at position
    malformed, // an option ran past the bound, or reached too close to it
    absent,    // the walk ended on END or at the bound without meeting the target
};

struct walk_end {
    int32_t position;
    walk_result result;
};

// Bound of a message's option area, read afresh from max_packet_size so that
// every call follows the setting of the moment.
int32_t option_area_bound();

// Walks the options of area from its first byte until the target or END, or
// until the bound is reached. With fit_check the option found, read as code,
// length and data, must end at least one byte before the bound; END's
// following byte is then read as its length as well. The area must be
// readable for bound + 2 bytes (bound + 1 without the fit check).
walk_end walk_options(const uint8_t *area, int32_t bound, uint8_t target, bool fit_check);

} // namespace kestivane::dhcp
