/*
 * probe: a test plug-in. It records every call the relay makes to it and,
 * told by its option lines, rejects a packet, adds an option or removes END
 * at the points it is given. Option lines, "key=value" without blanks:
 *
 *   reject=<point>          the hook at <point> returns 0
 *   reject=<point>@<xid>    the same for messages with that transaction id only
 *   reject_server=<a.b.c.d> send_to_server returns 0 for that server only
 *   insert=<point>          adds option 224 with the data "probe" (mode 1)
 *   remove_end=<point>      turns END into PAD: the message no longer measures
 *   remove_end=<point>@<xid> the same for that transaction id only
 *   fail_init=yes           init returns 0
 *   log=yes                 each call logs "probe: <point> on <ifname>" (level 4)
 *   thread=yes              init starts a thread of its own that sleeps forever
 *   thread=deaf             the same, with every signal blocked in it
 *   sysinfo=<point>         the hook at <point> makes the system call sysinfo,
 *                           which the relay does not, and logs
 *                           "probe: sysinfo: <result>" (level 4)
 *   lengths=yes             send_to_client logs the lengths it is given, before
 *                           any change: "probe: send_to_client sees <measured>
 *                           bytes, IPv4 length <n>, UDP length <n>" (level 4)
 *
 * <point> is client_request, send_to_server, server_answer or send_to_client.
 * The record, read by the unit tests through probe_record(), lists the calls
 * as "<point>;" and init as "init(<n> lines: <line>|<line>|...);", or
 * "init(empty);" when the head cell holds no line.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/kestivane_plugin.h"

enum point { CLIENT_REQUEST, SEND_TO_SERVER, SERVER_ANSWER, SEND_TO_CLIENT, POINTS };
static const char *const point_names[POINTS] = {"client_request", "send_to_server", "server_answer",
                                                "send_to_client"};

static int reject_at[POINTS], insert_at[POINTS], remove_end_at[POINTS], sysinfo_at[POINTS];
/* 0: every message; otherwise only the message with this xid (host order). */
static uint32_t reject_xid[POINTS], remove_end_xid[POINTS];
static int fail_init, log_calls, log_lengths;
static struct in_addr rejected_server;

static pthread_mutex_t record_lock = PTHREAD_MUTEX_INITIALIZER;
static char record[8192];

static void note(const char *text) {
    pthread_mutex_lock(&record_lock);
    size_t used = strlen(record);
    snprintf(record + used, sizeof record - used, "%s;", text);
    pthread_mutex_unlock(&record_lock);
}

const char *probe_record(void) { return record; }
void probe_reset(void) {
    record[0] = '\0';
    memset(reject_at, 0, sizeof reject_at);
    memset(insert_at, 0, sizeof insert_at);
    memset(remove_end_at, 0, sizeof remove_end_at);
    memset(sysinfo_at, 0, sizeof sysinfo_at);
    memset(reject_xid, 0, sizeof reject_xid);
    memset(remove_end_xid, 0, sizeof remove_end_xid);
    fail_init = log_calls = log_lengths = 0;
    rejected_server.s_addr = 0;
}

/* A point name, alone or followed by "@<xid>", which *xid receives. */
static int find_point(const char *value, uint32_t *xid) {
    const char *at = strchr(value, '@');
    size_t len = at ? (size_t)(at - value) : strlen(value);
    *xid = at ? (uint32_t)strtoul(at + 1, NULL, 0) : 0;
    for (int i = 0; i < POINTS; ++i)
        if (strlen(point_names[i]) == len && strncmp(value, point_names[i], len) == 0) return i;
    return -1;
}

static int selects(uint32_t xid, const struct dhcp_packet *packet) {
    const uint8_t *m = (const uint8_t *)packet;
    uint32_t own = (uint32_t)m[4] << 24 | (uint32_t)m[5] << 16 | (uint32_t)m[6] << 8 | m[7];
    return xid == 0 || xid == own;
}

static int is_key(const char *line, const char *eq, const char *key) {
    return (size_t)(eq - line) == strlen(key) && strncmp(line, key, strlen(key)) == 0;
}

/* A thread the relay did not start: it must give up what the relay does. */
static void *sleeper(void *arg) {
    (void)arg;
    for (;;) sleep(3600);
    return NULL;
}

/* deaf: the thread starts with every signal blocked (a new thread takes
 * its creator's mask, so nothing reaches it even briefly). */
static int start_sleeper(int deaf) {
    sigset_t all, before;
    sigfillset(&all);
    if (deaf) pthread_sigmask(SIG_BLOCK, &all, &before);
    pthread_t thread;
    int failed = pthread_create(&thread, NULL, sleeper, NULL);
    if (deaf) pthread_sigmask(SIG_SETMASK, &before, NULL);
    if (failed != 0) return 0;
    pthread_detach(thread);
    return 1;
}

static int32_t probe_init(struct plugin_options_head *head) {
    char text[4096] = "";
    int lines = 0;
    struct plugin_option *option;
    SLIST_FOREACH(option, head, next) {
        size_t used = strlen(text);
        snprintf(text + used, sizeof text - used, "%s%s", lines++ ? "|" : "", option->text);
        const char *eq = strchr(option->text, '=');
        if (eq == NULL) continue;
        const char *value = eq + 1;
        uint32_t xid;
        int p = find_point(value, &xid);
        if (is_key(option->text, eq, "reject") && p >= 0) reject_at[p] = 1, reject_xid[p] = xid;
        else if (is_key(option->text, eq, "insert") && p >= 0) insert_at[p] = 1;
        else if (is_key(option->text, eq, "remove_end") && p >= 0) remove_end_at[p] = 1, remove_end_xid[p] = xid;
        else if (is_key(option->text, eq, "reject_server")) inet_pton(AF_INET, value, &rejected_server);
        else if (is_key(option->text, eq, "fail_init")) fail_init = get_bool_value(value);
        else if (is_key(option->text, eq, "log")) log_calls = get_bool_value(value);
        else if (is_key(option->text, eq, "sysinfo") && p >= 0) sysinfo_at[p] = 1;
        else if (is_key(option->text, eq, "thread") && strcmp(value, "deaf") == 0 && !start_sleeper(1)) return 0;
        else if (is_key(option->text, eq, "thread") && get_bool_value(value) && !start_sleeper(0)) return 0;
        else if (is_key(option->text, eq, "lengths")) log_lengths = get_bool_value(value);
    }
    char entry[4200];
    if (SLIST_EMPTY(head)) snprintf(entry, sizeof entry, "init(empty)");
    else snprintf(entry, sizeof entry, "init(%d lines: %s)", lines, text);
    note(entry);
    return !fail_init;
}

/* Applies the options of one point to a message; 0 rejects it. */
static int32_t act(enum point p, const struct interface *iface, struct dhcp_packet *packet) {
    note(point_names[p]);
    if (log_calls) logd(4, "probe: %s on %s", point_names[p], iface ? iface->name : "-");
    if (sysinfo_at[p]) {
        struct sysinfo info;
        int result = sysinfo(&info);
        logd(4, "probe: sysinfo: %s", result == 0 ? "done" : strerror(errno));
    }
    if (insert_at[p]) insert_option(packet, 224, 5, (const uint8_t *)"probe", 1);
    if (remove_end_at[p] && selects(remove_end_xid[p], packet)) {
        int32_t len = get_dhcp_len(packet);
        if (len > 0) packet->options[len - 241] = DHCP_OPTION_PAD;
    }
    return !(reject_at[p] && selects(reject_xid[p], packet));
}

static int32_t probe_client_request(struct interface *iface, struct dhcp_packet *packet,
                                    struct frame_headers *headers) {
    (void)headers;
    return act(CLIENT_REQUEST, iface, packet);
}

static int32_t probe_send_to_server(struct sockaddr_in *server, struct interface *iface,
                                    struct queue_item *item) {
    int32_t pass = act(SEND_TO_SERVER, iface, &item->buf);
    if (rejected_server.s_addr != 0 && server->sin_addr.s_addr == rejected_server.s_addr) return 0;
    return pass;
}

static int32_t probe_server_answer(struct sockaddr_in *from, struct dhcp_packet *packet) {
    (void)from;
    return act(SERVER_ANSWER, NULL, packet);
}

static int32_t probe_send_to_client(struct sockaddr_in *from, struct interface *iface,
                                    struct dhcp_packet *packet, struct frame_headers *headers) {
    (void)from;
    if (log_lengths && headers != NULL) {
        const uint8_t *h = (const uint8_t *)headers;
        logd(4, "probe: send_to_client sees %d bytes, IPv4 length %d, UDP length %d", get_dhcp_len(packet),
             h[16] << 8 | h[17], h[38] << 8 | h[39]);
    }
    return act(SEND_TO_CLIENT, iface, packet);
}

struct plugin probe_plugin = {
    .name = "probe",
    .init = probe_init,
    .client_request = probe_client_request,
    .send_to_server = probe_send_to_server,
    .server_answer = probe_server_answer,
    .send_to_client = probe_send_to_client,
};
