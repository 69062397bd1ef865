/*
 * log: one line per packet at each hook point it is switched on for.
 *
 * Configuration, one line per point, the value read by get_bool_value
 * ("yes", "on" or "1" switch the point on, anything else off):
 *
 *   client_request = yes
 *   send_to_server = yes
 *   server_answer = yes
 *   send_to_client = yes
 *
 * Points not named stay off. As in the agent_info plug-in, the key is the
 * text before the first '=' and blanks, tabs and a final carriage return
 * around key and value are dropped; keys are matched without regard to
 * case; any other line makes init fail with a log line that quotes it.
 *
 * Each line is logged at level 4 (warning), so it reaches syslog outside
 * debug mode too, and reads for example:
 *
 *   log: client_request on eth1: DHCPDISCOVER from 02:00:00:00:00:01 xid 0x3903f326
 *   log: send_to_server on eth1: DHCPDISCOVER from 02:00:00:00:00:01 xid 0x3903f326 to 203.0.113.2
 *   log: server_answer on eth1: DHCPOFFER for 02:00:00:00:00:01 xid 0x3903f326 yiaddr 198.51.100.10 from 203.0.113.2
 *   log: send_to_client on eth1: DHCPOFFER for 02:00:00:00:00:01 xid 0x3903f326 yiaddr 198.51.100.10 from 203.0.113.2
 *
 * The interface is the one the request was captured on, or the one the
 * answer goes out on (at server_answer: the interface whose address is the
 * answer's giaddr, "?" when there is none). A message without option 53 is
 * shown as BOOTP. The hooks only read the message and the settings, which
 * init wrote before the relay's threads started, so they are safe on any
 * thread; every hook accepts the packet.
 */
#define _POSIX_C_SOURCE 200809L /* strcasecmp */

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <kestivane_plugin.h>

enum point { CLIENT_REQUEST, SEND_TO_SERVER, SERVER_ANSWER, SEND_TO_CLIENT, POINTS };
static const char *const point_names[POINTS] = {"client_request", "send_to_server", "server_answer",
                                                "send_to_client"};
static int enabled[POINTS];

static char *trim(char *text) {
    while (*text == ' ' || *text == '\t') ++text;
    size_t len = strlen(text);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t' || text[len - 1] == '\r'))
        text[--len] = '\0';
    return text;
}

static int32_t log_init(struct plugin_options_head *options) {
    memset(enabled, 0, sizeof enabled);
    struct plugin_option *option;
    SLIST_FOREACH(option, options, next) {
        char copy[5000];
        snprintf(copy, sizeof copy, "%s", option->text);
        char *eq = strchr(copy, '=');
        if (eq == NULL) {
            if (trim(copy)[0] == '\0') continue;
            logd(3, "log: no '=' in line: \"%s\"", option->text);
            return 0;
        }
        *eq = '\0';
        const char *key = trim(copy);
        const char *value = trim(eq + 1);
        int point = 0;
        while (point < POINTS && strcasecmp(key, point_names[point]) != 0) ++point;
        if (point == POINTS) {
            logd(3, "log: unknown key: \"%s\"", option->text);
            return 0;
        }
        enabled[point] = get_bool_value(value);
    }
    return 1;
}

/* The message type by name, from option 53; BOOTP when there is none. */
static const char *message_type(struct dhcp_packet *packet, char text[16]) {
    static const char *const names[] = {"DHCPDISCOVER", "DHCPOFFER", "DHCPREQUEST", "DHCPDECLINE",
                                        "DHCPACK",      "DHCPNAK",   "DHCPRELEASE", "DHCPINFORM"};
    const uint8_t *option = find_option(packet, DHCP_OPTION_MESSAGE_TYPE);
    if (option == NULL || option[1] < 1) return "BOOTP";
    if (option[2] >= 1 && option[2] <= 8) return names[option[2] - 1];
    snprintf(text, 16, "DHCP type %u", option[2]);
    return text;
}

/* The client's hardware address: hlen bytes of chaddr, at most 16. */
static void format_chaddr(const struct dhcp_packet *packet, char text[49]) {
    int len = packet->hlen <= 16 ? packet->hlen : 16;
    int used = 0;
    strcpy(text, "-");
    for (int i = 0; i < len; ++i) used += sprintf(text + used, i ? ":%02x" : "%02x", packet->chaddr[i]);
}

/* Writes one line; peer is the server (null for client_request). */
static void log_packet(enum point point, const char *ifname, struct dhcp_packet *packet,
                       const struct sockaddr_in *peer) {
    char chaddr[49], xid[11], type[16], yiaddr[INET_ADDRSTRLEN] = "", peer_text[INET_ADDRSTRLEN] = "";
    format_chaddr(packet, chaddr);
    print_xid(packet->xid, xid);
    if (peer != NULL) inet_ntop(AF_INET, &peer->sin_addr, peer_text, sizeof peer_text);

    if (point == CLIENT_REQUEST || point == SEND_TO_SERVER) {
        logd(4, "log: %s on %s: %s from %s xid %s%s%s", point_names[point], ifname, message_type(packet, type),
             chaddr, xid, peer != NULL ? " to " : "", peer_text);
    } else {
        inet_ntop(AF_INET, &packet->yiaddr, yiaddr, sizeof yiaddr);
        logd(4, "log: %s on %s: %s for %s xid %s yiaddr %s from %s", point_names[point], ifname,
             message_type(packet, type), chaddr, xid, yiaddr, peer_text);
    }
}

static int32_t log_client_request(struct interface *iface, struct dhcp_packet *packet,
                                  struct frame_headers *headers) {
    (void)headers;
    if (enabled[CLIENT_REQUEST]) log_packet(CLIENT_REQUEST, iface->name, packet, NULL);
    return 1;
}

static int32_t log_send_to_server(struct sockaddr_in *server, struct interface *iface,
                                  struct queue_item *item) {
    if (enabled[SEND_TO_SERVER]) log_packet(SEND_TO_SERVER, iface->name, &item->buf, server);
    return 1;
}

static int32_t log_server_answer(struct sockaddr_in *from, struct dhcp_packet *packet) {
    if (!enabled[SERVER_ANSWER]) return 1;
    int32_t index = find_interface(packet->giaddr);
    log_packet(SERVER_ANSWER, index < if_num ? ifs[index]->name : "?", packet, from);
    return 1;
}

static int32_t log_send_to_client(struct sockaddr_in *from, struct interface *iface,
                                  struct dhcp_packet *packet, struct frame_headers *headers) {
    (void)headers;
    if (enabled[SEND_TO_CLIENT]) log_packet(SEND_TO_CLIENT, iface->name, packet, from);
    return 1;
}

struct plugin log_plugin = {
    .name = "log",
    .init = log_init,
    .client_request = log_client_request,
    .send_to_server = log_send_to_server,
    .server_answer = log_server_answer,
    .send_to_client = log_send_to_client,
};
