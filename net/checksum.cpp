// Internet checksums (RFC 1071) of the frames the relay builds. The sum is
// kept in 64 bits so that carries need folding only once, at the end.
#include "core/wire.h"
#include "plugins/kestivane_plugin.h"

using namespace kestivane::wire;

extern "C" uint16_t inet_checksum(const void *data, int32_t len, int64_t initial_sum) {
    const auto *p = static_cast<const uint8_t *>(data);
    int64_t sum = initial_sum;
    int32_t i = 0;
    for (; i + 1 < len; i += 2) sum += load_be16(p + i);
    if (i < len) sum += static_cast<int64_t>(p[i]) << 8;
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

extern "C" uint16_t ip_checksum(const void *data, int32_t len) { return inet_checksum(data, len, 0); }

extern "C" uint16_t udp_checksum(const void *frame) {
    const auto *f = static_cast<const uint8_t *>(frame);
    uint16_t udp_length = load_be16(f + udp_len);
    int64_t pseudo = static_cast<int64_t>(load_be16(f + ip_src)) + load_be16(f + ip_src + 2) +
                     load_be16(f + ip_dst) + load_be16(f + ip_dst + 2) + ip_proto_udp + udp_length;
    return inet_checksum(f + udp_sport, udp_length, pseudo);
}
