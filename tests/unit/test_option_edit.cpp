// Inserting and removing options: the byte lists they leave, their refusals
// with the log lines that tell them, and what stays untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dhcp/agent_option.h"
#include "dhcp_message.h"

using namespace kestivane::test;

namespace {

const uint8_t abc[] = {97, 98, 99};

std::string already_have(int code) {
    return "insert option: Packet is already have option " + std::to_string(code) +
           ". Passed without changes.\n";
}

std::string oversizing(int code) {
    return "Can't add option " + std::to_string(code) + " without packet oversizing. Passed without changes.\n";
}

bool same(const dhcp_packet &a, const dhcp_packet &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every byte of the option area from position from on is zero.
bool zero_from(const dhcp_packet &packet, std::size_t from) {
    for (std::size_t i = from; i < sizeof packet.options; ++i)
        if (packet.options[i] != 0) return false;
    return true;
}

using InsertOption = OptionTest;

TEST_F(InsertOption, AddsAtEndInEveryMode) {
    for (int32_t mode : {0, 1, 2, 3, -1}) {
        dhcp_packet packet = message({53, 1, 1, 61, 3, 1, 2, 3, 255});
        packet.xid = 0x01020304;
        EXPECT_EQ(insert_option(&packet, 12, 3, abc, mode), 1) << "mode " << mode;
        EXPECT_EQ(options(packet, 14), (std::vector<int>{53, 1, 1, 61, 3, 1, 2, 3, 12, 3, 97, 98, 99, 255}))
            << "mode " << mode;
        EXPECT_TRUE(zero_from(packet, 14));
        EXPECT_EQ(packet.xid, 0x01020304u); // fixed fields stay
        EXPECT_EQ(get_dhcp_len(&packet), 254);
    }
}

TEST_F(InsertOption, PresentCodeByMode) {
    const uint8_t xy[] = {120, 121};
    const dhcp_packet original = message({53, 1, 1, 61, 3, 1, 2, 3, 255});
    for (int32_t mode : {0, 3}) {
        dhcp_packet packet = original;
        int32_t result = -1;
        EXPECT_EQ(logged([&] { result = insert_option(&packet, 61, 2, xy, mode); }), already_have(61));
        EXPECT_EQ(result, 0) << "mode " << mode;
        EXPECT_TRUE(same(packet, original)) << "mode " << mode;
    }

    dhcp_packet twice = original;
    EXPECT_EQ(insert_option(&twice, 61, 2, xy, 2), 1);
    EXPECT_EQ(options(twice, 13), (std::vector<int>{53, 1, 1, 61, 3, 1, 2, 3, 61, 2, 120, 121, 255}));

    dhcp_packet replaced = original;
    EXPECT_EQ(insert_option(&replaced, 61, 2, xy, 1), 1);
    EXPECT_EQ(options(replaced, 8), (std::vector<int>{53, 1, 1, 61, 2, 120, 121, 255}));
    EXPECT_TRUE(zero_from(replaced, 8));
}

TEST_F(InsertOption, AgentInformationStaysLast) {
    const dhcp_packet original = message({53, 1, 1, 82, 4, 1, 2, 10, 11, 255});
    for (int32_t mode : {0, 1}) {
        dhcp_packet packet = original;
        EXPECT_EQ(insert_option(&packet, 12, 3, abc, mode), 1);
        EXPECT_EQ(options(packet, 15),
                  (std::vector<int>{53, 1, 1, 12, 3, 97, 98, 99, 82, 4, 1, 2, 10, 11, 255}))
            << "mode " << mode;
    }
    // Mode 2 appends behind everything.
    dhcp_packet appended = original;
    EXPECT_EQ(insert_option(&appended, 12, 3, abc, 2), 1);
    EXPECT_EQ(options(appended, 15), (std::vector<int>{53, 1, 1, 82, 4, 1, 2, 10, 11, 12, 3, 97, 98, 99, 255}));

    // A replaced option moves in front of option 82 as well.
    dhcp_packet replaced = message({53, 1, 1, 12, 1, 9, 82, 4, 1, 2, 10, 11, 255});
    EXPECT_EQ(insert_option(&replaced, 12, 3, abc, 1), 1);
    EXPECT_EQ(options(replaced, 15), (std::vector<int>{53, 1, 1, 12, 3, 97, 98, 99, 82, 4, 1, 2, 10, 11, 255}));
    EXPECT_TRUE(zero_from(replaced, 15));
}

TEST_F(InsertOption, KeepsOptionsThatStoodBehindAgentInformation) {
    dhcp_packet packet = message({53, 1, 1, 82, 2, 1, 0, 60, 1, 120, 255});
    EXPECT_EQ(insert_option(&packet, 12, 3, abc, 0), 1);
    EXPECT_EQ(options(packet, 16), (std::vector<int>{53, 1, 1, 60, 1, 120, 12, 3, 97, 98, 99, 82, 2, 1, 0, 255}));
    EXPECT_TRUE(zero_from(packet, 16));
    EXPECT_NE(find_option(&packet, 60), nullptr);

    // An empty option 82 with PAD and two options behind it.
    dhcp_packet several = message({82, 0, 0, 60, 1, 120, 61, 2, 1, 2, 255});
    EXPECT_EQ(insert_option(&several, 12, 0, nullptr, 1), 1);
    EXPECT_EQ(options(several, 14), (std::vector<int>{0, 60, 1, 120, 61, 2, 1, 2, 12, 0, 82, 0, 255, 0}));
}

TEST_F(InsertOption, SpaceTestCountsTheWholeMessage) {
    std::vector<uint8_t> data(76, 7);
    for (int32_t mode : {0, 1, 2}) {
        dhcp_packet fits = message({255}, 800);
        EXPECT_EQ(insert_option(&fits, 12, 75, data.data(), mode), 1) << "mode " << mode;
        EXPECT_EQ(get_dhcp_len(&fits), 241 + 800 + 77);

        const dhcp_packet original = message({255}, 800);
        dhcp_packet refused = original;
        int32_t result = -1;
        EXPECT_EQ(logged([&] { result = insert_option(&refused, 12, 76, data.data(), mode); }), oversizing(12));
        EXPECT_EQ(result, 0) << "mode " << mode;
        EXPECT_TRUE(same(refused, original));
    }
}

TEST_F(InsertOption, SpaceTestFollowsThePacketSize) {
    dhcp_packet packet = message({255});
    max_packet_size = 525;
    EXPECT_EQ(insert_option(&packet, 12, 0, nullptr, 0), 1);
    EXPECT_EQ(options(packet, 3), (std::vector<int>{12, 0, 255}));

    dhcp_packet refused = message({255});
    max_packet_size = 524;
    EXPECT_EQ(logged([&] { EXPECT_EQ(insert_option(&refused, 12, 0, nullptr, 0), 0); }), oversizing(12));
    EXPECT_EQ(refused.options[0], 255);
}

TEST_F(InsertOption, ReplacementMeasuresAfterRemoving) {
    // 860 PAD bytes, option 61 with 10 data bytes, END at 872.
    dhcp_packet original = message({61, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 255}, 860);
    std::vector<uint8_t> data(16, 0x55);

    dhcp_packet fits = original;
    EXPECT_EQ(insert_option(&fits, 61, 15, data.data(), 1), 1);
    EXPECT_EQ(fits.options[860], 61);
    EXPECT_EQ(fits.options[861], 15);
    EXPECT_EQ(fits.options[877], 255);

    // Refused after the removal was made on the work copy: the old option
    // must still be in the caller's message.
    dhcp_packet refused = original;
    EXPECT_EQ(logged([&] { EXPECT_EQ(insert_option(&refused, 61, 16, data.data(), 1), 0); }), oversizing(61));
    EXPECT_TRUE(same(refused, original));
}

TEST_F(InsertOption, DataMayLieInTheCallersMessage) {
    dhcp_packet packet = message({53, 1, 1, 61, 3, 1, 2, 3, 255});
    uint8_t *old = find_option(&packet, 61);
    ASSERT_NE(old, nullptr);
    // The replacement's data is the old option's own data, which the
    // removal moves in the work copy.
    EXPECT_EQ(insert_option(&packet, 61, 2, old + 3, 1), 1);
    EXPECT_EQ(options(packet, 8), (std::vector<int>{53, 1, 1, 61, 2, 2, 3, 255}));
}

TEST_F(InsertOption, RefusesWithoutAChange) {
    const dhcp_packet zeros = message({});
    dhcp_packet packet = zeros;
    EXPECT_EQ(logged([&] { EXPECT_EQ(insert_option(&packet, 12, 3, abc, 0), 0); }), "");
    EXPECT_TRUE(same(packet, zeros));
    EXPECT_EQ(insert_option(nullptr, 12, 3, abc, 0), 0);

    // PAD and END are single bytes, never options to insert.
    const dhcp_packet original = message({53, 1, 1, 0, 61, 3, 1, 2, 3, 255});
    for (uint8_t code : {0, 255}) {
        for (int32_t mode : {0, 1, 2}) {
            dhcp_packet edited = original;
            EXPECT_EQ(insert_option(&edited, code, 3, abc, mode), 0) << "code " << int(code) << " mode " << mode;
            EXPECT_TRUE(same(edited, original)) << "code " << int(code) << " mode " << mode;
        }
    }
}

using RemoveOption = OptionTest;

TEST_F(RemoveOption, ClosesTheGapAndZeroesTheTail) {
    const dhcp_packet original = message({53, 1, 1, 61, 3, 1, 2, 3, 255});
    dhcp_packet first = original;
    EXPECT_EQ(remove_option(&first, 53), 1);
    EXPECT_EQ(options(first, 9), (std::vector<int>{61, 3, 1, 2, 3, 255, 0, 0, 0}));

    dhcp_packet last = original;
    EXPECT_EQ(remove_option(&last, 61), 1);
    EXPECT_EQ(options(last, 9), (std::vector<int>{53, 1, 1, 255, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(zero_from(last, 4));

    dhcp_packet absent = original;
    EXPECT_EQ(remove_option(&absent, 12), 0);
    EXPECT_TRUE(same(absent, original));
}

TEST_F(RemoveOption, RemovesOnlyTheFirst) {
    dhcp_packet packet = message({12, 1, 1, 12, 1, 2, 255});
    EXPECT_EQ(remove_option(&packet, 12), 1);
    EXPECT_EQ(options(packet, 7), (std::vector<int>{12, 1, 2, 255, 0, 0, 0}));
}

TEST_F(RemoveOption, BytesBehindTheOldEndStay) {
    // Whatever stands behind END is not the message's and is not moved.
    dhcp_packet packet = message({61, 2, 1, 2, 255, 0, 0, 9, 9});
    EXPECT_EQ(remove_option(&packet, 61), 1);
    EXPECT_EQ(options(packet, 9), (std::vector<int>{255, 0, 0, 0, 0, 0, 0, 9, 9}));
}

TEST_F(RemoveOption, RefusesWithoutAChange) {
    EXPECT_EQ(remove_option(nullptr, 53), 0);

    // An option found before a malformed stretch: no valid END, no change.
    const dhcp_packet broken = message({53, 1, 1, 12, 250}, 900);
    dhcp_packet packet = broken;
    EXPECT_EQ(logged([&] { EXPECT_EQ(remove_option(&packet, 53), 0); }), "");
    EXPECT_TRUE(same(packet, broken));

    const dhcp_packet original = message({0, 53, 1, 1, 0, 255, 7, 7});
    for (uint8_t code : {0, 255}) {
        dhcp_packet edited = original;
        EXPECT_EQ(remove_option(&edited, code), 0) << "code " << int(code);
        EXPECT_TRUE(same(edited, original)) << "code " << int(code);
    }
}

} // namespace

namespace {

using kestivane::dhcp::suboptions;

suboptions source_port() {
    suboptions s;
    s.add(kestivane::dhcp::sub_relay_source_port, nullptr, 0);
    return s;
}

using AgentSuboptions = OptionTest;

// The relay's sub-options join the one option 82, wherever it came from,
// and leave it again; what they cannot join stays as it was.
TEST_F(AgentSuboptions, OneOptionWhoeverWritesIt) {
    struct Case {
        const char *name;
        std::vector<int> before;
        std::vector<int> after;
        bool added;
    };
    const std::vector<Case> cases{
        {"no option 82: one is made, last", {53, 1, 1, 255}, {53, 1, 1, 82, 2, 19, 0, 255}, true},
        {"a plug-in's option 82: ours follow its sub-options",
         {53, 1, 3, 82, 6, 1, 4, 101, 116, 104, 49, 255},
         {53, 1, 3, 82, 8, 1, 4, 101, 116, 104, 49, 19, 0, 255},
         true},
        {"option 82 before other options: it moves last, with ours",
         {82, 3, 2, 1, 7, 53, 1, 3, 255},
         {53, 1, 3, 82, 5, 2, 1, 7, 19, 0, 255},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dhcp_packet packet = message({});
        for (std::size_t i = 0; i < c.before.size(); ++i) packet.options[i] = static_cast<uint8_t>(c.before[i]);
        EXPECT_EQ(add_suboptions(packet, source_port()), c.added);
        EXPECT_EQ(options(packet, static_cast<int>(c.after.size())), c.after);
        // And out again: the sub-option goes, and an option left empty too.
        EXPECT_TRUE(remove_suboptions(packet, source_port()));
        EXPECT_EQ(find_suboption(&packet, 82, 19), nullptr);
    }
}

TEST_F(AgentSuboptions, RefusalsLeaveTheMessage) {
    // An option 82 of 254 bytes has no room for two more.
    dhcp_packet full = message({});
    full.options[0] = 82;
    full.options[1] = 254;
    full.options[2] = 1;
    full.options[3] = 252;
    full.options[256] = 255;
    const dhcp_packet before = full;
    EXPECT_FALSE(add_suboptions(full, source_port()));
    EXPECT_TRUE(same(full, before));

    struct Case {
        const char *name;
        std::vector<int> bytes;
        std::vector<int> after; // empty: unchanged
    };
    const std::vector<Case> cases{
        {"no sub-option of ours", {82, 4, 1, 2, 97, 98, 255}, {}},
        {"a sub-option running past its option", {82, 4, 19, 0, 1, 5, 255}, {}},
        {"ours alone: the option goes", {53, 1, 5, 82, 2, 19, 0, 255}, {53, 1, 5, 255, 0, 0, 0, 0}},
        {"ours between others", {82, 8, 1, 1, 97, 19, 0, 2, 1, 98, 255}, {82, 6, 1, 1, 97, 2, 1, 98, 255}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dhcp_packet packet = message({});
        for (std::size_t i = 0; i < c.bytes.size(); ++i) packet.options[i] = static_cast<uint8_t>(c.bytes[i]);
        const dhcp_packet unchanged = packet;
        EXPECT_EQ(remove_suboptions(packet, source_port()), !c.after.empty());
        if (c.after.empty()) EXPECT_TRUE(same(packet, unchanged));
        else EXPECT_EQ(options(packet, static_cast<int>(c.after.size())), c.after);
    }
}

} // namespace
