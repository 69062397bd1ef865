#include "metrics/exposition.h"

#include <array>
#include <cstdio>
#include <span>

#include "metrics/families.h"

namespace kestivane::metrics {

std::string escape_label(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

namespace {

class writer {
public:
    explicit writer(std::string &out) : out_(out) {}

    // Every family gets its HELP and TYPE lines, samples or not, so that a
    // reader always finds the metric's description.
    void family(const char *name, const char *type, const char *help) {
        name_ = name;
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }

    // labels: name, value, name, value...
    void sample(std::span<const std::string_view> labels, uint64_t value) {
        start(labels);
        out_ += std::to_string(value);
        out_ += '\n';
    }

    void sample(std::initializer_list<std::string_view> labels, uint64_t value) {
        sample(std::span<const std::string_view>(labels.begin(), labels.size()), value);
    }

    void sample(std::initializer_list<std::string_view> labels, double value) {
        start(std::span<const std::string_view>(labels.begin(), labels.size()));
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", value);
        out_ += text;
        out_ += '\n';
    }

private:
    void start(std::span<const std::string_view> labels) {
        out_ += name_;
        if (labels.size() != 0) {
            out_ += '{';
            bool first = true;
            for (auto it = labels.begin(); it != labels.end(); it += 2) {
                if (!first) out_ += ',';
                first = false;
                out_ += *it;
                out_ += "=\"";
                out_ += escape_label(*(it + 1));
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
    }

    std::string &out_;
    const char *name_ = "";
};

} // namespace

std::string format_exposition(const snapshot &shot, const exposition_extras &extras) {
    std::string out;
    writer w(out);
    w.family("kestivane_build_info", "gauge", "The relay's version, as a label; always 1.");
    w.sample({"version", extras.version}, uint64_t{1});
    w.family("kestivane_start_time_seconds", "gauge", "When the relay started, in seconds since the epoch.");
    w.sample({}, extras.start_time);

    for (const family_group &group : read_families(shot, extras.alarmed, extras.alarmed6)) {
        for (std::size_t f = 0; f < group.families.size(); ++f) {
            w.family(group.families[f].name, group.families[f].type, group.families[f].help);
            for (const auto &subject : group.subjects) {
                for (const reading &r : subject.readings[f]) {
                    std::array<std::string_view, 6> labels;
                    std::size_t n = 0;
                    if (group.subject_label != nullptr) {
                        labels[n++] = group.subject_label;
                        labels[n++] = subject.name;
                    }
                    if (r.label != nullptr) {
                        labels[n++] = r.label;
                        labels[n++] = r.label_value;
                    }
                    if (r.label2 != nullptr) {
                        labels[n++] = r.label2;
                        labels[n++] = r.label2_value;
                    }
                    w.sample(std::span<const std::string_view>(labels.data(), n), r.value);
                }
            }
        }
    }
    return out;
}

} // namespace kestivane::metrics
