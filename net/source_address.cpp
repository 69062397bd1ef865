#include "net/source_address.h"

#include <arpa/inet.h>
#include <err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "dhcp/agent_option.h"
#include "dhcp/option_walk.h"
#include "net/interface_channels.h"
#include "net/interface_guard.h"
#include "net/interface_lifecycle.h"
#include "net/interface_watch.h"
#include "net/platform.h"
#include "net/privileged_open.h"
#include "net/relay_suboptions.h"

namespace kestivane {

namespace {

using choice = source_choice;

constexpr int32_t no_source = -1;
constexpr uint8_t sub_circuit_id = 1;

// Written by the configuration and start-up, then by a reload under the
// interface record lock; read by the packet paths under that lock.
std::vector<choice> choices;
std::vector<source_socket_entry> sockets;
uint64_t table_version = 0;
std::array<int32_t, KESTIVANE_MAX_INTERFACES> source_of = [] {
    std::array<int32_t, KESTIVANE_MAX_INTERFACES> none;
    none.fill(no_source);
    return none;
}();

const choice *chosen_in(const std::vector<choice> &among, const char *ifname) {
    const choice *found = nullptr;
    for (const choice &c : among) {
        if (c.ifname.empty() && (found == nullptr || found->ifname.empty())) found = &c;
        if (!c.ifname.empty() && c.ifname == ifname) found = &c;
    }
    return found;
}

const choice *chosen(const char *ifname) { return chosen_in(choices, ifname); }

int32_t number_of(const struct interface *iface) {
    if (iface == nullptr || iface->idx < 0 || iface->idx >= KESTIVANE_MAX_INTERFACES) return no_source;
    return source_of[static_cast<std::size_t>(iface->idx)];
}

struct dotted {
    char text[INET_ADDRSTRLEN] = "?";
    explicit dotted(uint32_t address) { inet_ntop(AF_INET, &address, text, sizeof text); }
};

// The address c names on its source interface, or false with the reason
// (the start's message) in why.
bool resolve(const choice &c, const char *client, uint32_t &address, std::string &why) {
    char text[160];
    platform::link_view view;
    if (!platform::look_at_link(c.source.c_str(), view)) {
        std::snprintf(text, sizeof text, "Can't read the addresses of %s: %s", c.source.c_str(), std::strerror(errno));
    } else if (!view.present) {
        std::snprintf(text, sizeof text, "Source interface %s of %s does not exist.", c.source.c_str(), client);
    } else {
        // The first address leaves out the host's own (127.0.0.0/8), which
        // a loopback always has and no server can answer to.
        for (uint32_t ip : view.ipv4) {
            if (c.address != 0 ? ip == c.address : (ntohl(ip) >> 24) != 127) {
                address = ip;
                return true;
            }
        }
        if (c.address != 0)
            std::snprintf(text, sizeof text, "Source interface %s of %s has no address %s.", c.source.c_str(), client,
                          dotted(c.address).text);
        else
            std::snprintf(text, sizeof text, "Source interface %s of %s has no IPv4 address other than 127.0.0.0/8.",
                          c.source.c_str(), client);
    }
    why = text;
    return false;
}

// A relayed interface's own address already has that interface's socket
// on the same port: the kernel would hand each answer to one of the two,
// and the other interface's answers would be lost. Empty when address is
// no relay address.
std::string taken_address(uint32_t address, const char *client) {
    for (int32_t j = 0; j < if_num; ++j)
        if (ifs[j] != nullptr && ifs[j]->ip == address && !interface_retired(j)) {
            char text[160];
            std::snprintf(text, sizeof text, "Source address %s of %s is the relay address of %s.",
                          dotted(address).text, client, ifs[j]->name);
            return text;
        }
    return {};
}

int32_t socket_for(uint32_t address) {
    for (std::size_t n = 0; n < sockets.size(); ++n)
        if (sockets[n].address == address) return static_cast<int32_t>(n);
    int sock = -1;
    if (!check_only) {
        const char *failed = nullptr;
        sock = open_relay_socket(address, &failed);
        if (sock < 0) process_error(32, "%s at source address %s: %s", failed, dotted(address).text, std::strerror(errno));
    }
    sockets.push_back({address, sock});
    return static_cast<int32_t>(sockets.size() - 1);
}

// The choices as described, read back: "<ifname or *> <source> <address>",
// 0.0.0.0 for the source interface's first.
bool read_choice(std::string_view line, choice &c) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    const std::string_view ifname = line.substr(0, first);
    c.ifname = ifname == "*" ? std::string() : std::string(ifname);
    c.source = line.substr(first + 1, second - first - 1);
    const std::string address(line.substr(second + 1));
    return !c.source.empty() && inet_pton(AF_INET, address.c_str(), &c.address) == 1;
}

} // namespace

void choose_source_interface(std::string_view ifname, std::string_view source, uint32_t address) {
    choices.push_back({std::string(ifname), std::string(source), address});
    note_named_interface(source);
}

void forget_source_addresses() {
    for (const source_socket_entry &s : sockets)
        if (s.sock >= 0) close(s.sock);
    sockets.clear();
    choices.clear();
    source_of.fill(no_source);
}

void settle_source_addresses() {
    for (int32_t i = 0; i < if_num; ++i) {
        const struct interface *iface = ifs[i];
        if (iface == nullptr || iface->idx < 0 || iface->idx >= KESTIVANE_MAX_INTERFACES) continue;
        const choice *c = chosen(iface->name);
        if (c == nullptr) continue;
        uint32_t address = 0;
        std::string why;
        if (!resolve(*c, iface->name, address, why)) errx(1, "%s", why.c_str());
        why = taken_address(address, iface->name);
        if (!why.empty()) errx(1, "%s", why.c_str());
        source_of[static_cast<std::size_t>(iface->idx)] = socket_for(address);
        logd(log_warning, "%s %s for %s (%s)", check_only ? "Would send from" : "Send from", dotted(address).text,
             iface->name, c->source.c_str());
    }
}

std::vector<std::string> describe_source_choices() {
    std::vector<std::string> lines;
    for (const choice &c : choices)
        lines.push_back((c.ifname.empty() ? std::string("*") : c.ifname) + ' ' + c.source + ' ' + dotted(c.address).text);
    return lines;
}

bool source_switch::prepare(const std::vector<std::string> &choice_lines, uint16_t port, std::string &why) {
    std::vector<choice> read;
    for (const std::string &line : choice_lines) {
        choice c;
        if (!read_choice(line, c)) {
            why = "an unreadable source interface: " + line;
            return false;
        }
        read.push_back(std::move(c));
    }
    return prepare(std::move(read), port, why);
}

bool source_switch::prepare(std::vector<source_choice> chosen, uint16_t port, std::string &why) {
    choices_ = std::move(chosen);
    source_of_.fill(no_source);
    const bool same_port = port == relay_socket_port();
    for (int32_t i = 0; i < interface_count(); ++i) {
        const struct interface *iface = ifs[i];
        if (iface == nullptr || interface_retired(i)) continue;
        const choice *c = chosen_in(choices_, iface->name);
        if (c == nullptr) continue;
        uint32_t address = 0;
        if (!resolve(*c, iface->name, address, why)) return false;
        why = taken_address(address, iface->name);
        if (!why.empty()) return false;
        std::size_t n = 0;
        while (n < sockets_.size() && sockets_[n].address != address) ++n;
        if (n == sockets_.size()) {
            int sock = -1;
            for (const source_socket_entry &old : sockets)
                if (same_port && old.address == address) sock = old.sock;
            const bool fresh = sock < 0;
            if (fresh) {
                const char *failed = "socket";
                sock = open_privileged(privileged_kind::relay_socket, c->source.c_str(), address, &failed, port);
                if (sock < 0) {
                    why = std::string(failed) + " at source address " + dotted(address).text + ": " + std::strerror(errno);
                    return false;
                }
            }
            sockets_.push_back({address, sock});
            opened_.push_back(fresh);
        }
        source_of_[static_cast<std::size_t>(iface->idx)] = static_cast<int32_t>(n);
    }
    return true;
}

void source_switch::commit() {
    for (const source_socket_entry &old : sockets) {
        bool kept = false;
        for (const source_socket_entry &s : sockets_) kept = kept || s.sock == old.sock;
        if (kept) continue;
        // Wakes the answer thread's wait on it, which would otherwise go on
        // watching the old socket until its time is up.
        shutdown(old.sock, SHUT_RD);
        to_close_.push_back(old.sock);
    }
    choices = std::move(choices_);
    sockets = std::move(sockets_);
    source_of = source_of_;
    ++table_version;
    committed_ = true;
}

source_switch::~source_switch() {
    if (committed_) {
        for (int sock : to_close_) close(sock);
        return;
    }
    for (std::size_t n = 0; n < sockets_.size(); ++n)
        if (opened_[n]) close(sockets_[n].sock);
}

void settle_source_address_at_run_time(const struct interface *iface) {
    if (chosen(iface->name) == nullptr) {
        interface_writer exclusive;
        settle_relay_suboptions();
        return;
    }
    const watcher_hold held;
    source_switch switched;
    std::string why;
    // The choices in effect, the same again: only this interface is new.
    if (!switched.prepare(choices, relay_socket_port(), why)) {
        logd(log_error, "Interface %s sends from its own address: %s", iface->name, why.c_str());
        return;
    }
    interface_writer exclusive;
    switched.commit();
    settle_relay_suboptions();
    interface_sockets_changed();
}

bool has_source_address(const struct interface *iface) { return number_of(iface) != no_source; }

uint32_t relay_address(const struct interface *iface) {
    const int32_t n = number_of(iface);
    return n == no_source ? iface->ip : sockets[static_cast<std::size_t>(n)].address;
}

int sending_socket(const struct interface *iface) {
    const int32_t n = number_of(iface);
    return n == no_source ? iface->sock : sockets[static_cast<std::size_t>(n)].sock;
}

uint64_t source_table_version() { return table_version; }

int32_t source_socket_count() { return check_only ? 0 : static_cast<int32_t>(sockets.size()); }

int source_socket(int32_t number) { return sockets[static_cast<std::size_t>(number)].sock; }

int32_t interface_of_answer(struct dhcp_packet &answer, int32_t number) {
    const uint8_t *option = find_option(&answer, dhcp::code_agent_info);
    if (option == nullptr) return if_num;
    const std::size_t len = option[1];
    const uint8_t *data = option + 2;
    std::string_view circuit;
    // The last link selection is the one this relay wrote: its own are
    // appended after whatever option 82 the request carried.
    const uint8_t *selection = nullptr;
    for (std::size_t at = 0; at + 1 < len && at + 2 + data[at + 1] <= len; at += 2u + data[at + 1]) {
        const auto *value = data + at + 2;
        if (data[at] == sub_circuit_id && circuit.empty())
            circuit = std::string_view(reinterpret_cast<const char *>(value), data[at + 1]);
        if (data[at] == dhcp::sub_link_selection && data[at + 1] == sizeof(uint32_t)) selection = value;
    }
    if (selection != nullptr) {
        uint32_t named;
        std::memcpy(&named, selection, sizeof named);
        // Only an interface that sends from this socket's address: another
        // one's answers come back to its own address. A link selection
        // that names none of them decides: it is not passed over for a
        // circuit-id.
        for (int32_t i = 0; i < if_num; ++i)
            if (ifs[i]->ip == named && number_of(ifs[i]) == number && !interface_retired(i)) return i;
        return if_num;
    }
    // A server that leaves link selection out of its answer: the circuit-id
    // that the agent_info plug-in writes by default, the interface's name.
    if (!circuit.empty())
        for (int32_t i = 0; i < if_num; ++i)
            if (number_of(ifs[i]) == number && circuit == ifs[i]->name && !interface_retired(i)) return i;
    return if_num;
}

int32_t first_interface_of(int32_t number) {
    for (int32_t i = 0; i < interface_count(); ++i)
        if (number_of(ifs[i]) == number && !interface_retired(i)) return i;
    return 0;
}

} // namespace kestivane
