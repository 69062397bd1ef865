#include "metrics/exposition.h"

#include <algorithm>
#include <cstdio>

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
    void sample(std::initializer_list<std::string_view> labels, uint64_t value) {
        start(labels);
        out_ += std::to_string(value);
        out_ += '\n';
    }

    void sample(std::initializer_list<std::string_view> labels, double value) {
        start(labels);
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", value);
        out_ += text;
        out_ += '\n';
    }

private:
    void start(std::initializer_list<std::string_view> labels) {
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

void write_v6(writer &w, const snapshot &shot) {
    const auto &ifs = shot.interfaces6;
    w.family("kestivane_v6_requests_received_total", "counter",
             "UDP datagrams to the DHCPv6 port of the relay on the lower interface.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.received);
    w.family("kestivane_v6_requests_dropped_total", "counter",
             "DHCPv6 messages from the lower interface that went no further, by reason.");
    for (const auto &i : ifs)
        for (std::size_t r = 0; r < request6_drop_count; ++r)
            w.sample({"interface", i.name, "reason", name_of(static_cast<request6_drop>(r))}, i.dropped[r]);
    w.family("kestivane_v6_requests_forwarded_total", "counter", "Relay-Forwards sent to the DHCPv6 server.");
    for (const auto &i : ifs)
        for (const auto &s : i.servers) w.sample({"interface", i.name, "server", s.label}, s.forwarded);
    w.family("kestivane_v6_forward_errors_total", "counter", "Relay-Forwards whose send to the DHCPv6 server failed.");
    for (const auto &i : ifs)
        for (const auto &s : i.servers) w.sample({"interface", i.name, "server", s.label}, s.errors);
    w.family("kestivane_v6_answers_delivered_total", "counter",
             "Messages out of Relay-Replies sent to their peer on the lower interface.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.delivered);
    w.family("kestivane_v6_answer_write_errors_total", "counter",
             "Messages out of Relay-Replies whose send on the lower interface failed.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.write_errors);
    w.family("kestivane_v6_answers_received_total", "counter", "Datagrams read from the DHCPv6 server socket.");
    w.sample({}, shot.upper6.received);
    w.family("kestivane_v6_answers_dropped_total", "counter",
             "Datagrams from the DHCPv6 servers that no lower interface took, by reason.");
    for (std::size_t r = 0; r < answer6_drop_count; ++r)
        w.sample({"reason", name_of(static_cast<answer6_drop>(r))}, shot.upper6.dropped[r]);
}

} // namespace

std::string format_exposition(const snapshot &shot, const exposition_extras &extras) {
    std::string out;
    writer w(out);
    const auto &ifs = shot.interfaces;

    w.family("kestivane_build_info", "gauge", "The relay's version, as a label; always 1.");
    w.sample({"version", extras.version}, uint64_t{1});
    w.family("kestivane_start_time_seconds", "gauge", "When the relay started, in seconds since the epoch.");
    w.sample({}, extras.start_time);

    w.family("kestivane_requests_captured_total", "counter", "Frames captured on the interface.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.captured);
    w.family("kestivane_requests_dropped_total", "counter",
             "Captured frames that went no further, by reason (send_to_server rejections and bad "
             "messages count once per server).");
    for (const auto &i : ifs)
        for (std::size_t r = 0; r < request_drop_count; ++r)
            w.sample({"interface", i.name, "reason", name_of(static_cast<request_drop>(r))}, i.dropped[r]);
    w.family("kestivane_requests_forwarded_total", "counter", "Requests sent to the server.");
    for (const auto &i : ifs)
        for (const auto &s : i.servers) w.sample({"interface", i.name, "server", s.label}, s.forwarded);
    w.family("kestivane_forward_errors_total", "counter", "Requests whose send to the server failed.");
    for (const auto &i : ifs)
        for (const auto &s : i.servers) w.sample({"interface", i.name, "server", s.label}, s.errors);

    w.family("kestivane_answers_received_total", "counter", "Datagrams read from the interface's server socket.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.received);
    w.family("kestivane_answers_dropped_total", "counter",
             "Server answers that went no further, by reason; receive errors, short answers, server_answer "
             "hooks and unknown giaddr count on the receiving interface, send_to_client hooks on the client's.");
    for (const auto &i : ifs)
        for (std::size_t r = 0; r < answer_drop_count; ++r)
            w.sample({"interface", i.name, "reason", name_of(static_cast<answer_drop>(r))}, i.answer_dropped[r]);
    w.family("kestivane_answers_delivered_total", "counter", "Answer frames written to the client's segment.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.delivered);
    w.family("kestivane_answer_write_errors_total", "counter", "Answer frames the interface did not take whole.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.write_errors);

    w.family("kestivane_capture_dropped_total", "counter", "Frames the kernel dropped from the capture ring.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.capture_kernel_dropped);
    w.family("kestivane_socket_dropped_total", "counter",
             "Datagrams the kernel dropped from the server socket's receive buffer.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.socket_dropped);
    // A link serves one family or both; one that serves both is one sample,
    // under its DHCPv4 interface: its alarm is raised while either family's
    // is, and the watcher keeps both families' link gauges alike.
    const auto only_v6 = [&ifs](const interface6_snapshot &l) {
        return std::none_of(ifs.begin(), ifs.end(), [&l](const interface_snapshot &i) { return i.name == l.name; });
    };
    const auto alarmed6 = [&extras](const std::string &name) {
        return std::find(extras.alarmed6.begin(), extras.alarmed6.end(), name) != extras.alarmed6.end();
    };
    w.family("kestivane_answer_alarm", "gauge",
             "1 while requests go out on the interface and no answer comes back, else 0.");
    for (const auto &i : ifs) {
        bool raised = std::find(extras.alarmed.begin(), extras.alarmed.end(), i.idx) != extras.alarmed.end();
        w.sample({"interface", i.name}, uint64_t{raised || alarmed6(i.name) ? 1u : 0u});
    }
    for (const auto &l : shot.interfaces6)
        if (only_v6(l)) w.sample({"interface", l.name}, uint64_t{alarmed6(l.name) ? 1u : 0u});
    w.family("kestivane_interface_up", "gauge", "1 while the relay relays on the interface, 0 while it is gone.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.up);
    for (const auto &l : shot.interfaces6)
        if (only_v6(l)) w.sample({"interface", l.name}, l.up);
    w.family("kestivane_interface_reopened_total", "counter",
             "Times the interface came back and was reopened, or moved to another relay address.");
    for (const auto &i : ifs) w.sample({"interface", i.name}, i.reopened);
    for (const auto &l : shot.interfaces6)
        if (only_v6(l)) w.sample({"interface", l.name}, l.reopened);

    w.family("kestivane_queue_length", "gauge", "Requests waiting to be forwarded.");
    w.sample({}, shot.queue_length);
    w.family("kestivane_queue_length_max", "gauge", "The most requests that have waited at once.");
    w.sample({}, shot.queue_length_max);
    if (shot.v6) write_v6(w, shot);
    return out;
}

} // namespace kestivane::metrics
