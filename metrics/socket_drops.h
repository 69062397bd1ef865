// The running total of a socket's receive-buffer drops, from the kernel's
// readings. The kernel counts in 32 bits from the socket's opening, and an
// interface's socket is replaced when it comes back or moves to another
// address, so a reading lower than the last one means either a wrap or a
// new socket; the socket's identity tells which.
#pragma once

#include <cstdint>

#include "net/platform.h"

namespace kestivane::metrics {

class socket_drop_total {
public:
    // Adds what reading says happened since the last reading, and returns
    // the total: the difference modulo 2^32 on the same socket (it wrapped
    // at most once in between), the whole count on a new one (all of its
    // drops came after the last reading of the old socket).
    uint64_t add(const platform::socket_drops &reading) {
        if (reading.socket == socket_) {
            total_ += static_cast<uint32_t>(reading.drops - last_);
        } else {
            total_ += reading.drops;
            socket_ = reading.socket;
        }
        last_ = reading.drops;
        return total_;
    }

private:
    uint64_t socket_ = 0;
    uint32_t last_ = 0;
    uint64_t total_ = 0;
};

} // namespace kestivane::metrics
