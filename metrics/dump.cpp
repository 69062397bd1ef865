#include "metrics/dump.h"

#include "metrics/families.h"

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
    for (const family_group &group : read_families(shot, {})) {
        if (group.dump_head == nullptr) continue;
        for (const auto &subject : group.subjects) {
            std::string head = group.dump_head;
            if (group.subject_label != nullptr) head += subject.name + ": ";
            line_builder b(lines, std::move(head));
            for (std::size_t f = 0; f < group.families.size(); ++f) {
                if (!group.families[f].dumped) continue;
                const std::string name = dump_name(group.families[f]);
                for (const reading &r : subject.readings[f])
                    b.add(r.label != nullptr ? name + "{" + r.label_value + "}" : name, r.value);
            }
            b.finish();
        }
    }
    return lines;
}

} // namespace kestivane::metrics
