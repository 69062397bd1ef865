// The relay agent information option (82) as the relay writes it itself:
// its own sub-options join whatever option 82 the message already carries
// (one a plug-in wrote, or a relay before this one), so that a message
// never holds two; and they leave the answer again before the client sees
// it. Every component that writes parts of option 82 goes through here or
// through the option toolkit, which keeps option 82 the last option.
#pragma once

#include <cstdint>

#include "plugins/kestivane_plugin.h"

namespace kestivane::dhcp {

// Sub-options the relay writes.
inline constexpr uint8_t sub_link_selection = 5;
inline constexpr uint8_t sub_relay_agent_flags = 10;
inline constexpr uint8_t sub_server_id_override = 11;
inline constexpr uint8_t sub_relay_source_port = 19;

// Sub-options as they stand in option 82's data: code, length, value, and
// the next. At most what one option holds.
struct suboptions {
    uint8_t bytes[UINT8_MAX];
    uint8_t len = 0;

    // False when it would not fit.
    bool add(uint8_t code, const uint8_t *value, uint8_t value_len);
    bool empty() const { return len == 0; }
};

// Appends subs to packet's option 82, or adds an option 82 of them as the
// last option. False, with the message unchanged, when the option would
// pass 255 bytes, the message its bound, or its options are malformed.
bool add_suboptions(struct dhcp_packet &packet, const suboptions &subs);

// Takes every sub-option with a code that subs holds out of packet's option
// 82, and the option itself when nothing is left in it. Sub-options that
// run past their option are left alone. True when the message changed.
bool remove_suboptions(struct dhcp_packet &packet, const suboptions &subs);

} // namespace kestivane::dhcp
