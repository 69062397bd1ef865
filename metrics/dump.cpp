#include "metrics/dump.h"

#include <algorithm>

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

// A family by direction and type as a table, each line under head: a row
// per direction, a column per type, in the order the readings give them.
// Nothing for a family with every count at zero.
void add_table(std::vector<std::string> &lines, const std::string &head, const std::vector<reading> &readings) {
    if (std::none_of(readings.begin(), readings.end(), [](const reading &r) { return r.value != 0; })) return;
    std::vector<std::string> rows;
    std::vector<std::string> columns;
    const auto place = [](std::vector<std::string> &list, const std::string &name) {
        auto at = std::find(list.begin(), list.end(), name);
        if (at == list.end()) at = list.insert(list.end(), name);
        return static_cast<std::size_t>(at - list.begin());
    };
    for (const reading &r : readings) {
        place(rows, r.label_value);
        place(columns, r.label2_value != nullptr ? r.label2_value : "");
    }
    std::vector<std::vector<uint64_t>> cells(rows.size(), std::vector<uint64_t>(columns.size(), 0));
    for (const reading &r : readings)
        cells[place(rows, r.label_value)][place(columns, r.label2_value != nullptr ? r.label2_value : "")] += r.value;

    const std::string corner;
    std::size_t first = 0;
    for (const auto &row : rows) first = std::max(first, row.size());
    std::vector<std::size_t> width(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        width[c] = columns[c].size();
        for (const auto &row : cells) width[c] = std::max(width[c], std::to_string(row[c]).size());
    }
    const auto cell = [](std::string &line, const std::string &text, std::size_t w, bool right) {
        line += ' ';
        if (right) line.append(w - text.size(), ' ');
        line += text;
        if (!right) line.append(w - text.size(), ' ');
    };
    std::string top = head;
    cell(top, corner, first, false);
    for (std::size_t c = 0; c < columns.size(); ++c) cell(top, columns[c], width[c], true);
    lines.push_back(std::move(top));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line = head;
        cell(line, rows[r], first, false);
        for (std::size_t c = 0; c < columns.size(); ++c) cell(line, std::to_string(cells[r][c]), width[c], true);
        lines.push_back(std::move(line));
    }
}

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
            for (std::size_t f = 0; f < group.families.size(); ++f) {
                if (group.families[f].table_head == nullptr) continue;
                add_table(lines, group.families[f].table_head + subject.name + ":", subject.readings[f]);
            }
        }
    }
    return lines;
}

} // namespace kestivane::metrics
