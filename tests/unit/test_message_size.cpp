// The answer length rule: which received datagrams are whole messages, what
// a refused one is told it lacks, and how far a delivered message is padded.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dhcp/message_size.h"

using namespace kestivane::dhcp;

namespace {

// A received answer of count bytes: the cookie in place (unless cookie is
// false), options from offset 240, zero everywhere else, with the byte
// after the datagram readable as the answer buffer has it.
std::vector<uint8_t> datagram(std::vector<uint8_t> options, bool cookie = true) {
    std::vector<uint8_t> d(1472, 0);
    if (cookie) {
        d[236] = 99;
        d[237] = 130;
        d[238] = 83;
        d[239] = 99;
    }
    for (std::size_t i = 0; i < options.size(); ++i) d[240 + i] = options[i];
    return d;
}

TEST(AnswerFloor, TakesWholeMessagesOfAnyLengthFromTheShortest) {
    // A Kea offer to a client that asks for little: type, server id, lease
    // time, mask, END.
    std::vector<uint8_t> offer = {53, 1, 2, 54, 4, 203, 0, 113, 2, 51, 4, 0, 0, 2, 88, 1, 4, 255, 255, 255, 192, 255};
    struct {
        const char *name;
        std::vector<uint8_t> bytes;
        std::size_t count;
        std::size_t floor;
    } cases[] = {
        {"END alone", datagram({255}), 241, 241},
        {"a short offer", datagram(offer), 240 + offer.size(), 241},
        {"END as the last byte after PADs", datagram({0, 0, 0, 255}), 244, 241},
        {"bytes after END", datagram({53, 1, 2, 255, 7, 7}), 299, 241},
        {"too short for END", datagram({255}), 240, 241},
        {"the fixed part only", datagram({}), 236, 241},
        {"nothing", datagram({}), 0, 241},
        // END would have to follow the last option, past the datagram.
        {"options without END", datagram({53, 1, 2, 54, 4, 1, 2, 3, 4}), 249, 250},
        {"an option cut by the datagram's end", datagram({53, 1, 2, 12, 20, 'h'}), 250, 266},
        {"a code as the last byte", datagram({53, 1, 2, 12}), 244, 246},
        {"END just after the datagram", datagram({53, 1, 2, 255}), 243, 244},
        {"PADs to the end", datagram({0, 0, 0}), 260, 261},
        {"an option running past BOOTP's size", datagram({12, 200}), 280, 300},
        {"no cookie", datagram({255}, false), 241, 300},
        {"299 bytes without END", datagram({53, 1, 2}), 299, 300},
        // At BOOTP's size every datagram goes on; measuring decides.
        {"300 bytes without END", datagram({53, 1, 2}), 300, 300},
        {"300 bytes without cookie", datagram({}, false), 300, 300},
        {"the largest", datagram({255}), 1458, 300},
    };
    // A datagram is taken when its floor is at most its count; a refusal
    // names more than the datagram held.
    for (const auto &c : cases) EXPECT_EQ(answer_floor(c.bytes.data(), c.count), c.floor) << c.name;
}

TEST(DeliveredSize, PadsToBootpSizeWithinTheRoom) {
    struct {
        std::size_t measured, room, delivered;
    } cases[] = {
        {241, 1358, 300}, {262, 1358, 300}, {299, 1358, 300}, {300, 1358, 300}, {301, 1358, 301},
        {1356, 1458, 1356},
        // A max_packet_size under 342 leaves less room than BOOTP's size:
        // the frame stays within the setting.
        {241, 258, 258}, {250, 280, 280}, {256, 258, 258},
    };
    for (const auto &c : cases)
        EXPECT_EQ(delivered_size(c.measured, c.room), c.delivered) << c.measured << " in " << c.room;
}

} // namespace
