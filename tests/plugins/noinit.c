/* noinit: a test plug-in without init whose one hook counts the requests it
 * sees. */
#include "plugins/kestivane_plugin.h"

static int requests;

int noinit_requests(void) { return requests; }

static int32_t noinit_client_request(struct interface *iface, struct dhcp_packet *packet,
                                     struct frame_headers *headers) {
    (void)iface;
    (void)packet;
    (void)headers;
    ++requests;
    return 1;
}

struct plugin noinit_plugin = {.name = "noinit", .client_request = noinit_client_request};
