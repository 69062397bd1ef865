// Capture of client requests: one listener thread per interface reads its
// capture, limits the rate, checks each frame, drops replies, offers the
// request to the client_request hooks and queues it for forwarding.
#include "net/listener.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "core/log.h"
#include "core/settings.h"
#include "core/wire.h"
#include "dhcp/message_type.h"
#include "metrics/counters.h"
#include "net/forward.h"
#include "net/interface_channels.h"
#include "net/interface_guard.h"
#include "net/interface_watch.h"
#include "net/platform.h"
#include "net/request_queue.h"
#include "plugins/hooks.h"

using namespace kestivane::wire;
using kestivane::metrics::request_drop;

namespace {

// The frame checks, in the order their messages promise. Only what the
// capture filter cannot vouch for is checked: the IPv4 header is taken to be
// 20 bytes, and version, protocol, ports and checksums are not looked at.
// Answers the check that failed, or nothing when the frame passed them all.
std::optional<request_drop> frame_fault(const uint8_t *frame, uint32_t len) {
    if (len > static_cast<uint32_t>(max_packet_size)) {
        logd(kestivane::log_error, "length too big -- packet discarded");
        return request_drop::too_long;
    }
    if (len < min_request_frame) {
        logd(kestivane::log_error, "length too little -- packet discarded");
        return request_drop::too_short;
    }
    if (load_be16(frame + eth_type) != ethertype_ipv4) {
        logd(kestivane::log_error, "wrong ether type -- packet discarded");
        return request_drop::not_ipv4;
    }
    // The UDP length must cover the fixed fields, the cookie and one option
    // byte; its own 8 header bytes are not counted, so this is only a floor
    // that the END walk below tightens.
    if (load_be16(frame + udp_len) < msg_options + 1) {
        logd(kestivane::log_error, "not enough DHCP data -- packet ignore");
        return request_drop::short_dhcp;
    }
    // The options end at END; a code in the last captured byte has no length
    // byte, so it cannot be stepped over and counts as malformed.
    uint32_t pos = frame_options;
    while (pos < len) {
        uint8_t code = frame[pos];
        if (code == DHCP_OPTION_END) return std::nullopt;
        if (code == DHCP_OPTION_PAD) {
            ++pos;
            continue;
        }
        if (pos + 1 >= len) break;
        pos += frame[pos + 1] + 2u;
    }
    logd(kestivane::log_error, "malformed dhcp packet (can't find option 255) -- packet ignore");
    return request_drop::no_end;
}

} // namespace

extern "C" int32_t sanity_check(const uint8_t *frame, uint32_t len) {
    return frame_fault(frame, len) ? 0 : 1;
}

namespace kestivane {

void handle_captured_frame(struct interface *iface, capture_work &work, const uint8_t *frame, uint32_t len) {
    interface_reader steady;
    metrics::count_captured(iface->idx);
    if (!work.rate.admit(static_cast<uint32_t>(rps_limit), platform::coarse_now)) {
        logd(log_warning, "The packet on interface %s droped due to RPS limit", iface->name);
        return metrics::count_request_drop(iface->idx, request_drop::rate_limit);
    }
    if (auto fault = frame_fault(frame, len)) return metrics::count_request_drop(iface->idx, *fault);
    metrics::count_request_message(iface->idx, dhcp::message_type_code(frame + headers_size, len - headers_size));
    if (frame[headers_size + msg_op] == op_reply) return metrics::count_request_drop(iface->idx, request_drop::reply);

    auto *header_bytes = reinterpret_cast<uint8_t *>(&work.headers);
    std::memcpy(header_bytes, frame, headers_size);
    std::memset(&work.packet, 0, sizeof work.packet);
    std::memcpy(&work.packet, frame + headers_size, len - headers_size);

    if (!run_hooks<&plugin::client_request>(iface, &work.packet, &work.headers))
        return metrics::count_request_drop(iface->idx, request_drop::plugin_rejected);

    // The hand-off to the consumer costs it a wake-up and a task switch
    // per request at ordinary rates. Where nothing would notice the
    // difference (the request came in a small read or first in a larger
    // one, no send_to_server hook has to run on the forwarding thread,
    // nothing queued for the request to pass, the answer thread keeping up)
    // the listener forwards it itself. At 20,000/s a read brings two frames
    // on average, and handing the second over woke the consumer for it.
    // Forwarding a whole burst itself would leave the consumer idle while
    // the listener fell behind its capture (measured: at 40,000/s half the
    // requests lost, the rest a second late).
    const bool small_read = work.read_size <= capture_work::here_per_read || work.read_position == 1;
    if (work.read_position >= 1 && small_read && !any_hook<&plugin::send_to_server>() &&
        request_queue::may_forward_here()) {
        std::memcpy(&work.here.buf, &work.packet, sizeof work.packet);
        work.here.if_idx = iface->idx;
        std::memcpy(&work.here.dst_ip, header_bytes + ip_dst, sizeof work.here.dst_ip);
        return forward_request(&work.here);
    }
    auto *item = static_cast<struct queue_item *>(std::malloc(sizeof(struct queue_item)));
    if (item == nullptr) {
        logd(log_error, "malloc error");
        return;
    }
    std::memcpy(&item->buf, &work.packet, sizeof work.packet);
    item->if_idx = iface->idx;
    std::memcpy(&item->dst_ip, header_bytes + ip_dst, sizeof item->dst_ip);
    // The listener waits for room before it reads a frame, so its share is
    // never full here; a caller that hands frames in without waiting loses
    // the excess.
    if (!request_queue::push(item)) {
        std::free(item);
        metrics::count_request_drop(iface->idx, metrics::request_drop::queue_full);
    }
}

} // namespace kestivane

namespace {

// How long a listener waits for room before it looks up from its wait to
// do its once-a-second chores.
constexpr int room_wait_ms = 100;

struct capture_context {
    explicit capture_context(struct interface *of)
        : iface(of), capture(kestivane::request_capture(of->idx)) {}
    struct interface *iface;
    kestivane::packet_capture &capture;
    kestivane::capture_work work{};
    time_t last_chores = 0;
    kestivane::frame_batch frames;
};

// Once a second: the capture's drop count (only its own listener reads
// the capture).
void do_chores(capture_context &context) {
    time_t now = kestivane::platform::coarse_now().tv_sec;
    if (now == context.last_chores) return;
    context.last_chores = now;
    kestivane::metrics::of_interface(context.iface->idx)
        .requests.capture_kernel_dropped.set(context.capture.kernel_dropped());
}

void take_frames(capture_context &context) {
    for (unsigned k = 0; k < context.frames.count; ++k) {
        // Backpressure: while this interface's share of the queue is full
        // the listener reads nothing more, so a flood's excess stays in the
        // capture socket and the kernel drops it there, before the relay
        // spends anything on it. The frames at hand wait with the rest.
        while (!kestivane::request_queue::wait_for_room(context.iface->idx, room_wait_ms)) do_chores(context);
        context.work.read_position = k + 1;
        context.work.read_size = context.frames.count;
        kestivane::handle_captured_frame(context.iface, context.work, context.frames.frames[k],
                                         context.frames.len[k]);
    }
}

} // namespace

extern "C" void *listener(void *arg) {
    auto *iface = static_cast<struct interface *>(arg);
    // Off the thread's stack: a batch of frames is some 25 KB.
    auto context = std::make_unique<capture_context>(iface);
    kestivane::limit_log_lines(iface->name);
    kestivane::packet_capture &capture = context->capture;
    // The chores must run even on a silent segment: the listener waits at
    // most a second at a time.
    bool wait_first = true;
    for (;;) {
        kestivane::capture_status status = wait_first ? capture.wait(1000) : kestivane::capture_status::frames;
        if (status == kestivane::capture_status::frames) status = capture.read(context->frames);
        if (status == kestivane::capture_status::frames) {
            take_frames(*context);
        } else if (status == kestivane::capture_status::woken || status == kestivane::capture_status::failed) {
            // A failed capture (its interface gone) would fail again at
            // once: the listener waits until the interface is back, or
            // until the watcher that woke it lets it go on.
            if (!kestivane::wait_until_reopened(iface, status == kestivane::capture_status::woken, capture.failure()))
                return nullptr; // its interface was retired
        }
        // A read that did not fill its batch most likely emptied the
        // socket: the listener waits at once rather than read it again only
        // to find it empty (a system call per wake-up). A frame that came
        // meanwhile ends the wait at once.
        wait_first = !(status == kestivane::capture_status::frames && context->frames.count == kestivane::frame_batch::size);
        do_chores(*context);
    }
}
