#include "metrics/dump.h"

namespace kestivane::metrics {

namespace {

// Log lines are cut at 1023 characters; this leaves room for the head.
constexpr std::size_t line_budget = 900;

class line_builder {
public:
    line_builder(std::vector<std::string> &lines, std::string head) : lines_(lines), head_(std::move(head)) {}

    void add(const std::string &name, uint64_t value) {
        if (value == 0) return;
        std::string item = name + "=" + std::to_string(value);
        if (!body_.empty() && body_.size() + 1 + item.size() > line_budget) flush();
        if (!body_.empty()) body_ += ' ';
        body_ += item;
        any_ = true;
    }

    void finish() {
        if (!any_) body_ = "all zero";
        flush();
    }

private:
    void flush() {
        lines_.push_back(head_ + body_);
        body_.clear();
    }

    std::vector<std::string> &lines_;
    std::string head_;
    std::string body_;
    bool any_ = false;
};

} // namespace

std::vector<std::string> dump_lines(const snapshot &shot) {
    std::vector<std::string> lines;
    for (const auto &i : shot.interfaces) {
        line_builder b(lines, "Counters of interface " + i.name + ": ");
        b.add("requests_captured", i.captured);
        for (std::size_t r = 0; r < request_drop_count; ++r)
            b.add(std::string("requests_dropped{") + name_of(static_cast<request_drop>(r)) + "}", i.dropped[r]);
        for (const auto &s : i.servers) b.add("requests_forwarded{" + s.label + "}", s.forwarded);
        for (const auto &s : i.servers) b.add("forward_errors{" + s.label + "}", s.errors);
        b.add("answers_received", i.received);
        for (std::size_t r = 0; r < answer_drop_count; ++r)
            b.add(std::string("answers_dropped{") + name_of(static_cast<answer_drop>(r)) + "}", i.answer_dropped[r]);
        b.add("answers_delivered", i.delivered);
        b.add("answer_write_errors", i.write_errors);
        b.add("capture_dropped", i.capture_kernel_dropped);
        b.add("socket_dropped", i.socket_dropped);
        b.finish();
    }
    line_builder q(lines, "Counters of the request queue: ");
    q.add("queue_length", shot.queue_length);
    q.add("queue_length_max", shot.queue_length_max);
    q.finish();
    if (!shot.v6) return lines;
    for (const auto &i : shot.interfaces6) {
        line_builder b(lines, "Counters of DHCPv6 interface " + i.name + ": ");
        b.add("v6_requests_received", i.received);
        for (std::size_t r = 0; r < request6_drop_count; ++r)
            b.add(std::string("v6_requests_dropped{") + name_of(static_cast<request6_drop>(r)) + "}", i.dropped[r]);
        for (const auto &s : i.servers) b.add("v6_requests_forwarded{" + s.label + "}", s.forwarded);
        for (const auto &s : i.servers) b.add("v6_forward_errors{" + s.label + "}", s.errors);
        b.add("v6_answers_delivered", i.delivered);
        b.add("v6_answer_write_errors", i.write_errors);
        b.finish();
    }
    line_builder u(lines, "Counters of the DHCPv6 server socket: ");
    u.add("v6_answers_received", shot.upper6.received);
    for (std::size_t r = 0; r < answer6_drop_count; ++r)
        u.add(std::string("v6_answers_dropped{") + name_of(static_cast<answer6_drop>(r)) + "}", shot.upper6.dropped[r]);
    u.finish();
    return lines;
}

} // namespace kestivane::metrics
