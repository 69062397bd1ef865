// Fuzzing the DHCP option toolkit with what plug-ins do to messages: a
// sequence of measurements, look-ups and edits on one message, at a random
// max_packet_size. Besides crashes and out-of-bounds access (the message is
// a heap block of exactly 1472 bytes, so ASan sees every byte beyond it),
// each step checks what the toolkit promises:
// - a measure is 0 or ends on END and never exceeds max_packet_size - 44;
// - every option before END of a measured message is found where it stands;
// - a refused edit leaves all 1472 bytes as they were;
// - a successful edit leaves a message that measures, by exactly the bytes
//   it added or took, with the new option's data in place and option 82
//   still last when it was there (modes other than 2).
//
// Input layout (FuzzedDataProvider): the control values are taken from the
// end of the input, the message from its beginning, so a seed is a real DHCP
// message followed by a few control bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr int32_t message_size = DHCP_PACKET_SIZE;
constexpr int32_t options_at = 240;
constexpr int32_t area_size = message_size - options_at;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
// Heap blocks of exactly the size asked for, so that ASan reports the first
// byte read or written beyond them.
using block = std::unique_ptr<uint8_t[], free_deleter>;
block exact_block(std::size_t size) { return block(static_cast<uint8_t *>(std::malloc(size ? size : 1))); }

int32_t bound() { return max_packet_size - 282; }

// Positions (in the option area) of the options of a measured message, END
// excluded, in order. A measured message is well formed up to END, so a
// plain walk suffices.
std::vector<int32_t> option_positions(const dhcp_packet *packet) {
    std::vector<int32_t> positions;
    const uint8_t *a = packet->options;
    int32_t p = 0;
    while (a[p] != DHCP_OPTION_END) {
        if (a[p] == DHCP_OPTION_PAD) {
            ++p;
            continue;
        }
        positions.push_back(p);
        p += 2 + a[p + 1];
    }
    return positions;
}

// The measure, checked against what it promises.
int32_t checked_measure(const dhcp_packet *packet) {
    int32_t m = get_dhcp_len(packet);
    FUZZ_CHECK(m == 0 || (m >= options_at + 1 && m <= max_packet_size - 44));
    const auto *bytes = reinterpret_cast<const uint8_t *>(packet);
    if (m != 0) FUZZ_CHECK(bytes[m - 1] == DHCP_OPTION_END);
    uint8_t *end = find_option(const_cast<dhcp_packet *>(packet), DHCP_OPTION_END);
    FUZZ_CHECK(end == (m == 0 ? nullptr : const_cast<uint8_t *>(bytes) + m - 1));
    return m;
}

// Every option that stands before END of a measured message is found at its
// first occurrence; a code that is not there is not found.
void check_lookups(dhcp_packet *packet, int32_t m) {
    if (m == 0) return;
    bool seen[256] = {};
    for (int32_t p : option_positions(packet)) {
        uint8_t code = packet->options[p];
        FUZZ_CHECK(p + 2 + packet->options[p + 1] <= m - options_at - 1);
        if (seen[code]) continue;
        seen[code] = true;
        FUZZ_CHECK(find_option(packet, code) == packet->options + p);
    }
    for (int code = 1; code < 255; ++code)
        if (!seen[code]) FUZZ_CHECK(find_option(packet, static_cast<uint8_t>(code)) == nullptr);
}

void op_find_suboption(dhcp_packet *packet, uint8_t code, uint8_t subcode) {
    uint8_t *option = find_option(packet, code);
    uint8_t *sub = find_suboption(packet, code, subcode);
    if (sub == nullptr) return;
    FUZZ_CHECK(option != nullptr);
    // Inside the option's data, or the byte right after it (only END there).
    FUZZ_CHECK(sub >= option + 2 && sub <= option + 2 + option[1]);
    FUZZ_CHECK(sub < reinterpret_cast<uint8_t *>(packet) + message_size);
    FUZZ_CHECK(*sub == subcode);
    if (sub == option + 2 + option[1]) FUZZ_CHECK(subcode == DHCP_OPTION_END);
}

// find_opt_offset over a run copied into a block of exactly the size that
// the function may read: length + 2, or length + 1 without the fit check.
void op_find_opt_offset(const dhcp_packet *packet, uint8_t code, int32_t start, int32_t len, bool no_fit) {
    int32_t readable = len + (no_fit ? 1 : 2);
    if (readable < 0) readable = 0;
    if (start + readable > area_size) return;
    block run = exact_block(static_cast<std::size_t>(readable));
    std::memcpy(run.get(), packet->options + start, static_cast<std::size_t>(readable));
    int32_t r = find_opt_offset(run.get(), code, len, no_fit ? 1 : 0);
    FUZZ_CHECK(r == -1 || r == -2 || (r >= 0 && r < readable && run[r] == code));
    if (r >= 0 && !no_fit) FUZZ_CHECK(r + 2 + run[r + 1] < len);
}

void op_insert(dhcp_packet *packet, uint8_t code, uint8_t len, const uint8_t *data, int32_t mode) {
    block before = exact_block(message_size);
    std::memcpy(before.get(), packet, message_size);
    std::vector<uint8_t> wanted(data, data + len); // data may lie inside the message
    int32_t m_before = checked_measure(packet);
    uint8_t *old = find_option(packet, code);
    int32_t old_size = old == nullptr ? 0 : old[1] + 2;
    bool had_agent_info = find_option(packet, DHCP_OPTION_AGENT_INFO) != nullptr;

    int32_t r = insert_option(packet, code, len, data, mode);
    if (r == 0) {
        FUZZ_CHECK(std::memcmp(before.get(), packet, message_size) == 0);
        return;
    }
    FUZZ_CHECK(r == 1);
    FUZZ_CHECK(m_before != 0);
    FUZZ_CHECK(code != DHCP_OPTION_PAD && code != DHCP_OPTION_END);
    if (mode != 1 && mode != 2) FUZZ_CHECK(old == nullptr);
    int32_t m_after = checked_measure(packet);
    FUZZ_CHECK(m_after != 0);
    int32_t removed = mode == 1 ? old_size : 0;
    FUZZ_CHECK(m_after == m_before - removed + len + 2);
    FUZZ_CHECK(m_after <= bound());

    // Unless in mode 2, the new option goes in front of the first option 82
    // that is left once a replaced option is gone, and option 82 stays
    // last; otherwise it is the last option.
    int32_t agents_left = 0;
    for (int32_t p : option_positions(reinterpret_cast<const dhcp_packet *>(before.get())))
        if (before[options_at + p] == DHCP_OPTION_AGENT_INFO) ++agents_left;
    if (mode == 1 && code == DHCP_OPTION_AGENT_INFO && old != nullptr) --agents_left;
    auto positions = option_positions(packet);
    FUZZ_CHECK(!positions.empty());
    const uint8_t *placed = packet->options + positions.back();
    if (mode != 2 && agents_left > 0) {
        FUZZ_CHECK(*placed == DHCP_OPTION_AGENT_INFO);
        FUZZ_CHECK(positions.size() >= 2);
        placed = packet->options + positions[positions.size() - 2];
    }
    if (mode != 2 && had_agent_info) FUZZ_CHECK(packet->options[positions.back()] == DHCP_OPTION_AGENT_INFO);
    FUZZ_CHECK(placed[0] == code && placed[1] == len);
    FUZZ_CHECK(len == 0 || std::memcmp(placed + 2, wanted.data(), len) == 0);
    check_lookups(packet, m_after);
}

void op_remove(dhcp_packet *packet, uint8_t code) {
    block before = exact_block(message_size);
    std::memcpy(before.get(), packet, message_size);
    int32_t m_before = checked_measure(packet);
    uint8_t *old = find_option(packet, code);
    int32_t at = old == nullptr ? -1 : static_cast<int32_t>(old - reinterpret_cast<uint8_t *>(packet));
    int32_t size = old == nullptr ? 0 : old[1] + 2;

    int32_t r = remove_option(packet, code);
    if (r == 0) {
        FUZZ_CHECK(std::memcmp(before.get(), packet, message_size) == 0);
        return;
    }
    FUZZ_CHECK(r == 1 && m_before != 0 && at >= 0);
    int32_t m_after = checked_measure(packet);
    FUZZ_CHECK(m_after == m_before - size);
    // Everything before the option stays, the rest moves up unchanged, and
    // the vacated bytes behind the new END are zero.
    FUZZ_CHECK(std::memcmp(before.get(), packet, static_cast<std::size_t>(at)) == 0);
    const auto *after = reinterpret_cast<const uint8_t *>(packet);
    FUZZ_CHECK(std::memcmp(before.get() + at + size, after + at, static_cast<std::size_t>(m_after - at)) == 0);
    for (int32_t i = m_after; i < m_before; ++i) FUZZ_CHECK(after[i] == 0);
    FUZZ_CHECK(std::memcmp(before.get() + m_before, after + m_before,
                           static_cast<std::size_t>(message_size - m_before)) == 0);
    check_lookups(packet, m_after);
}

enum class op_kind : uint8_t { measure, find, find_suboption, find_opt_offset, insert, remove, kMaxValue = remove };

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kestivane::fuzz::quiet_logging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    max_packet_size = in.ConsumeIntegralInRange<int32_t>(300, 1500);

    struct step {
        op_kind kind;
        uint8_t code, subcode, len;
        int32_t mode;
        bool data_inside, no_fit;
        uint16_t offset, start, run_len;
    };
    std::vector<step> steps(in.ConsumeIntegralInRange<std::size_t>(1, 12));
    for (step &s : steps) {
        s.kind = in.ConsumeEnum<op_kind>();
        s.code = in.ConsumeIntegral<uint8_t>();
        s.subcode = in.ConsumeIntegral<uint8_t>();
        s.len = in.ConsumeIntegral<uint8_t>();
        s.mode = in.ConsumeIntegralInRange<int32_t>(-1, 3);
        s.data_inside = in.ConsumeBool();
        s.no_fit = in.ConsumeBool();
        s.offset = in.ConsumeIntegralInRange<uint16_t>(0, message_size - 1);
        s.start = in.ConsumeIntegralInRange<uint16_t>(0, area_size);
        s.run_len = in.ConsumeIntegralInRange<uint16_t>(0, area_size);
    }

    // The message: the rest of the input, zero-filled to 1472 bytes as the
    // relay fills its buffers.
    std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    block message = exact_block(message_size);
    std::memset(message.get(), 0, message_size);
    if (!bytes.empty()) std::memcpy(message.get(), bytes.data(), std::min<std::size_t>(bytes.size(), message_size));
    auto *packet = reinterpret_cast<dhcp_packet *>(message.get());

    // KESTIVANE_FUZZ_TRACE=1 prints the steps, for reports of findings.
    static const bool trace = std::getenv("KESTIVANE_FUZZ_TRACE") != nullptr;
    if (trace) {
        std::fprintf(stderr, "max_packet_size %d, measure %d, options:", max_packet_size, get_dhcp_len(packet));
        for (int32_t i = 0; i < bound() + 2; ++i) std::fprintf(stderr, " %d", packet->options[i]);
        std::fprintf(stderr, "\n");
    }
    for (const step &s : steps) {
        if (trace)
            std::fprintf(stderr, "step %d: code %d subcode %d len %d mode %d inside %d offset %d start %d run %d\n",
                         static_cast<int>(s.kind), s.code, s.subcode, s.len, s.mode, s.data_inside, s.offset,
                         s.start, s.run_len);
        switch (s.kind) {
        case op_kind::measure:
            check_lookups(packet, checked_measure(packet));
            break;
        case op_kind::find: {
            uint8_t *p = find_option(packet, s.code);
            FUZZ_CHECK(p == nullptr || (p >= packet->options && p < packet->options + bound() && *p == s.code));
            break;
        }
        case op_kind::find_suboption:
            op_find_suboption(packet, s.code, s.subcode);
            break;
        case op_kind::find_opt_offset:
            op_find_opt_offset(packet, s.code, s.start, static_cast<int32_t>(s.run_len) - 2, s.no_fit);
            break;
        case op_kind::insert: {
            // The data either lies inside the message itself (as behind a
            // pointer find_option returned) or in a block of its own of
            // exactly len bytes.
            block own = exact_block(s.len);
            const uint8_t *src = nullptr;
            if (s.data_inside) {
                if (s.offset + s.len > message_size) break;
                src = message.get() + s.offset;
            } else {
                for (int i = 0; i < s.len; ++i) own[i] = static_cast<uint8_t>(s.offset + i);
                src = own.get();
            }
            op_insert(packet, s.code, s.len, src, s.mode);
            break;
        }
        case op_kind::remove:
            op_remove(packet, s.code);
            break;
        }
    }
    return 0;
}
