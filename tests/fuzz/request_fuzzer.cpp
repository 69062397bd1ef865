// Fuzzing the request path from captured frame bytes to the queued item: a
// sequence of frames through the listener's per-frame work (rate limit,
// frame checks, copies, the client_request hook walk with no plug-ins, the
// queue), at a random max_packet_size and rps_limit. Each frame is a heap
// block of exactly its captured length, so ASan reports any read beyond it.
// Checked after every frame:
// - a frame is queued exactly when it passes the frame checks (judged here
//   from the rules, independently of the relay's code), is not a reply, and
//   the rate limit must admit it; at most one item per frame;
// - sanity_check agrees with that judgement;
// - the queued buf is the captured bytes after the 42 header bytes,
//   zero-filled to 1472; if_idx is the interface's; dst_ip is the frame's
//   IPv4 destination.
//
// Input layout (FuzzedDataProvider): control values from the end, the frame
// bytes from the beginning, so a seed is a captured frame followed by a few
// control bytes. Every frame of one input is that frame cut to its own
// length, with one byte of it changed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/wire.h"
#include "fuzz_support.h"
#include "net/listener.h"

using namespace kestivane::wire;

namespace {

constexpr uint32_t longest_frame = 1600; // beyond any max_packet_size

// The frame checks as the rules state them: size within max_packet_size and
// at least 278 bytes, EtherType IPv4, a UDP length of at least 241, and an
// END option reached by walking the options from frame offset 282 within the
// captured bytes.
bool passes_checks(const uint8_t *frame, uint32_t len) {
    if (len > static_cast<uint32_t>(max_packet_size) || len < 278) return false;
    if (load_be16(frame + 12) != 0x0800) return false;
    if (load_be16(frame + 38) < 241) return false;
    for (uint64_t pos = 282; pos < len;) {
        if (frame[pos] == 255) return true;
        if (frame[pos] == 0) {
            ++pos;
        } else {
            if (pos + 1 >= len) return false;
            pos += 2 + static_cast<uint64_t>(frame[pos + 1]);
        }
    }
    return false;
}

// Takes every queued item off the queue.
std::vector<queue_item *> drain_queue() {
    std::vector<queue_item *> items;
    pthread_mutex_lock(&queue_lock);
    while (queue_item *item = STAILQ_FIRST(&q_head)) {
        STAILQ_REMOVE_HEAD(&q_head, next);
        --queue_size;
        items.push_back(item);
    }
    FUZZ_CHECK(queue_size == 0);
    pthread_mutex_unlock(&queue_lock);
    return items;
}

struct interface capturing{};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kestivane::fuzz::quiet_logging();
    STAILQ_INIT(&q_head);
    capturing.idx = 0;
    capturing.sock = -1;
    capturing.bpf = -1;
    std::strcpy(capturing.name, "fuzz0");
    ifs[0] = &capturing;
    if_num = 1;
    plugins_number = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    max_packet_size = in.ConsumeIntegralInRange<int32_t>(300, 1500);
    // Mostly small limits, which a short sequence can exceed; sometimes any
    // value, negative ones included (read as huge unsigned limits).
    rps_limit = in.ConsumeBool() ? in.ConsumeIntegral<int32_t>() : in.ConsumeIntegralInRange<int32_t>(0, 3);
    struct cut {
        uint32_t len;
        uint16_t at;
        uint8_t value;
    };
    std::vector<cut> cuts(in.ConsumeIntegralInRange<std::size_t>(1, 12));
    for (cut &c : cuts) {
        c.len = in.ConsumeIntegralInRange<uint32_t>(0, longest_frame);
        c.at = in.ConsumeIntegralInRange<uint16_t>(0, longest_frame);
        c.value = in.ConsumeIntegral<uint8_t>();
    }
    std::vector<uint8_t> body = in.ConsumeRemainingBytes<uint8_t>();
    body.resize(longest_frame, 0);

    // A fresh listener state per input: the rate window starts at the
    // clock's origin, as at start-up.
    kestivane::capture_work work;
    const uint32_t limit = static_cast<uint32_t>(rps_limit);
    // KESTIVANE_FUZZ_TRACE=1 prints the frames, for reports of findings.
    static const bool trace = std::getenv("KESTIVANE_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "max_packet_size %d, rps_limit %d\n", max_packet_size, rps_limit);
    uint64_t seen = 0;
    for (const cut &c : cuts) {
        uint8_t *frame = static_cast<uint8_t *>(std::malloc(c.len ? c.len : 1));
        if (c.len) std::memcpy(frame, body.data(), c.len);
        if (c.at < c.len) frame[c.at] = c.value;

        bool shaped = passes_checks(frame, c.len);
        if (trace) {
            std::fprintf(stderr, "frame of %u bytes (changed %u to %u), shaped %d, sanity_check %d:", c.len, c.at,
                         c.value, shaped, sanity_check(frame, c.len));
            for (uint32_t i = 0; i < c.len; ++i) std::fprintf(stderr, " %02x", frame[i]);
            std::fprintf(stderr, "\n");
        }
        FUZZ_CHECK(sanity_check(frame, c.len) == (shaped ? 1 : 0));
        kestivane::handle_captured_frame(&capturing, work, frame, c.len);

        // Within the first 2 * limit + 3 frames the limiter admits every one
        // (limit + 1 in the first window, which the next frame closes since
        // the window starts at the clock's origin, and limit + 2 in the
        // next), whatever the clock says; later frames depend on the clock.
        bool surely_admitted = limit == 0 || seen < 2ull * limit + 3;
        ++seen;
        std::vector<queue_item *> items = drain_queue();
        FUZZ_CHECK(items.size() <= 1);
        bool is_reply = c.len > 42 && frame[42] == 2;
        if (!shaped || is_reply) FUZZ_CHECK(items.empty());
        if (shaped && !is_reply && surely_admitted) FUZZ_CHECK(items.size() == 1);
        for (queue_item *item : items) {
            const auto *buf = reinterpret_cast<const uint8_t *>(&item->buf);
            std::size_t copied = c.len - 42;
            FUZZ_CHECK(std::memcmp(buf, frame + 42, copied) == 0);
            for (std::size_t i = copied; i < sizeof item->buf; ++i) FUZZ_CHECK(buf[i] == 0);
            FUZZ_CHECK(item->if_idx == capturing.idx);
            FUZZ_CHECK(std::memcmp(&item->dst_ip, frame + 30, 4) == 0);
            std::free(item);
        }
        std::free(frame);
    }
    return 0;
}
