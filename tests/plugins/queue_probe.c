/*
 * queue_probe: a test plug-in for load tests. It counts the calls of every
 * hook and keeps the largest request-queue length (the exported queue_size,
 * read under queue_lock) seen from the client_request and send_to_server
 * hooks, and accepts every packet unchanged. Option lines:
 *
 *   file=<path>     the file it reports to (required)
 *   max_hops=<n>    the relay's max_hops: client requests whose hops count
 *                   has reached it, which the relay drops before forwarding,
 *                   are counted apart as over_hops (default 4)
 *
 * The report is one line of fixed width, rewritten in place at most every
 * 100 ms from whichever hook runs (the relay has no hook at shutdown, so a
 * test that wants the final figures sends a few packets more than 100 ms
 * apart once its load is over):
 *
 *   client_request=N over_hops=N send_to_server=N server_answer=N send_to_client=N queue_peak=N
 */
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "plugins/kestivane_plugin.h"

enum point { CLIENT_REQUEST, SEND_TO_SERVER, SERVER_ANSWER, SEND_TO_CLIENT, POINTS };

static atomic_ullong calls[POINTS];
static atomic_ullong over_hops;
static int max_hops_seen = 4;
static atomic_int queue_peak;
static atomic_llong last_report_ms;
static pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;
static int report_fd = -1;

static long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static void note_queue_length(void) {
    pthread_mutex_lock(&queue_lock);
    int length = queue_size;
    pthread_mutex_unlock(&queue_lock);
    int peak = atomic_load(&queue_peak);
    while (length > peak && !atomic_compare_exchange_weak(&queue_peak, &peak, length)) {
    }
}

/* Rewrites the report when 100 ms have passed since the last one; a hook
 * that finds another one writing leaves it to that one. */
static void report(void) {
    long long now = now_ms();
    if (report_fd < 0 || now - atomic_load(&last_report_ms) < 100) return;
    if (pthread_mutex_trylock(&report_lock) != 0) return;
    atomic_store(&last_report_ms, now);
    char line[256];
    int len = snprintf(line, sizeof line,
                       "client_request=%-20llu over_hops=%-20llu send_to_server=%-20llu "
                       "server_answer=%-20llu send_to_client=%-20llu queue_peak=%-11d\n",
                       atomic_load(&calls[CLIENT_REQUEST]), atomic_load(&over_hops),
                       atomic_load(&calls[SEND_TO_SERVER]),
                       atomic_load(&calls[SERVER_ANSWER]), atomic_load(&calls[SEND_TO_CLIENT]),
                       atomic_load(&queue_peak));
    if (len > 0 && pwrite(report_fd, line, (size_t)len, 0) != len) {
        /* A report that cannot be written leaves the old one; the test sees it. */
    }
    pthread_mutex_unlock(&report_lock);
}

static int32_t queue_probe_init(struct plugin_options_head *head) {
    struct plugin_option *option;
    SLIST_FOREACH(option, head, next) {
        if (strncmp(option->text, "max_hops=", 9) == 0) max_hops_seen = atoi(option->text + 9);
        if (strncmp(option->text, "file=", 5) != 0) continue;
        report_fd = open(option->text + 5, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (report_fd < 0) {
            logd(3, "queue_probe: cannot open %s", option->text + 5);
            return 0;
        }
    }
    if (report_fd < 0) logd(3, "queue_probe: no file= line");
    return report_fd >= 0;
}

static int32_t queue_probe_client_request(struct interface *iface, struct dhcp_packet *packet,
                                          struct frame_headers *headers) {
    (void)iface, (void)headers;
    atomic_fetch_add(&calls[CLIENT_REQUEST], 1);
    if (packet->hops >= max_hops_seen) atomic_fetch_add(&over_hops, 1);
    note_queue_length();
    report();
    return 1;
}

static int32_t queue_probe_send_to_server(struct sockaddr_in *server, struct interface *iface,
                                          struct queue_item *item) {
    (void)server, (void)iface, (void)item;
    atomic_fetch_add(&calls[SEND_TO_SERVER], 1);
    note_queue_length();
    report();
    return 1;
}

static int32_t queue_probe_server_answer(struct sockaddr_in *from, struct dhcp_packet *packet) {
    (void)from, (void)packet;
    atomic_fetch_add(&calls[SERVER_ANSWER], 1);
    report();
    return 1;
}

static int32_t queue_probe_send_to_client(struct sockaddr_in *from, struct interface *iface,
                                          struct dhcp_packet *packet, struct frame_headers *headers) {
    (void)from, (void)iface, (void)packet, (void)headers;
    atomic_fetch_add(&calls[SEND_TO_CLIENT], 1);
    report();
    return 1;
}

struct plugin queue_probe_plugin = {
    .name = "queue_probe",
    .init = queue_probe_init,
    .client_request = queue_probe_client_request,
    .send_to_server = queue_probe_send_to_server,
    .server_answer = queue_probe_server_answer,
    .send_to_client = queue_probe_send_to_client,
};
