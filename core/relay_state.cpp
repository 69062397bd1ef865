// The relay's process-wide tables and settings, defined once. Everything here
// is filled on the main thread during start-up and only read once the
// threads run, except the request queue, which queue_lock guards.
#include "core/settings.h"

#include <arpa/inet.h>

#include <atomic>

extern "C" {
struct interface *ifs[KESTIVANE_MAX_INTERFACES];
int32_t if_num;
struct server *servers[KESTIVANE_MAX_SERVERS];
int32_t srv_num;
struct plugin *plugins[KESTIVANE_MAX_PLUGINS];
struct plugin_options_head *options_heads[KESTIVANE_MAX_PLUGINS];
uint8_t plugins_number;
struct queue_head q_head = STAILQ_HEAD_INITIALIZER(q_head);
int32_t queue_size;
pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queue_cond = PTHREAD_COND_INITIALIZER;
struct ip_binding_head ip_binding_map_head = STAILQ_HEAD_INITIALIZER(ip_binding_map_head);
int32_t debug;
struct pidfh *pfh;
int32_t bootps_port;
int32_t bootpc_port;
int32_t rps_limit;
int32_t max_packet_size = 1400;
}

int32_t max_hops = 4;
int32_t interface_grace = 30;
int32_t queue_limit = kestivane::default_queue_limit;
char plugin_base[80] = KESTIVANE_DEFAULT_PLUGIN_DIR;

std::string kestivane::stats_file;
int32_t kestivane::stats_interval = kestivane::default_stats_interval;
kestivane::answer_sources kestivane::answer_sources_accepted = kestivane::answer_sources::servers;
bool kestivane::check_only = false;
int32_t kestivane::relay_port = 0;

namespace {
// 0 until a reload moves the DHCPv4 port.
std::atomic<uint16_t> moved_socket_port{0};
} // namespace

uint16_t kestivane::relay_socket_port_of(int32_t port) {
    return port != 0 ? htons(static_cast<uint16_t>(port)) : static_cast<uint16_t>(bootps_port);
}

uint16_t kestivane::relay_socket_port() {
    const uint16_t moved = moved_socket_port.load(std::memory_order_acquire);
    return moved != 0 ? moved : relay_socket_port_of(relay_port);
}

void kestivane::move_relay_socket_port(uint16_t port) { moved_socket_port.store(port, std::memory_order_release); }
