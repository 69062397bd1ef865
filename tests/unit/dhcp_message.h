// Messages for the option toolkit's tests: a zeroed 1472-byte message with
// given option bytes, and a guard that restores max_packet_size and debug.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "plugins/kestivane_plugin.h"

namespace kestivane::test {

inline constexpr int32_t default_bound = 1118; // option-area bound at max_packet_size 1400

// A message whose option area holds bytes from position at on, zero elsewhere.
inline dhcp_packet message(std::initializer_list<int> bytes, int at = 0) {
    dhcp_packet packet;
    std::memset(&packet, 0, sizeof packet);
    int p = at;
    for (int b : bytes) packet.options[p++] = static_cast<uint8_t>(b);
    return packet;
}

// The first n option bytes of a message.
inline std::vector<int> options(const dhcp_packet &packet, int n) {
    return std::vector<int>(packet.options, packet.options + n);
}

// Offset in the message of a pointer into it, -1 for null.
inline long offset(const dhcp_packet &packet, const uint8_t *p) {
    return p == nullptr ? -1 : p - reinterpret_cast<const uint8_t *>(&packet);
}

// Every test starts at the default packet size, outside debug mode, and
// leaves the settings as it found them.
class OptionTest : public testing::Test {
protected:
    void SetUp() override {
        saved_size_ = max_packet_size;
        saved_debug_ = debug;
        max_packet_size = 1400;
        debug = 0;
    }
    void TearDown() override {
        max_packet_size = saved_size_;
        debug = saved_debug_;
    }

    // Standard output of f in debug mode, where log lines go there.
    template <typename F> std::string logged(F f) {
        int32_t before = debug;
        debug = 1;
        testing::internal::CaptureStdout();
        f();
        std::string out = testing::internal::GetCapturedStdout();
        debug = before;
        return out;
    }

private:
    int32_t saved_size_ = 0;
    int32_t saved_debug_ = 0;
};

} // namespace kestivane::test
