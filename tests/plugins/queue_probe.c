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
 * The relay has no hook at shutdown, so the report is written when the
 * relay gets SIGUSR2 (the relay itself leaves that signal alone), and once
 * with zeros at init. It is one line:
 *
 *   client_request=N over_hops=N send_to_server=N server_answer=N send_to_client=N queue_peak=N
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "plugins/kestivane_plugin.h"

enum point { CLIENT_REQUEST, SEND_TO_SERVER, SERVER_ANSWER, SEND_TO_CLIENT, POINTS };

static atomic_ullong calls[POINTS];
static atomic_ullong over_hops;
static atomic_ullong queue_peak;
static int max_hops_seen = 4;
static int report_fd = -1;

static void note_queue_length(void) {
    pthread_mutex_lock(&queue_lock);
    unsigned long long length = (unsigned long long)queue_size;
    pthread_mutex_unlock(&queue_lock);
    unsigned long long peak = atomic_load(&queue_peak);
    while (length > peak && !atomic_compare_exchange_weak(&queue_peak, &peak, length)) {
    }
}

/* Appends " name=value" (no blank before the first); only what a signal
 * handler may call. */
static char *put_field(char *p, const char *name, unsigned long long value, int first) {
    if (!first) *p++ = ' ';
    while (*name) *p++ = *name++;
    *p++ = '=';
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

static void write_report(void) {
    char line[256];
    char *p = line;
    p = put_field(p, "client_request", atomic_load(&calls[CLIENT_REQUEST]), 1);
    p = put_field(p, "over_hops", atomic_load(&over_hops), 0);
    p = put_field(p, "send_to_server", atomic_load(&calls[SEND_TO_SERVER]), 0);
    p = put_field(p, "server_answer", atomic_load(&calls[SERVER_ANSWER]), 0);
    p = put_field(p, "send_to_client", atomic_load(&calls[SEND_TO_CLIENT]), 0);
    p = put_field(p, "queue_peak", atomic_load(&queue_peak), 0);
    *p++ = '\n';
    /* The line only grows, so rewriting it in place never leaves a tail. */
    if (pwrite(report_fd, line, (size_t)(p - line), 0) < 0) {
        /* Nothing to do about it here: the test finds the old report. */
    }
}

static void on_report_signal(int signal_number) {
    (void)signal_number;
    int saved = errno;
    write_report();
    errno = saved;
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
    if (report_fd < 0) {
        logd(3, "queue_probe: no file= line");
        return 0;
    }
    write_report();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_report_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGUSR2, &action, NULL) == 0;
}

static int32_t queue_probe_client_request(struct interface *iface, struct dhcp_packet *packet,
                                          struct frame_headers *headers) {
    (void)iface, (void)headers;
    atomic_fetch_add(&calls[CLIENT_REQUEST], 1);
    if (packet->hops >= max_hops_seen) atomic_fetch_add(&over_hops, 1);
    note_queue_length();
    return 1;
}

static int32_t queue_probe_send_to_server(struct sockaddr_in *server, struct interface *iface,
                                          struct queue_item *item) {
    (void)server, (void)iface, (void)item;
    atomic_fetch_add(&calls[SEND_TO_SERVER], 1);
    note_queue_length();
    return 1;
}

static int32_t queue_probe_server_answer(struct sockaddr_in *from, struct dhcp_packet *packet) {
    (void)from, (void)packet;
    atomic_fetch_add(&calls[SERVER_ANSWER], 1);
    return 1;
}

static int32_t queue_probe_send_to_client(struct sockaddr_in *from, struct interface *iface,
                                          struct dhcp_packet *packet, struct frame_headers *headers) {
    (void)from, (void)iface, (void)packet, (void)headers;
    atomic_fetch_add(&calls[SEND_TO_CLIENT], 1);
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
