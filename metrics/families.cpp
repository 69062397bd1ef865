// The description of every metric family, and its readings.
//
// A family is one row of its group's table: the family, then where its
// samples come from on one subject (one field; one per reason; one per
// server; or a judgement the snapshot does not hold, like the alarm). To
// show a new counter, add its field to the snapshot and a row here; a new
// reason needs nothing here, its list of names carries it.
#include "metrics/families.h"

#include <algorithm>
#include <span>
#include <string_view>

namespace kestivane::metrics {

std::string dump_name(const family &f) {
    std::string_view name = f.name;
    constexpr std::string_view prefix = "kestivane_";
    constexpr std::string_view suffix = "_total";
    if (name.starts_with(prefix)) name.remove_prefix(prefix.size());
    if (name.ends_with(suffix)) name.remove_suffix(suffix.size());
    return std::string(name);
}

namespace {

constexpr const char *counter = "counter";
constexpr const char *gauge = "gauge";

struct context {
    const std::vector<int32_t> &alarmed;
};

// A link as the link families show it: one subject per interface name,
// whichever families it serves (an interface of both is one link).
struct link_reading {
    std::string name;
    uint64_t alarm = 0; // either family's alarm raised
    uint64_t up = 0;
    uint64_t reopened = 0; // both families' returns and address moves
};

template <class Subject> struct row {
    family f;
    uint64_t Subject::*value = nullptr;
    void (*per_reason)(const Subject &, std::vector<reading> &) = nullptr;
    uint64_t server_snapshot::*per_server = nullptr;
    uint64_t (*judged)(const Subject &, const context &) = nullptr;
};

// One sample per reason of the list Reason, from the subject's array Counts.
template <class Reason, auto Counts, class Subject> void by_reason(const Subject &s, std::vector<reading> &out) {
    for (std::size_t r = 0; r < reason_count<Reason>; ++r)
        out.push_back({"reason", name_of(static_cast<Reason>(r)), (s.*Counts)[r]});
}

// One sample per direction and message type, from the subject's arrays
// Received and Sent.
template <class Type, auto Received, auto Sent, class Subject>
void by_direction_and_type(const Subject &s, std::vector<reading> &out) {
    for (std::size_t t = 0; t < reason_count<Type>; ++t)
        out.push_back({"direction", "received", (s.*Received)[t], "type", name_of(static_cast<Type>(t))});
    for (std::size_t t = 0; t < reason_count<Type>; ++t)
        out.push_back({"direction", "sent", (s.*Sent)[t], "type", name_of(static_cast<Type>(t))});
}

using v4 = interface_snapshot;
using v6 = interface6_snapshot;

// The DHCPv4 interfaces, then the DHCPv6 lower interfaces of other names.
std::vector<link_reading> read_links(const snapshot &shot, const std::vector<int32_t> &alarmed,
                                     const std::vector<std::string> &alarmed6) {
    const auto raised6 = [&alarmed6](const std::string &name) {
        return std::find(alarmed6.begin(), alarmed6.end(), name) != alarmed6.end();
    };
    std::vector<link_reading> links;
    for (const v4 &i : shot.interfaces) {
        const bool raised = std::find(alarmed.begin(), alarmed.end(), i.idx) != alarmed.end();
        links.push_back({i.name, raised || raised6(i.name) ? 1u : 0u, i.up, i.reopened});
    }
    for (const v6 &l : shot.interfaces6) {
        auto same = std::find_if(links.begin(), links.end(), [&l](const link_reading &k) { return k.name == l.name; });
        if (same != links.end()) {
            same->reopened += l.reopened;
            continue;
        }
        links.push_back({l.name, raised6(l.name) ? 1u : 0u, l.up, l.reopened});
    }
    return links;
}

const row<v4> interface_rows[] = {
    {.f = {"kestivane_requests_captured_total", counter, "Frames captured on the interface.", true},
     .value = &v4::captured},
    {.f = {"kestivane_requests_dropped_total", counter,
           "Captured frames that went no further, by reason (send_to_server rejections and bad "
           "messages count once per server).",
           true},
     .per_reason = by_reason<request_drop, &v4::dropped>},
    {.f = {"kestivane_unicast_requests_total", counter,
           "Requests sent to the relay's own address (renewals through server-identifier override), relayed "
           "like broadcast ones.",
           false},
     .value = &v4::unicast},
    {.f = {"kestivane_requests_forwarded_total", counter, "Requests sent to the server.", true},
     .per_server = &server_snapshot::forwarded},
    {.f = {"kestivane_forward_errors_total", counter, "Requests whose send to the server failed.", true},
     .per_server = &server_snapshot::errors},
    {.f = {"kestivane_answers_received_total", counter, "Datagrams read from the interface's server socket.", true},
     .value = &v4::received},
    {.f = {"kestivane_answers_dropped_total", counter,
           "Server answers that went no further, by reason; receive errors, short answers, server_answer "
           "hooks and unknown giaddr count on the receiving interface, send_to_client hooks on the client's.",
           true},
     .per_reason = by_reason<answer_drop, &v4::answer_dropped>},
    {.f = {"kestivane_answers_delivered_total", counter, "Answer frames written to the client's segment.", true},
     .value = &v4::delivered},
    {.f = {"kestivane_answer_write_errors_total", counter, "Answer frames the interface did not take whole.", true},
     .value = &v4::write_errors},
    {.f = {"kestivane_capture_dropped_total", counter, "Frames the kernel dropped from the capture ring.", true},
     .value = &v4::capture_kernel_dropped},
    {.f = {"kestivane_socket_dropped_total", counter,
           "Datagrams the kernel dropped from the server socket's receive buffer.", true},
     .value = &v4::socket_dropped},
    {.f = {"kestivane_messages_total", counter,
           "DHCP messages by direction and type: received are the requests taken in on the interface and the "
           "answers read from its server socket; sent are the copies of its requests sent to servers (one per "
           "server) and the answers written to its segment.",
           false, "Messages of interface "},
     .per_reason = by_direction_and_type<message4, &v4::messages_received, &v4::messages_sent>},
};

const row<link_reading> link_rows[] = {
    {.f = {"kestivane_answer_alarm", gauge,
           "1 while requests go out on the interface and no answer comes back, else 0.", false},
     .value = &link_reading::alarm},
    {.f = {"kestivane_interface_up", gauge, "1 while the relay relays on the interface, 0 while it is gone.",
           false},
     .value = &link_reading::up},
    {.f = {"kestivane_interface_reopened_total", counter,
           "Times the interface came back and was reopened, or moved to another relay address.", false},
     .value = &link_reading::reopened},
};

const row<snapshot> queue_rows[] = {
    {.f = {"kestivane_queue_length", gauge, "Requests waiting to be forwarded.", true},
     .value = &snapshot::queue_length},
    {.f = {"kestivane_queue_length_max", gauge, "The most requests that have waited at once.", true},
     .value = &snapshot::queue_length_max},
};

const row<v6> interface6_rows[] = {
    {.f = {"kestivane_v6_requests_received_total", counter,
           "UDP datagrams to the DHCPv6 port of the relay on the lower interface.", true},
     .value = &v6::received},
    {.f = {"kestivane_v6_requests_dropped_total", counter,
           "DHCPv6 messages from the lower interface that went no further, by reason.", true},
     .per_reason = by_reason<request6_drop, &v6::dropped>},
    {.f = {"kestivane_v6_requests_forwarded_total", counter, "Relay-Forwards sent to the DHCPv6 server.", true},
     .per_server = &server_snapshot::forwarded},
    {.f = {"kestivane_v6_forward_errors_total", counter, "Relay-Forwards whose send to the DHCPv6 server failed.",
           true},
     .per_server = &server_snapshot::errors},
    {.f = {"kestivane_v6_answers_delivered_total", counter,
           "Messages out of Relay-Replies sent to their peer on the lower interface.", true},
     .value = &v6::delivered},
    {.f = {"kestivane_v6_answer_write_errors_total", counter,
           "Messages out of Relay-Replies whose send on the lower interface failed.", true},
     .value = &v6::write_errors},
    {.f = {"kestivane_v6_messages_total", counter,
           "DHCPv6 messages by direction and type: received are the messages from the lower link and the "
           "Relay-Replies for it; sent are the Relay-Forwards sent for it (one per server) and the messages "
           "sent on its link.",
           false, "Messages of DHCPv6 interface "},
     .per_reason = by_direction_and_type<message6, &v6::messages_received, &v6::messages_sent>},
};

const row<upper6_snapshot> upper6_rows[] = {
    {.f = {"kestivane_v6_answers_received_total", counter, "Datagrams read from the DHCPv6 server socket.", true},
     .value = &upper6_snapshot::received},
    {.f = {"kestivane_v6_answers_dropped_total", counter,
           "Datagrams from the DHCPv6 servers that no lower interface took, by reason.", true},
     .per_reason = by_reason<answer6_drop, &upper6_snapshot::dropped>},
};

template <class Subject> std::vector<reading> read_row(const row<Subject> &r, const Subject &s, const context &c) {
    std::vector<reading> out;
    if (r.value != nullptr) out.push_back({nullptr, {}, s.*r.value});
    if (r.per_reason != nullptr) r.per_reason(s, out);
    if (r.judged != nullptr) out.push_back({nullptr, {}, r.judged(s, c)});
    if constexpr (requires { s.servers; }) {
        if (r.per_server != nullptr)
            for (const auto &server : s.servers) out.push_back({"server", server.label, server.*r.per_server});
    }
    return out;
}

// subjects: the interfaces of a group of interfaces (subject_label set), or
// the group's one unnamed subject.
template <class Subject>
family_group read_group(const char *dump_head, const char *subject_label, std::span<const row<Subject>> rows,
                        std::span<const Subject> subjects, const context &c) {
    family_group group{dump_head, subject_label, {}, {}};
    for (const auto &r : rows) group.families.push_back(r.f);
    for (const Subject &s : subjects) {
        family_group::subject subject;
        if constexpr (requires { s.name; }) subject.name = s.name;
        for (const auto &r : rows) subject.readings.push_back(read_row(r, s, c));
        group.subjects.push_back(std::move(subject));
    }
    return group;
}

} // namespace

std::vector<family_group> read_families(const snapshot &shot, const std::vector<int32_t> &alarmed,
                                        const std::vector<std::string> &alarmed6) {
    const context c{alarmed};
    std::vector<family_group> groups;
    groups.push_back(read_group<v4>("Counters of interface ", "interface", interface_rows, shot.interfaces, c));
    const std::vector<link_reading> links = read_links(shot, alarmed, alarmed6);
    groups.push_back(read_group<link_reading>(nullptr, "interface", link_rows, links, c));
    groups.push_back(read_group<snapshot>("Counters of the request queue: ", nullptr, queue_rows,
                                          std::span<const snapshot>(&shot, 1), c));
    // A relay without DHCPv6 shows no DHCPv6 families at all, rather than
    // families that can never have a sample.
    if (!shot.v6) return groups;
    groups.push_back(read_group<v6>("Counters of DHCPv6 interface ", "interface", interface6_rows, shot.interfaces6, c));
    groups.push_back(read_group<upper6_snapshot>("Counters of the DHCPv6 server socket: ", nullptr, upper6_rows,
                                                 std::span<const upper6_snapshot>(&shot.upper6, 1), c));
    return groups;
}

} // namespace kestivane::metrics
