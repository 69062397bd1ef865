// The answer length rule: which received datagrams are whole messages, what
// a refused one is told it lacks, and how far a delivered message is padded.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dhcp/message_size.h"
#include "dhcp/message_type.h"
#include "metrics/counters.h"

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

// The type the message counters file a message under: option 53's value
// wherever it stands before END, nothing read past the message's size.
TEST(MessageType, ReadsOptionFiftyThreeWithinTheMessage) {
    struct Case {
        const char *name;
        std::vector<uint8_t> options;
        std::size_t size; // of the whole message
        uint8_t code;
        kestivane::metrics::message4 counted;
    };
    using kestivane::metrics::message4;
    const std::vector<Case> cases{
        {"discover first", {53, 1, 1, 255}, 300, 1, message4::discover},
        {"ack after other options and PADs", {0, 0, 54, 4, 203, 0, 113, 2, 53, 1, 5, 255}, 300, 5, message4::ack},
        {"inform, the last named type", {53, 1, 8, 255}, 300, 8, message4::inform},
        {"a later type counts as other", {53, 1, 9, 255}, 300, 9, message4::other},
        {"BOOTP: no option 53", {1, 4, 255, 255, 255, 0, 255}, 300, 0, message4::other},
        {"53 behind END is not read", {255, 53, 1, 3}, 300, 0, message4::other},
        {"an empty 53", {53, 0, 255}, 300, 0, message4::other},
        {"the value byte lies past the message", {53, 1, 3, 255}, 242, 0, message4::other},
        {"a length that runs past the message", {12, 200, 53, 1, 3, 255}, 300, 0, message4::other},
        {"no option area at all", {53, 1, 3, 255}, 240, 0, message4::other},
    };
    for (const Case &c : cases) {
        const auto d = datagram(c.options);
        const uint8_t code = message_type_code(d.data(), c.size);
        EXPECT_EQ(code, c.code) << c.name;
        EXPECT_EQ(kestivane::metrics::message4_of(code), c.counted) << c.name;
    }
}

