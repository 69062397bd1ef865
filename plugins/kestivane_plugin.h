/*
 * kestivane plug-in interface.
 *
 * The one header a plug-in compiles against. It declares the records the
 * relay shares with plug-ins, the globals and functions the executable
 * exports, and the descriptor a plug-in exports. Every layout here is part
 * of the binary interface: fields keep their order and natural alignment,
 * and the assertions at the end pin the sizes and offsets that must never
 * move. Compiles as C11 and as C++.
 */
#ifndef KESTIVANE_PLUGIN_H
#define KESTIVANE_PLUGIN_H

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/queue.h>

#define KESTIVANE_PLUGIN_API_VERSION 1

#ifdef __cplusplus
extern "C" {
#endif

/* Table sizes and limits. */
#define KESTIVANE_MAX_INTERFACES 100 /* at most 99 are ever used */
#define KESTIVANE_MAX_SERVERS 64     /* at most 63 are ever used */
#define KESTIVANE_MAX_PLUGINS 20
#define DHCP_PACKET_SIZE 1472
#define FRAME_HEADERS_SIZE 42

/* DHCP option codes the relay and its plug-ins care about. */
#define DHCP_OPTION_PAD 0
#define DHCP_OPTION_MESSAGE_TYPE 53
#define DHCP_OPTION_AGENT_INFO 82
#define DHCP_OPTION_END 255

struct pcap;  /* libpcap's capture handle (pcap_t) */
struct pidfh; /* the pid-file facility's handle */

/*
 * The 42 header bytes of an Ethernet II / IPv4 (20 bytes, no options) / UDP
 * frame, in wire order. Multi-byte fields are big-endian byte arrays, so the
 * record has no padding and no alignment of its own.
 */
struct frame_headers {
    uint8_t ether_dhost[6]; /*  0 */
    uint8_t ether_shost[6]; /*  6 */
    uint8_t ether_type[2];  /* 12: 0x0800 */
    uint8_t ip_vhl;         /* 14: 0x45 */
    uint8_t ip_tos;         /* 15 */
    uint8_t ip_len[2];      /* 16 */
    uint8_t ip_id[2];       /* 18 */
    uint8_t ip_off[2];      /* 20 */
    uint8_t ip_ttl;         /* 22 */
    uint8_t ip_p;           /* 23: 17 */
    uint8_t ip_sum[2];      /* 24 */
    uint8_t ip_src[4];      /* 26 */
    uint8_t ip_dst[4];      /* 30 */
    uint8_t uh_sport[2];    /* 34 */
    uint8_t uh_dport[2];    /* 36 */
    uint8_t uh_ulen[2];     /* 38 */
    uint8_t uh_sum[2];      /* 40 */
};

/*
 * One DHCP message as it travels on the wire (RFC 2131 offsets). Addresses
 * and xid are in network byte order, as they stand in the message. Options
 * start at offset 240, right after the magic cookie.
 */
struct dhcp_packet {
    uint8_t op;        /*   0: 1 request, 2 reply */
    uint8_t htype;     /*   1 */
    uint8_t hlen;      /*   2 */
    uint8_t hops;      /*   3 */
    uint32_t xid;      /*   4 */
    uint16_t secs;     /*   8 */
    uint16_t flags;    /*  10: broadcast is the high bit of byte 10 */
    uint32_t ciaddr;   /*  12 */
    uint32_t yiaddr;   /*  16 */
    uint32_t siaddr;   /*  20 */
    uint32_t giaddr;   /*  24 */
    uint8_t chaddr[16]; /* 28 */
    char sname[64];    /*  44 */
    char file[128];    /* 108 */
    uint8_t cookie[4]; /* 236 */
    uint8_t options[DHCP_PACKET_SIZE - 240]; /* 240 */
};

/* One opened network interface. */
struct interface {
    int32_t idx;       /* own position in ifs */
    int32_t sock;      /* UDP socket bound to ip, bootps port */
    char name[16];
    uint32_t ip;       /* relay address, network byte order */
    uint8_t mac[6];
    int32_t bpf;       /* frame output handle */
    struct pcap *cap;  /* capture handle */
    int32_t srv_count; /* entries in srv_idx */
    int32_t *srv_idx;  /* indexes into servers, in forwarding order */
};

/* One DHCP server. */
struct server {
    char *name;              /* host part as written, without the port */
    struct sockaddr_in addr; /* where requests go */
};

/* One captured client request waiting to be forwarded. */
struct queue_item {
    struct dhcp_packet buf;
    int32_t if_idx;  /* capturing interface, index in ifs */
    uint32_t dst_ip; /* IPv4 destination of the captured frame */
    STAILQ_ENTRY(queue_item) next;
};
STAILQ_HEAD(queue_head, queue_item);

/* One line of a plug-in's configuration section. */
struct plugin_option {
    char *text;
    SLIST_ENTRY(plugin_option) next;
};
/* The head cell of a plug-in's option list: one pointer, null when empty. */
SLIST_HEAD(plugin_options_head, plugin_option);

/* One bind_ip entry of the configuration file. */
struct ip_binding {
    char *ifname;
    uint32_t ip; /* network byte order */
    STAILQ_ENTRY(ip_binding) next;
};
STAILQ_HEAD(ip_binding_head, ip_binding);

/*
 * The descriptor a plug-in exports under the symbol "<name>_plugin". The
 * relay copies it at load time. Any hook may be null. Every hook returns 0
 * to reject the packet at that point, anything else to pass it on.
 */
struct plugin {
    char *name;
    int32_t (*init)(struct plugin_options_head *options);
    void *aux;
    int32_t (*client_request)(struct interface *iface, struct dhcp_packet *packet,
                              struct frame_headers *headers);
    int32_t (*send_to_server)(struct sockaddr_in *server, struct interface *iface,
                              struct queue_item *item);
    int32_t (*server_answer)(struct sockaddr_in *from, struct dhcp_packet *packet);
    int32_t (*send_to_client)(struct sockaddr_in *from, struct interface *iface,
                              struct dhcp_packet *packet, struct frame_headers *headers);
};

/* Exported globals. Filled at start-up, read-only once the threads run,
 * except the request queue, which queue_lock guards. */
extern struct interface *ifs[KESTIVANE_MAX_INTERFACES];
extern int32_t if_num;
extern struct server *servers[KESTIVANE_MAX_SERVERS];
extern int32_t srv_num;
extern struct plugin *plugins[KESTIVANE_MAX_PLUGINS];
extern struct plugin_options_head *options_heads[KESTIVANE_MAX_PLUGINS];
extern uint8_t plugins_number;
extern struct queue_head q_head;
extern int32_t queue_size;
extern pthread_mutex_t queue_lock;
extern pthread_cond_t queue_cond;
extern struct ip_binding_head ip_binding_map_head;
extern int32_t debug;
extern struct pidfh *pfh;
extern int32_t bootps_port; /* network byte order in the low 16 bits */
extern int32_t bootpc_port;
extern int32_t rps_limit;
extern int32_t max_packet_size;

#if defined(__cplusplus) && __cplusplus >= 201103L
#define KESTIVANE_NORETURN [[noreturn]]
#else
#define KESTIVANE_NORETURN _Noreturn
#endif

/* Logging (levels 3 error, 4 warning, 7 debug) and fatal errors. */
void logd(int32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
KESTIVANE_NORETURN void process_error(int32_t code, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
KESTIVANE_NORETURN void usage(const char *name);

/* Configuration. */
void read_config(const char *path);
int32_t open_server(const char *text);
void parse_servers_line(char *line);
uint32_t *get_bound_ip(const char *ifname);

/* Interfaces. */
int32_t get_mac(const char *name, uint8_t *mac);
int32_t get_ip(const char *name, uint32_t *destination, const uint32_t *wanted);
int32_t find_interface(uint32_t ip);
struct interface *get_interface_by_idx(int32_t idx);
struct interface *get_interface_by_name(const char *name);
int32_t open_interface(const char *name);

/* Relay paths. */
void *listener(void *iface);
int32_t sanity_check(const uint8_t *frame, uint32_t len);
void process_queue(struct queue_item *item);
void *process_server_answer(void *unused);

/* Internet checksums, results in host byte order. */
uint16_t inet_checksum(const void *data, int32_t len, int64_t initial_sum);
uint16_t ip_checksum(const void *data, int32_t len);
uint16_t udp_checksum(const void *frame);

/* DHCP option toolkit. */
int32_t get_dhcp_len(const struct dhcp_packet *packet);
int32_t find_opt_offset(const uint8_t *options, uint8_t code, int32_t len, int32_t no_fit_check);
uint8_t *find_option(struct dhcp_packet *packet, uint8_t code);
uint8_t *find_suboption(struct dhcp_packet *packet, uint8_t code, uint8_t subcode);
char *print_xid(uint32_t xid, char *text);
int32_t insert_option(struct dhcp_packet *packet, uint8_t code, uint8_t len, const uint8_t *data,
                      int32_t mode);
int32_t remove_option(struct dhcp_packet *packet, uint8_t code);

/* Plug-in helpers. */
int32_t get_bool_value(const char *text);

/* The binary interface, pinned. */
#ifdef __cplusplus
#define KESTIVANE_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KESTIVANE_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
KESTIVANE_ASSERT(sizeof(struct frame_headers) == 42, "frame_headers is 42 bytes");
KESTIVANE_ASSERT(offsetof(struct frame_headers, ip_src) == 26, "IPv4 source at 26");
KESTIVANE_ASSERT(offsetof(struct frame_headers, uh_sum) == 40, "UDP checksum at 40");
KESTIVANE_ASSERT(sizeof(struct dhcp_packet) == 1472, "dhcp_packet is 1472 bytes");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, xid) == 4, "xid at 4");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, flags) == 10, "flags at 10");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, giaddr) == 24, "giaddr at 24");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, chaddr) == 28, "chaddr at 28");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, cookie) == 236, "magic cookie at 236");
KESTIVANE_ASSERT(offsetof(struct dhcp_packet, options) == 240, "options at 240");
KESTIVANE_ASSERT(offsetof(struct interface, idx) == 0 && offsetof(struct interface, sock) == 4 &&
                     offsetof(struct interface, name) == 8 && offsetof(struct interface, ip) == 24 &&
                     offsetof(struct interface, mac) == 28 && offsetof(struct interface, bpf) == 36 &&
                     offsetof(struct interface, cap) == 40 &&
                     offsetof(struct interface, srv_count) == 48 &&
                     offsetof(struct interface, srv_idx) == 56 && sizeof(struct interface) == 64,
                 "interface field order");
KESTIVANE_ASSERT(offsetof(struct server, name) == 0 && offsetof(struct server, addr) == 8 &&
                     sizeof(struct server) == 24,
                 "server field order");
KESTIVANE_ASSERT(offsetof(struct queue_item, buf) == 0 && offsetof(struct queue_item, if_idx) == 1472 &&
                     offsetof(struct queue_item, dst_ip) == 1476 &&
                     offsetof(struct queue_item, next) == 1480 && sizeof(struct queue_item) == 1488,
                 "queue_item field order");
KESTIVANE_ASSERT(sizeof(struct plugin) == 7 * sizeof(void *) && offsetof(struct plugin, init) == 8 &&
                     offsetof(struct plugin, aux) == 16 &&
                     offsetof(struct plugin, client_request) == 24 &&
                     offsetof(struct plugin, send_to_client) == 48,
                 "plugin descriptor is seven pointers");
KESTIVANE_ASSERT(offsetof(struct plugin_option, text) == 0 &&
                     offsetof(struct plugin_option, next) == 8 &&
                     sizeof(struct plugin_options_head) == sizeof(void *),
                 "plugin_option field order, one-pointer head cell");
KESTIVANE_ASSERT(offsetof(struct ip_binding, ifname) == 0 && offsetof(struct ip_binding, ip) == 8 &&
                     offsetof(struct ip_binding, next) == 16,
                 "ip_binding field order");
KESTIVANE_ASSERT(offsetof(struct queue_head, stqh_first) == 0 &&
                     offsetof(struct queue_head, stqh_last) == sizeof(void *) &&
                     sizeof(struct queue_head) == 2 * sizeof(void *),
                 "tail-queue head: first element, then last link");
#undef KESTIVANE_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* KESTIVANE_PLUGIN_H */
