// Internet checksums: the RFC 1071 sum, the IPv4 header of an answer frame
// and the UDP checksum with its pseudo-header.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/wire.h"
#include "plugins/kestivane_plugin.h"

using namespace kestivane::wire;

namespace {

TEST(InetChecksum, SumsBigEndianWords) {
    const uint8_t rfc1071[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(inet_checksum(rfc1071, 8, 0), 0x220D);
    const uint8_t zeros[20] = {};
    EXPECT_EQ(inet_checksum(zeros, 20, 0), 0xFFFF);
    const uint8_t ones[] = {0xFF, 0xFF};
    EXPECT_EQ(inet_checksum(ones, 2, 0), 0);
}

TEST(InetChecksum, OddByteIsTheHighHalf) {
    const uint8_t one[] = {0x01};
    EXPECT_EQ(inet_checksum(one, 1, 0), 0xFEFF);
    const uint8_t rfc1071_odd[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7, 0x01};
    EXPECT_EQ(inet_checksum(rfc1071_odd, 9, 0), 0x220D - 0x0100);
}

TEST(InetChecksum, NoBytesGiveTheFoldedInitialSum) {
    const uint8_t any[] = {0x12, 0x34};
    EXPECT_EQ(inet_checksum(any, 0, 0x12345), 0xDCB9);
    EXPECT_EQ(inet_checksum(any, -1, 0x12345), 0xDCB9);
}

TEST(InetChecksum, CarriesFoldAtTheEndOfLongData) {
    // 1472 bytes of 0xFF: every word 0xFFFF, whose one's-complement sum is
    // 0xFFFF, so the checksum is 0; a 16-bit running sum would lose carries.
    std::vector<uint8_t> ones(1472, 0xFF);
    EXPECT_EQ(inet_checksum(ones.data(), static_cast<int32_t>(ones.size()), 0), 0);
    std::vector<uint8_t> mixed(1473);
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<uint8_t>(0xF0 + i % 16);
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < mixed.size(); i += 2) {
        sum += static_cast<uint32_t>(mixed[i] << 8 | mixed[i + 1]);
        sum = (sum & 0xFFFF) + (sum >> 16); // folding at every step: the same one's-complement sum
    }
    sum += static_cast<uint32_t>(mixed.back() << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(inet_checksum(mixed.data(), static_cast<int32_t>(mixed.size()), 0),
              static_cast<uint16_t>(~sum & 0xFFFF));
}

TEST(IpChecksum, AnswerHeader) {
    // Type of service 0x10, length 328 (a 300-byte message), time to live
    // 16, UDP, from 10.0.0.1 to the broadcast address.
    uint8_t header[20] = {0x45, 0x10, 0x01, 0x48, 0x00, 0x00, 0x00, 0x00, 0x10, 0x11,
                          0x00, 0x00, 0x0A, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    uint16_t sum = ip_checksum(header, 20);
    EXPECT_EQ(sum, 0x9F95);
    store_be16(header + 10, sum);
    EXPECT_EQ(ip_checksum(header, 20), 0);
}

// An answer frame of 329 bytes as the relay builds it: 198.51.100.1 port 67
// to 198.51.100.23 port 68, a 301-byte message of a fixed pattern, both
// checksum fields 0.
std::vector<uint8_t> answer_frame() {
    const int message_len = 301;
    std::vector<uint8_t> frame(headers_size + message_len);
    frame[ip_vhl] = 0x45;
    frame[ip_tos] = 0x10;
    store_be16(&frame[ip_len], static_cast<uint16_t>(ip_header_size + udp_header_size + message_len));
    frame[ip_ttl] = 16;
    frame[ip_proto] = ip_proto_udp;
    const uint8_t src[] = {198, 51, 100, 1}, dst[] = {198, 51, 100, 23};
    for (int i = 0; i < 4; ++i) {
        frame[ip_src + i] = src[i];
        frame[ip_dst + i] = dst[i];
    }
    store_be16(&frame[udp_sport], 67);
    store_be16(&frame[udp_dport], 68);
    store_be16(&frame[udp_len], static_cast<uint16_t>(udp_header_size + message_len));
    for (int i = 0; i < message_len; ++i) frame[headers_size + i] = static_cast<uint8_t>(i * 7 + 3);
    return frame;
}

TEST(UdpChecksum, MatchesAnIndependentComputation) {
    // Expected values computed for the same datagram by another IP stack
    // implementation (scapy).
    std::vector<uint8_t> frame = answer_frame();
    EXPECT_EQ(ip_checksum(&frame[ip_vhl], 20), 0x5515);
    uint16_t sum = udp_checksum(frame.data());
    EXPECT_EQ(sum, 0x4435);
    store_be16(&frame[udp_sum], sum);
    EXPECT_EQ(udp_checksum(frame.data()), 0);
}

TEST(UdpChecksum, SumsExactlyTheUdpLength) {
    std::vector<uint8_t> frame = answer_frame();
    uint16_t full = udp_checksum(frame.data());
    frame.push_back(0x5A); // behind the datagram: never read
    frame.push_back(0xA5);
    EXPECT_EQ(udp_checksum(frame.data()), full);

    // With a UDP length of 0 only the pseudo-header counts:
    // C633 + 6401 + C633 + 6417 + 0011 + 0000.
    store_be16(&frame[udp_len], 0);
    uint32_t pseudo = 0xC633 + 0x6401 + 0xC633 + 0x6417 + 0x0011;
    pseudo = (pseudo & 0xFFFF) + (pseudo >> 16);
    EXPECT_EQ(udp_checksum(frame.data()), static_cast<uint16_t>(~pseudo & 0xFFFF));
}

} // namespace
