// Measuring messages, finding options and sub-options, option offsets in a
// run, and printing transaction ids.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "dhcp_message.h"

using namespace kestivane::test;

namespace {

using Measure = OptionTest;

TEST_F(Measure, CountsEveryByteThroughEnd) {
    dhcp_packet only_end = message({255});
    EXPECT_EQ(get_dhcp_len(&only_end), 241);
    dhcp_packet pads = message({0, 0, 255});
    EXPECT_EQ(get_dhcp_len(&pads), 243);
    dhcp_packet mixed = message({53, 1, 1, 0, 0, 61, 3, 1, 2, 3, 255});
    EXPECT_EQ(get_dhcp_len(&mixed), 251);
    EXPECT_EQ(get_dhcp_len(nullptr), 0);
}

TEST_F(Measure, RefusesMessagesWithoutEndBeforeTheBound) {
    dhcp_packet zeros = message({});
    EXPECT_EQ(get_dhcp_len(&zeros), 0);
    // The length byte carries the walk past the bound.
    dhcp_packet overrun = message({12, 200}, default_bound - 5);
    EXPECT_EQ(get_dhcp_len(&overrun), 0);
    // Same message, but END before the overrunning option.
    dhcp_packet ended = message({255, 0, 12, 200}, default_bound - 7);
    EXPECT_EQ(get_dhcp_len(&ended), 241 + default_bound - 7);
}

TEST_F(Measure, EndMustLeaveRoomBeforeTheBound) {
    dhcp_packet last = message({255}, default_bound - 3);
    EXPECT_EQ(get_dhcp_len(&last), 1356);
    dhcp_packet too_close = message({255}, default_bound - 2);
    EXPECT_EQ(get_dhcp_len(&too_close), 0);
    dhcp_packet closer = message({255}, default_bound - 1);
    EXPECT_EQ(get_dhcp_len(&closer), 0);

    // The byte behind END is taken as its length by the fit check.
    for (int behind : {0, 7}) {
        dhcp_packet packet = message({255, behind}, default_bound - 10);
        EXPECT_EQ(get_dhcp_len(&packet), 1349) << "byte behind END " << behind;
    }
    for (int behind : {8, 9}) {
        dhcp_packet packet = message({255, behind}, default_bound - 10);
        EXPECT_EQ(get_dhcp_len(&packet), 0) << "byte behind END " << behind;
    }
}

TEST_F(Measure, FollowsThePacketSizeOfEachCall) {
    dhcp_packet packet = message({255, 0});
    for (int32_t size : {282, 283, 284}) {
        max_packet_size = size;
        EXPECT_EQ(get_dhcp_len(&packet), 0) << "max_packet_size " << size;
    }
    max_packet_size = 285;
    EXPECT_EQ(get_dhcp_len(&packet), 241);

    dhcp_packet late = message({255}, default_bound - 3);
    max_packet_size = 1399;
    EXPECT_EQ(get_dhcp_len(&late), 0);
    max_packet_size = 1500;
    EXPECT_EQ(get_dhcp_len(&late), 1356);
}

TEST_F(Measure, LongestMessageAtTheLargestPacketSize) {
    max_packet_size = 1500; // bound 1218: END at 1215 stands at message offset 1455
    dhcp_packet packet = message({255}, 1215);
    EXPECT_EQ(get_dhcp_len(&packet), 1456);
    dhcp_packet overrun = message({12, 255}, 1200);
    EXPECT_EQ(get_dhcp_len(&overrun), 0);
}

using FindOption = OptionTest;

TEST_F(FindOption, FindsOptionsBeforeEnd) {
    dhcp_packet packet = message({53, 1, 1, 82, 7, 1, 2, 10, 11, 2, 1, 12, 255});
    dhcp_packet before = packet;
    EXPECT_EQ(offset(packet, find_option(&packet, 53)), 240);
    EXPECT_EQ(offset(packet, find_option(&packet, 82)), 243);
    EXPECT_EQ(offset(packet, find_option(&packet, 255)), 252);
    EXPECT_EQ(find_option(&packet, 12), nullptr); // only a sub-option has that code
    EXPECT_EQ(find_option(&packet, 0), nullptr);
    EXPECT_EQ(find_option(nullptr, 53), nullptr);
    EXPECT_EQ(std::memcmp(&packet, &before, sizeof packet), 0);
}

TEST_F(FindOption, FindsTheFirstOfTwo) {
    dhcp_packet packet = message({12, 1, 65, 12, 1, 66, 255});
    EXPECT_EQ(offset(packet, find_option(&packet, 12)), 240);
}

TEST_F(FindOption, OptionMustEndBeforeTheBound) {
    dhcp_packet fits = message({12, 0}, default_bound - 3);
    EXPECT_EQ(offset(fits, find_option(&fits, 12)), 240 + default_bound - 3);
    dhcp_packet too_close = message({12, 0}, default_bound - 2);
    EXPECT_EQ(find_option(&too_close, 12), nullptr);
}

TEST_F(FindOption, StopsAtAMalformedStretch) {
    // The PAD run leads to an option whose length passes the bound: the
    // option and END standing inside its claimed data are never reached.
    dhcp_packet packet = message({12, 250}, 900);
    const uint8_t inside[] = {61, 1, 1, 255};
    std::memcpy(packet.options + 1000, inside, sizeof inside);
    EXPECT_EQ(find_option(&packet, 61), nullptr);
    EXPECT_EQ(find_option(&packet, 12), nullptr);
    EXPECT_EQ(get_dhcp_len(&packet), 0);
}

using FindSuboption = OptionTest;

TEST_F(FindSuboption, WalksTheOptionsData) {
    dhcp_packet packet = message({53, 1, 1, 82, 7, 1, 2, 10, 11, 2, 1, 12, 255});
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 1)), 245);
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 2)), 249);
    EXPECT_EQ(find_suboption(&packet, 82, 3), nullptr);
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 255)), 252); // the END behind the option
    EXPECT_EQ(offset(packet, find_suboption(&packet, 53, 1)), 242);
    EXPECT_EQ(find_suboption(&packet, 61, 1), nullptr);
    EXPECT_EQ(find_suboption(nullptr, 82, 1), nullptr);
}

TEST_F(FindSuboption, EndInsideTheOptionStopsTheWalk) {
    dhcp_packet packet = message({82, 5, 1, 1, 10, 255, 0, 53, 1, 1, 255});
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 1)), 242);
    EXPECT_EQ(find_suboption(&packet, 82, 2), nullptr);
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 255)), 245);
}

TEST_F(FindSuboption, LengthOfTheSuboptionIsTheCallersToCheck) {
    dhcp_packet packet = message({82, 4, 1, 1, 10, 2, 9, 255});
    EXPECT_EQ(offset(packet, find_suboption(&packet, 82, 2)), 245);
}

TEST_F(FindSuboption, EmptyOptionLooksOnlyAtTheByteBehindIt) {
    dhcp_packet end_behind = message({82, 0, 255});
    EXPECT_EQ(find_suboption(&end_behind, 82, 1), nullptr);
    EXPECT_EQ(offset(end_behind, find_suboption(&end_behind, 82, 255)), 242);
    dhcp_packet option_behind = message({82, 0, 53, 1, 1, 255});
    EXPECT_EQ(find_suboption(&option_behind, 82, 1), nullptr);
    EXPECT_EQ(find_suboption(&option_behind, 82, 255), nullptr);
    EXPECT_EQ(find_suboption(&option_behind, 82, 53), nullptr);
}

// A run with zero padding behind it, readable well past any length used.
std::array<uint8_t, 64> run(std::initializer_list<int> bytes) {
    std::array<uint8_t, 64> area{};
    std::size_t p = 0;
    for (int b : bytes) area[p++] = static_cast<uint8_t>(b);
    return area;
}

using FindOptOffset = OptionTest;

TEST_F(FindOptOffset, RunWithEnd) {
    auto area = run({53, 1, 1, 61, 3, 1, 2, 3, 255, 0});
    for (int32_t len : {9, 10, 50}) {
        EXPECT_EQ(find_opt_offset(area.data(), 61, len, 0), 3) << "length " << len;
        EXPECT_EQ(find_opt_offset(area.data(), 61, len, 1), 3) << "length " << len;
    }
    EXPECT_EQ(find_opt_offset(area.data(), 12, 50, 0), -2);
    EXPECT_EQ(find_opt_offset(area.data(), 12, 9, 0), -1); // END fails the fit check
    EXPECT_EQ(find_opt_offset(area.data(), 12, 10, 0), -1);
    EXPECT_EQ(find_opt_offset(area.data(), 12, 9, 1), -2);
    EXPECT_EQ(find_opt_offset(area.data(), 12, 10, 1), -2);
    EXPECT_EQ(find_opt_offset(area.data(), 255, 50, 0), 8);
    EXPECT_EQ(find_opt_offset(area.data(), 255, 9, 0), -1);
    EXPECT_EQ(find_opt_offset(area.data(), 255, 9, 1), 8);
}

TEST_F(FindOptOffset, ShortRunsCutTheOptionOff) {
    auto area = run({53, 1, 1, 61, 3, 1, 2, 3, 255, 0});
    for (int32_t len = 4; len <= 8; ++len) {
        EXPECT_EQ(find_opt_offset(area.data(), 61, len, 1), 3) << "length " << len;
        EXPECT_EQ(find_opt_offset(area.data(), 61, len, 0), -1) << "length " << len;
    }
    EXPECT_EQ(find_opt_offset(area.data(), 61, 3, 1), -1);
    EXPECT_EQ(find_opt_offset(area.data(), 61, 3, 0), -1);
}

TEST_F(FindOptOffset, RunWithoutEndOfItsOwn) {
    // The data of an option: sub-options filling it to its last byte.
    auto area = run({1, 2, 170, 187, 2, 1, 204});
    EXPECT_EQ(find_opt_offset(area.data(), 1, 7, 0), 0);
    EXPECT_EQ(find_opt_offset(area.data(), 1, 7, 1), 0);
    EXPECT_EQ(find_opt_offset(area.data(), 2, 7, 1), 4);
    EXPECT_EQ(find_opt_offset(area.data(), 2, 7, 0), -1);
    EXPECT_EQ(find_opt_offset(area.data(), 3, 7, 0), -1);
    EXPECT_EQ(find_opt_offset(area.data(), 3, 7, 1), -1);
    area[7] = 255; // the byte just behind the run
    EXPECT_EQ(find_opt_offset(area.data(), 3, 7, 1), -2);
    EXPECT_EQ(find_opt_offset(area.data(), 3, 7, 0), -1);
}

TEST_F(FindOptOffset, EmptyAndNegativeRuns) {
    auto end_first = run({255});
    EXPECT_EQ(find_opt_offset(end_first.data(), 255, 0, 0), -1);
    EXPECT_EQ(find_opt_offset(end_first.data(), 255, 0, 1), 0);
    EXPECT_EQ(find_opt_offset(end_first.data(), 12, 0, 1), -2);
    auto option_first = run({12, 0, 255});
    EXPECT_EQ(find_opt_offset(option_first.data(), 12, 0, 1), -1);
    EXPECT_EQ(find_opt_offset(option_first.data(), 12, 0, 0), -1);
    EXPECT_EQ(find_opt_offset(end_first.data(), 255, -1, 1), -1);
    EXPECT_EQ(find_opt_offset(end_first.data(), 255, -1, 0), -1);
}

using PrintXid = OptionTest;

TEST_F(PrintXid, PrintsWireOrderInLowerCase) {
    char text[12];
    std::memset(text, 'X', sizeof text);
    EXPECT_EQ(print_xid(0x78563412u, text), text);
    EXPECT_STREQ(text, "0x12345678");
    EXPECT_EQ(text[11], 'X'); // 11 bytes written, no more

    // The xid field as it lies in a message, read on this host.
    dhcp_packet packet = message({});
    const uint8_t wire[4] = {0xDE, 0xAD, 0x0B, 0xEF};
    std::memcpy(&packet.xid, wire, sizeof wire);
    EXPECT_STREQ(print_xid(packet.xid, text), "0xdead0bef");
}

} // namespace
