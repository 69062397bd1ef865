// Faults the fuzz targets (tests/fuzz/) found, each kept as the smallest
// case that shows it.
#include <gtest/gtest.h>

#include <cstring>

#include "dhcp_message.h"

namespace kestivane::test {
namespace {

class FuzzFindings : public OptionTest {};

// Bytes a client sent behind its END stay in the buffer. An insertion that
// grows the message to near the bound put the new END in front of such a
// byte, which the measure reads as END's length: the insertion reported
// success and left a message that no longer measured, so the relay dropped
// it as malformed.
TEST_F(FuzzFindings, InsertionNearTheBoundStillMeasuresWithJunkBehindEnd) {
    max_packet_size = 600; // bound 318
    uint8_t data[70];
    std::memset(data, 'a', sizeof data);

    dhcp_packet at_end = message({255});
    std::memset(at_end.options + 1, 0xFA, 200);
    ASSERT_EQ(get_dhcp_len(&at_end), 241);
    ASSERT_EQ(insert_option(&at_end, 12, sizeof data, data, 0), 1);
    EXPECT_EQ(get_dhcp_len(&at_end), 241 + 2 + 70);

    // The same in front of option 82, which stays last.
    dhcp_packet before_agent = message({82, 2, 1, 0, 255});
    std::memset(before_agent.options + 5, 0xFA, 200);
    ASSERT_EQ(get_dhcp_len(&before_agent), 245);
    ASSERT_EQ(insert_option(&before_agent, 12, 66, data, 1), 1);
    EXPECT_EQ(get_dhcp_len(&before_agent), 245 + 2 + 66);
    EXPECT_EQ(before_agent.options[68], 82);
}

} // namespace
} // namespace kestivane::test
