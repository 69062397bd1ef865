// Capture of client requests: one listener thread per interface reads its
// capture, limits the rate, checks each frame, drops replies, offers the
// request to the client_request hooks and queues it for forwarding.
#include "net/listener.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/settings.h"
#include "core/wire.h"
#include "net/platform.h"
#include "plugins/hooks.h"

using namespace kestivane::wire;

namespace {

// The frame checks, in the order their messages promise. Only what the
// capture filter cannot vouch for is checked: the IPv4 header is taken to be
// 20 bytes, and version, protocol, ports and checksums are not looked at.
bool frame_is_request_shaped(const uint8_t *frame, uint32_t len) {
    if (len > static_cast<uint32_t>(max_packet_size)) {
        logd(kestivane::log_error, "length too big -- packet discarded");
        return false;
    }
    if (len < min_request_frame) {
        logd(kestivane::log_error, "length too little -- packet discarded");
        return false;
    }
    if (load_be16(frame + eth_type) != ethertype_ipv4) {
        logd(kestivane::log_error, "wrong ether type -- packet discarded");
        return false;
    }
    // The UDP length must cover the fixed fields, the cookie and one option
    // byte; its own 8 header bytes are not counted, so this is only a floor
    // that the END walk below tightens.
    if (load_be16(frame + udp_len) < msg_options + 1) {
        logd(kestivane::log_error, "not enough DHCP data -- packet ignore");
        return false;
    }
    // The options end at END; a code in the last captured byte has no length
    // byte, so it cannot be stepped over and counts as malformed.
    uint32_t pos = frame_options;
    while (pos < len) {
        uint8_t code = frame[pos];
        if (code == DHCP_OPTION_END) return true;
        if (code == DHCP_OPTION_PAD) {
            ++pos;
            continue;
        }
        if (pos + 1 >= len) break;
        pos += frame[pos + 1] + 2u;
    }
    logd(kestivane::log_error, "malformed dhcp packet (can't find option 255) -- packet ignore");
    return false;
}

void push_request(struct queue_item *item) {
    pthread_mutex_lock(&queue_lock);
    STAILQ_INSERT_TAIL(&q_head, item, next);
    ++queue_size;
    pthread_cond_signal(&queue_cond);
    pthread_mutex_unlock(&queue_lock);
}

} // namespace

extern "C" int32_t sanity_check(const uint8_t *frame, uint32_t len) {
    return frame_is_request_shaped(frame, len) ? 1 : 0;
}

extern "C" void *listener(void *arg) {
    auto *iface = static_cast<struct interface *>(arg);
    kestivane::request_rate_limit rate;
    // The hooks work on these copies; they are reused for every frame.
    struct dhcp_packet packet;
    struct frame_headers headers;
    auto *header_bytes = reinterpret_cast<uint8_t *>(&headers);

    for (;;) {
        struct pcap_pkthdr *info = nullptr;
        const u_char *frame = nullptr;
        if (pcap_next_ex(iface->cap, &info, &frame) <= 0) {
            usleep(1000);
            continue;
        }
        if (!rate.admit(static_cast<uint32_t>(rps_limit), kestivane::platform::coarse_now)) {
            logd(kestivane::log_warning, "The packet on interface %s droped due to RPS limit", iface->name);
            continue;
        }
        uint32_t len = info->caplen;
        if (!frame_is_request_shaped(frame, len)) continue;
        if (frame[headers_size + msg_op] == op_reply) continue;

        std::memcpy(header_bytes, frame, headers_size);
        std::memset(&packet, 0, sizeof packet);
        std::memcpy(&packet, frame + headers_size, len - headers_size);

        if (!kestivane::run_hooks<&plugin::client_request>(iface, &packet, &headers)) continue;

        auto *item = static_cast<struct queue_item *>(std::malloc(sizeof(struct queue_item)));
        if (item == nullptr) {
            logd(kestivane::log_error, "malloc error");
            continue;
        }
        std::memcpy(&item->buf, &packet, sizeof packet);
        item->if_idx = iface->idx;
        std::memcpy(&item->dst_ip, header_bytes + ip_dst, sizeof item->dst_ip);
        push_request(item);
    }
}
