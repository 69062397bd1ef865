// The server table: server texts ("host[:port]") and server lines
// ("host[:port] ifname...").
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config_check.h"
#include "config/server_text.h"
#include "core/settings.h"
#include "net/interface_lifecycle.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

} // namespace

extern "C" int32_t open_server(const char *text) {
    HeapText copy(strdup(text));
    if (!copy) process_error(16, "malloc");
    if (srv_num >= kestivane::servers_limit) process_error(32, "too many servers");
    logd(kestivane::log_debug, "Open server: %s", text);

    char *host = copy.get();
    kestivane::config::server_text parts;
    kestivane::config::split_server_text(host, kestivane::config::address_family::v4, parts);
    int32_t port = bootps_port;
    if (parts.port) {
        host[parts.host.size()] = '\0';
        // Only the low 16 bits count: 70000 is port 4464. The port's text
        // runs to the copy's end.
        auto bits = static_cast<uint16_t>(std::atoi(parts.port->data()));
        if (bits == 0) process_error(64, "bad port number");
        port = htons(bits);
    }

    const struct hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list[0] == nullptr) return 0;

    auto *record = static_cast<struct server *>(std::calloc(1, sizeof(struct server)));
    if (record == nullptr) process_error(16, "malloc");
    servers[srv_num] = record;
    record->name = strdup(host);
    if (record->name == nullptr) process_error(16, "malloc");
    record->addr.sin_family = AF_INET;
    record->addr.sin_port = static_cast<in_port_t>(port);
    std::size_t addr_len = static_cast<std::size_t>(entry->h_length);
    if (addr_len > sizeof record->addr.sin_addr) addr_len = sizeof record->addr.sin_addr;
    std::memcpy(&record->addr.sin_addr, entry->h_addr_list[0], addr_len);
    ++srv_num;

    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &record->addr.sin_addr, dotted, sizeof dotted);
    if (std::strncmp(host, dotted, sizeof dotted) != 0)
        logd(kestivane::log_warning, "DHCP server #%d: %s (%s)", srv_num, host, dotted);
    else
        logd(kestivane::log_warning, "DHCP server #%d: %s", srv_num, host);
    return 1;
}

extern "C" void parse_servers_line(char *line) {
    // The line is cut up in place: each part ends where its separator was.
    const auto parts = kestivane::config::split_server_line(line);
    line[parts.server.size()] = '\0';
    if (open_server(line) == 0) {
        logd(kestivane::log_warning, "Can't open server %s. Ignored.", line);
        return;
    }

    bool accepted = false;
    for (std::string_view name : parts.interfaces) {
        char *field = line + (name.data() - line);
        field[name.size()] = '\0';
        if (open_interface(field) != 0) {
            accepted = true;
            continue;
        }
        logd(kestivane::log_warning, "Interface %s does not exist. Ignored.", field);
        // A relay that starts waits for it, with this server; a reload's
        // check tells the relay.
        if (!kestivane::check_only) kestivane::await_interface(field, servers[srv_num - 1]);
        else kestivane::config::record_absent_interface(field, *servers[srv_num - 1]);
    }

    if (!accepted) {
        --srv_num;
        std::free(servers[srv_num]->name);
        std::free(servers[srv_num]);
        servers[srv_num] = nullptr;
    }
}
