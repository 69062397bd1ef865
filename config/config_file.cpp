// The configuration file: options, server lines, address bindings and plug-in
// sections, each acted on as soon as its line is read, so that a setting
// governs only what comes after it.
#include <arpa/inet.h>
#include <err.h>
#include <net/if.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "config/config_check.h"
#include "config/ip_binding.h"
#include "config/servers6.h"
#include "core/privileges.h"
#include "core/settings.h"
#include "net/relay6.h"
#include "net/relay_suboptions.h"
#include "net/source_address.h"
#include "plugins/loader.h"

namespace {

// At most 4999 characters are read at a time; a longer line comes in
// several pieces, and each piece is a line of its own, counted and handled.
constexpr std::size_t line_buffer_size = 5000;
// plugin_base keeps at most 79 characters and its NUL.
constexpr std::size_t plugin_base_text_limit = sizeof plugin_base - 1;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

enum class Section { servers, servers6, options, plugin };

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Section names and keys match without regard to case; nothing is trimmed,
// so "max_hops " (blank before '=') is another key.
bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::size_t ifind(std::string_view text, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (iequals(text.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

// Reads the next piece of text into buffer. False at end of file; a read
// error ends the process rather than pass for the end of the file.
bool read_piece(std::FILE *file, char (&buffer)[line_buffer_size], const std::string &path) {
    if (std::fgets(buffer, sizeof buffer, file) != nullptr) return true;
    if (std::ferror(file)) errx(1, "Can't read: %s: %s", path.c_str(), std::strerror(errno));
    return false;
}

// Only '#' in the first column starts a comment, and only a bare line end is
// empty: a line of blanks, or blanks and then '#', is a line like any other.
bool is_skipped(const char *piece) { return piece[0] == '#' || piece[0] == '\n'; }

// Drops the line end; a carriage return before it stays part of the line.
void cut_line_end(char *piece) {
    if (char *newline = std::strchr(piece, '\n'); newline != nullptr) *newline = '\0';
}

struct Number {
    long value;
    bool has_digits;
    bool fits_long;
};

// Decimal as strtol reads it: leading white space and a sign, digits up to
// the first other character, 0 without digits.
Number read_number(const std::string &text) {
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    return {value, end != text.c_str(), errno != ERANGE};
}

// A range is checked on the number as written, before it is stored as a
// 32-bit int, so that a huge value cannot wrap into the range.
bool within(const Number &number, long low, long high) {
    return number.fits_long && number.value >= low && number.value <= high;
}

void set_plugin_path(std::string_view value) {
    std::string dir(value.substr(0, plugin_base_text_limit));
    if ((dir.empty() || dir.back() != '/') && dir.size() < plugin_base_text_limit) dir += '/';
    std::snprintf(plugin_base, sizeof plugin_base, "%s", dir.c_str());
    logd(kestivane::log_debug, "Option plugin_base set to: %s", plugin_base);
}

// link_selection and server_id_override, for every interface or, with
// ".<interface>" after the key, for that one: "on" or "off". False for any
// other key.
bool set_fabric_key(std::string_view key, const std::string &value, int line_number) {
    struct name {
        std::string_view text;
        kestivane::fabric_suboption which;
    };
    for (const name n : {name{"link_selection", kestivane::fabric_suboption::link_selection},
                         name{"server_id_override", kestivane::fabric_suboption::server_id_override}}) {
        if (key.size() < n.text.size() || !iequals(key.substr(0, n.text.size()), n.text)) continue;
        std::string_view ifname = key.substr(n.text.size());
        if (!ifname.empty()) {
            if (ifname[0] != '.') continue;
            ifname.remove_prefix(1);
            if (ifname.empty() || ifname.size() >= IF_NAMESIZE)
                errx(1, "Wrong interface name in %.*s. Line: %d", static_cast<int>(n.text.size()), n.text.data(),
                     line_number);
        }
        bool on = iequals(value, "on");
        if (!on && !iequals(value, "off"))
            errx(1, "Wrong %.*s value (on or off). Line: %d", static_cast<int>(n.text.size()), n.text.data(),
                 line_number);
        kestivane::choose_suboption(n.which, ifname, on);
        logd(kestivane::log_debug, "Option %.*s set to: %s", static_cast<int>(key.size()), key.data(), value.c_str());
        return true;
    }
    return false;
}

// source_interface, for every interface or, with ".<interface>" after the
// key, for that one: the source interface's name, and after a blank the
// address of it to send from. False for any other key.
bool set_source_key(std::string_view key, const std::string &value, int line_number) {
    constexpr std::string_view name = "source_interface";
    if (key.size() < name.size() || !iequals(key.substr(0, name.size()), name)) return false;
    std::string_view ifname = key.substr(name.size());
    if (!ifname.empty()) {
        if (ifname[0] != '.') return false;
        ifname.remove_prefix(1);
        if (ifname.empty() || ifname.size() >= IF_NAMESIZE)
            errx(1, "Wrong interface name in source_interface. Line: %d", line_number);
    }
    std::string_view text = value;
    const std::size_t blank = text.find(' ');
    const std::string_view source = text.substr(0, blank);
    uint32_t address = 0;
    bool good = !source.empty() && source.size() < IF_NAMESIZE;
    if (good && blank != std::string_view::npos) {
        const std::string dotted(text.substr(blank + 1));
        good = inet_pton(AF_INET, dotted.c_str(), &address) == 1 && address != 0;
    }
    if (!good) errx(1, "Wrong source_interface value (interface [address]). Line: %d", line_number);
    kestivane::choose_source_interface(ifname, source, address);
    logd(kestivane::log_debug, "Option %.*s set to: %s", static_cast<int>(key.size()), key.data(), value.c_str());
    return true;
}

void set_option(std::string_view line, int line_number) {
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) errx(1, "Option error. Line: %d", line_number);
    const std::string_view key = line.substr(0, equals);
    const std::string value(line.substr(equals + 1));
    // A reload compares the keys that only a restart applies as written.
    kestivane::config::record_setting(line);

    if (iequals(key, "max_packet_size")) {
        Number number = read_number(value);
        if (!within(number, kestivane::min_packet_size, kestivane::max_packet_size_limit))
            errx(1, "Wrong packet size. Line: %d", line_number);
        max_packet_size = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option max_packet_size set to: %d", max_packet_size);
    } else if (iequals(key, "max_hops")) {
        Number number = read_number(value);
        if (!within(number, kestivane::min_hops_limit, kestivane::max_hops_limit))
            errx(1, "Wrong hops number. Line: %d", line_number);
        max_hops = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option max_hops set to: %d", max_hops);
    } else if (iequals(key, "rps_limit")) {
        // Listeners compare the limit as an unsigned 32-bit number, so every
        // value from INT32_MIN (read as a huge limit) to UINT32_MAX means what
        // it says; anything wider would wrap into another, smaller limit.
        Number number = read_number(value);
        if (!number.has_digits || !within(number, INT32_MIN, UINT32_MAX)) errx(1, "rps_limit number error");
        rps_limit = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option rps_limit set to: %d", rps_limit);
    } else if (iequals(key, "interface_grace")) {
        Number number = read_number(value);
        if (!number.has_digits || !within(number, 1, kestivane::interface_grace_limit))
            errx(1, "Wrong interface grace. Line: %d", line_number);
        interface_grace = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option interface_grace set to: %d", interface_grace);
    } else if (iequals(key, "queue_limit")) {
        Number number = read_number(value);
        if (!within(number, 1, kestivane::max_queue_limit)) errx(1, "Wrong queue limit. Line: %d", line_number);
        queue_limit = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option queue_limit set to: %d", queue_limit);
    } else if (iequals(key, "stats_file")) {
        // The relay changes to / once it runs as a daemon, so a relative
        // path would name another file than the operator meant.
        if (value.empty() || value[0] != '/') errx(1, "Wrong stats file. Line: %d", line_number);
        kestivane::stats_file = value;
        logd(kestivane::log_debug, "Option stats_file set to: %s", kestivane::stats_file.c_str());
    } else if (iequals(key, "stats_interval")) {
        Number number = read_number(value);
        if (!within(number, kestivane::min_stats_interval, kestivane::max_stats_interval))
            errx(1, "Wrong stats interval. Line: %d", line_number);
        kestivane::stats_interval = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option stats_interval set to: %d", kestivane::stats_interval);
    } else if (iequals(key, "answer_sources")) {
        if (value == "servers") kestivane::answer_sources_accepted = kestivane::answer_sources::servers;
        else if (value == "any") kestivane::answer_sources_accepted = kestivane::answer_sources::any;
        else errx(1, "Wrong answer_sources value (servers or any). Line: %d", line_number);
        logd(kestivane::log_debug, "Option answer_sources set to: %s", value.c_str());
    } else if (iequals(key, "relay_port")) {
        Number number = read_number(value);
        if (!number.has_digits || !within(number, 1, kestivane::relay_port_limit))
            errx(1, "Wrong relay port. Line: %d", line_number);
        // Server lines open their interfaces' sockets as they are read.
        if (if_num > 0) errx(1, "relay_port must come before the first server line. Line: %d", line_number);
        kestivane::relay_port = static_cast<int32_t>(number.value);
        logd(kestivane::log_debug, "Option relay_port set to: %d", kestivane::relay_port);
    } else if (set_fabric_key(key, value, line_number)) {
    } else if (set_source_key(key, value, line_number)) {
    } else if (iequals(key, "plugin_path")) {
        set_plugin_path(value);
    } else if (iequals(key, "user")) {
        set_run_as_user(value, line_number);
    } else if (iequals(key, "sandbox")) {
        set_sandbox(value, line_number);
    } else if (iequals(key, "sandbox_allow")) {
        add_sandbox_calls(value, line_number);
    } else if (kestivane::config::set_v6_option(key, value, line_number)) {
    } else {
        errx(1, "Unknown option in [Options] section. Line: %d", line_number);
    }
}

// A servers file holds server lines only: whatever looks like a header or a
// key there is a server line all the same. Its lines are not counted.
void read_servers_file(const std::string &path) {
    File file(std::fopen(path.c_str(), "r"));
    if (!file) errx(1, "Can't open servers config file: %s", path.c_str());
    char piece[line_buffer_size];
    while (read_piece(file.get(), piece, path)) {
        if (is_skipped(piece)) continue;
        cut_line_end(piece);
        parse_servers_line(piece);
    }
}

// line is the writable buffer: a server line is cut up in place.
void handle_servers_line(char *line, int line_number) {
    const std::string_view text(line);
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        parse_servers_line(line);
        return;
    }
    const std::string_view key = text.substr(0, equals);
    const std::string_view value = text.substr(equals + 1);
    if (iequals(key, "bind_ip"))
        bind_ip(value, line_number);
    else if (iequals(key, "file"))
        read_servers_file(std::string(value));
    else
        errx(1, "Unknown option in [Servers] section. Line: %d", line_number);
}

bool is_server6_text(std::string_view line) {
    std::size_t close = line.find(']');
    return close == std::string_view::npos || close != line.size() - 1;
}

Section open_section(std::string_view line, int line_number) {
    std::size_t close = line.find(']');
    if (close == std::string_view::npos || close != line.size() - 1)
        errx(1, "Config file syntax error. Line: %d", line_number);
    const std::string_view name = line.substr(1, close - 1);
    if (iequals(name, "servers")) return Section::servers;
    if (iequals(name, "servers6")) return Section::servers6;
    if (iequals(name, "options")) return Section::options;
    std::size_t mark = ifind(name, "-plugin");
    if (mark == std::string_view::npos) errx(1, "Section name error. Line: %d", line_number);
    load_plugin(name.substr(0, mark), line_number);
    return Section::plugin;
}

} // namespace

extern "C" void read_config(const char *path) {
    const std::string file_path(path);
    File file(std::fopen(path, "r"));
    if (!file) errx(1, "Can't open: %s", path);

    char piece[line_buffer_size];
    int line_number = 0;
    Section section = Section::servers;
    while (read_piece(file.get(), piece, file_path)) {
        ++line_number;
        if (is_skipped(piece)) continue;
        cut_line_end(piece);
        // In [servers6], "[2001:db8::1]:547 eth0" is a server line: a header
        // there is a line whose only ']' ends it.
        if (piece[0] == '[' && !(section == Section::servers6 && is_server6_text(piece))) {
            section = open_section(piece, line_number);
            continue;
        }
        switch (section) {
        case Section::servers:
            handle_servers_line(piece, line_number);
            break;
        case Section::servers6:
            kestivane::config::parse_servers6_line(piece);
            break;
        case Section::options:
            set_option(piece, line_number);
            break;
        case Section::plugin:
            append_plugin_option(piece);
            break;
        }
    }
    file.reset();

    // A file with DHCPv6 lines only starts a relay for DHCPv6 alone.
    if (if_num == 0 && !kestivane::relay6::configured()) errx(1, "No interfaces found to listen. Exiting.");
}
