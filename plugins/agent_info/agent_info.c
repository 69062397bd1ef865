/*
 * agent_info: the relay agent information option (82, RFC 3046).
 *
 * On its way to a server every request gets an option 82 with two
 * sub-options that tell the server where the client is: sub-option 1, the
 * circuit id, names the interface the request was captured on, and
 * sub-option 2, the remote id, carries that interface's 6-byte hardware
 * address. On its way back the option is taken out of the answer again:
 * clients must never see it.
 *
 * Configuration, one setting per line of the plug-in's section:
 *
 *   circuit_id = <text>             sub-option 1 on every interface
 *   circuit_id.<ifname> = <text>    sub-option 1 on that interface only
 *   remote_id = <text>              sub-option 2 on every interface
 *   remote_id.<ifname> = <text>     sub-option 2 on that interface only
 *   <any of these keys> = off       leave that sub-option out
 *   policy = keep|replace|drop|append
 *                                   a request that already carries option 82
 *                                   is sent as it is (keep, the default),
 *                                   gets this relay's option instead
 *                                   (replace), is not sent (drop), or gets
 *                                   this relay's sub-options after the ones
 *                                   it carries (append; not sent when the
 *                                   option would pass 255 bytes)
 *
 * The most specific line wins: a line for an interface beats a line for all
 * interfaces, which beats the default; of two lines for the same thing the
 * later one wins. The key is the text before the first '=', the value all
 * the text after it. The relay hands over whole lines, so blanks and tabs
 * around the key and the value, and a carriage return at the end, are
 * dropped here. Keys, "off" and the policy words are matched without regard
 * to case, interface names exactly. A text is 1 to 125 bytes, so that both
 * sub-options always fit in one option. Any other line makes init fail,
 * with a log line that quotes it.
 *
 * Every init starts from the defaults, so a plug-in loaded twice follows
 * the lines of the section read last.
 *
 * This file is also the worked example of the plug-in interface: it uses
 * the option toolkit (find_option, insert_option, remove_option) and the
 * records the relay passes, and keeps no state that a hook changes, so its
 * hooks are safe on any thread.
 */
#define _POSIX_C_SOURCE 200809L /* strcasecmp, strnlen */

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <kestivane_plugin.h>

#define SUBOPTION_CIRCUIT_ID 1
#define SUBOPTION_REMOTE_ID 2
#define TEXT_LIMIT 125 /* 2 + 125 + 2 + 125 = 254: both fit in one option */
#define LINE_LIMIT 5000

enum source { UNSET, OFF, TEXT };

struct setting {
    enum source source;
    uint8_t len;
    char text[TEXT_LIMIT + 1];
};

struct interface_settings {
    char ifname[16];
    struct setting circuit_id, remote_id;
};

enum policy { KEEP, REPLACE, DROP, APPEND };

/* Written by init only, before the relay starts its threads; the hooks
 * only read it. */
static struct setting circuit_id_all, remote_id_all;
static struct interface_settings per_interface[KESTIVANE_MAX_INTERFACES];
static int per_interface_count;
static enum policy policy;

/* Cuts blanks, tabs and carriage returns from both ends of text, in place. */
static char *trim(char *text) {
    while (*text == ' ' || *text == '\t') ++text;
    size_t len = strlen(text);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t' || text[len - 1] == '\r'))
        text[--len] = '\0';
    return text;
}

static int refuse(const char *line, const char *why) {
    logd(3, "agent_info: %s: \"%s\"", why, line);
    return 0;
}

static struct interface_settings *settings_of(const char *ifname) {
    for (int i = 0; i < per_interface_count; ++i)
        if (strcmp(per_interface[i].ifname, ifname) == 0) return &per_interface[i];
    if (per_interface_count == KESTIVANE_MAX_INTERFACES) return NULL;
    struct interface_settings *entry = &per_interface[per_interface_count++];
    snprintf(entry->ifname, sizeof entry->ifname, "%s", ifname);
    return entry;
}

/* Reads one line into the setting it names. Returns 0 for a bad line. */
static int read_line(const char *line) {
    char copy[LINE_LIMIT];
    if (strlen(line) >= sizeof copy) return refuse(line, "line too long");
    strcpy(copy, line);
    char *eq = strchr(copy, '=');
    if (eq == NULL) return trim(copy)[0] == '\0' ? 1 : refuse(line, "no '=' in line");
    *eq = '\0';
    char *key = trim(copy);
    char *value = trim(eq + 1);

    if (strcasecmp(key, "policy") == 0) {
        if (strcasecmp(value, "keep") == 0) policy = KEEP;
        else if (strcasecmp(value, "replace") == 0) policy = REPLACE;
        else if (strcasecmp(value, "drop") == 0) policy = DROP;
        else if (strcasecmp(value, "append") == 0) policy = APPEND;
        else return refuse(line, "policy is keep, replace, drop or append");
        return 1;
    }

    /* circuit_id or remote_id, for all interfaces or, after a dot, for one. */
    char *dot = strchr(key, '.');
    const char *ifname = NULL;
    if (dot != NULL) {
        *dot = '\0';
        ifname = dot + 1;
        if (ifname[0] == '\0' || strlen(ifname) > 15) return refuse(line, "bad interface name");
    }
    int circuit = strcasecmp(key, "circuit_id") == 0;
    if (!circuit && strcasecmp(key, "remote_id") != 0) return refuse(line, "unknown key");

    struct setting *setting = circuit ? &circuit_id_all : &remote_id_all;
    if (ifname != NULL) {
        struct interface_settings *entry = settings_of(ifname);
        if (entry == NULL) return refuse(line, "too many interfaces");
        setting = circuit ? &entry->circuit_id : &entry->remote_id;
    }
    if (strcasecmp(value, "off") == 0) {
        setting->source = OFF;
        return 1;
    }
    size_t len = strlen(value);
    if (len == 0 || len > TEXT_LIMIT) return refuse(line, "the text must have 1 to 125 bytes");
    setting->source = TEXT;
    setting->len = (uint8_t)len;
    memcpy(setting->text, value, len);
    return 1;
}

static int32_t agent_info_init(struct plugin_options_head *options) {
    memset(&circuit_id_all, 0, sizeof circuit_id_all);
    memset(&remote_id_all, 0, sizeof remote_id_all);
    memset(per_interface, 0, sizeof per_interface);
    per_interface_count = 0;
    policy = KEEP;

    struct plugin_option *option;
    SLIST_FOREACH(option, options, next) {
        if (!read_line(option->text)) return 0;
    }
    return 1;
}

/* The setting that applies on an interface: its own line, else the line for
 * all interfaces, else none (UNSET: the default). */
static const struct setting *pick(const char *ifname, int circuit) {
    for (int i = 0; i < per_interface_count; ++i) {
        const struct interface_settings *entry = &per_interface[i];
        if (strcmp(entry->ifname, ifname) != 0) continue;
        const struct setting *own = circuit ? &entry->circuit_id : &entry->remote_id;
        if (own->source != UNSET) return own;
    }
    return circuit ? &circuit_id_all : &remote_id_all;
}

static int append_suboption(uint8_t *data, int len, uint8_t code, const void *value, size_t value_len) {
    if (value_len == 0) return len; /* a sub-option carries at least one byte */
    data[len] = code;
    data[len + 1] = (uint8_t)value_len;
    memcpy(data + len + 2, value, value_len);
    return len + 2 + (int)value_len;
}

/* Builds the option data this relay adds for requests captured on iface.
 * Returns its length; 0 when both sub-options are off. Inlined into each
 * caller, so that the fortified copies of the sub-options see the caller's
 * 255-byte buffer and check against it, which a pointer parameter hides. */
static inline __attribute__((always_inline)) int build_agent_info(const struct interface *iface, uint8_t data[255]) {
    int len = 0;
    const struct setting *circuit = pick(iface->name, 1);
    if (circuit->source == TEXT)
        len = append_suboption(data, len, SUBOPTION_CIRCUIT_ID, circuit->text, circuit->len);
    else if (circuit->source == UNSET)
        len = append_suboption(data, len, SUBOPTION_CIRCUIT_ID, iface->name, strnlen(iface->name, 15));

    const struct setting *remote = pick(iface->name, 0);
    if (remote->source == TEXT)
        len = append_suboption(data, len, SUBOPTION_REMOTE_ID, remote->text, remote->len);
    else if (remote->source == UNSET)
        len = append_suboption(data, len, SUBOPTION_REMOTE_ID, iface->mac, sizeof iface->mac);
    return len;
}

/* Whether the option data held (of held_len bytes) ends with ours: the
 * sub-options this relay appended to another agent's. */
static int ends_with(const uint8_t *held, int held_len, const uint8_t *ours, int len) {
    return len > 0 && held_len >= len && memcmp(held + held_len - len, ours, (size_t)len) == 0;
}

/* Appends ours to the option 82 another agent wrote. 0 when the option, or
 * the message, has no room for them: the request is not sent, since a
 * server would otherwise learn the other agent's view alone. */
static int32_t append_agent_info(struct dhcp_packet *packet, const uint8_t *present, const struct interface *iface,
                                 const uint8_t *ours, int len) {
    int held = present[1];
    if (held + len > 255) {
        logd(3, "agent_info: no room for %d bytes of sub-options after the %d of a request's option 82 from %s. "
                "Dropped.",
             len, held, iface->name);
        return 0;
    }
    uint8_t joined[255];
    memcpy(joined, present + 2, (size_t)held);
    memcpy(joined + held, ours, (size_t)len);
    if (!insert_option(packet, DHCP_OPTION_AGENT_INFO, (uint8_t)(held + len), joined, 1)) {
        logd(3, "agent_info: no room in a request from %s for its option 82 with %d more bytes. Dropped.",
             iface->name, len);
        return 0;
    }
    return 1;
}

/*
 * Runs once per server of a request, on the same message: after the first
 * server the message already carries the option built here (whole, or
 * after another agent's sub-options), which is then recognised by its
 * content and left alone, whatever the policy.
 */
static int32_t agent_info_send_to_server(struct sockaddr_in *server, struct interface *iface,
                                         struct queue_item *item) {
    (void)server;
    struct dhcp_packet *packet = &item->buf;
    uint8_t data[255];
    int len = build_agent_info(iface, data);

    const uint8_t *present = find_option(packet, DHCP_OPTION_AGENT_INFO);
    if (present == NULL) {
        if (len > 0) insert_option(packet, DHCP_OPTION_AGENT_INFO, (uint8_t)len, data, 0);
        return 1;
    }
    if (present[1] == len && memcmp(present + 2, data, (size_t)len) == 0) return 1;

    switch (policy) {
    case KEEP:
        return 1;
    case DROP:
        return 0;
    case REPLACE:
        if (len > 0) insert_option(packet, DHCP_OPTION_AGENT_INFO, (uint8_t)len, data, 1);
        else remove_option(packet, DHCP_OPTION_AGENT_INFO);
        return 1;
    case APPEND:
        if (len == 0 || ends_with(present + 2, present[1], data, len)) return 1;
        return append_agent_info(packet, present, iface, data, len);
    }
    return 1;
}

/* Under append: takes each of our sub-options (ours, of len bytes) out of
 * the answer's option 82 data, wherever the server put it, and keeps the
 * rest, the other agent's. 0 when one of ours is not there as sent (a
 * server may join sub-options of the same code): the option is then no
 * longer ours to split. */
static int keep_theirs(const uint8_t *held, int held_len, const uint8_t *ours, int len, uint8_t *theirs,
                       int *theirs_len) {
    int found = 0, wanted = 0;
    for (int at = 0; at + 1 < len; at += 2 + ours[at + 1]) ++wanted;
    *theirs_len = 0;
    for (int at = 0; at < held_len;) {
        if (at + 1 >= held_len || at + 2 + held[at + 1] > held_len) return 0;
        int size = 2 + held[at + 1];
        int mine = 0;
        for (int o = 0; o + 1 < len && !mine; o += 2 + ours[o + 1])
            mine = size == 2 + ours[o + 1] && memcmp(held + at, ours + o, (size_t)size) == 0;
        if (mine) ++found;
        else {
            memcpy(theirs + *theirs_len, held + at, (size_t)size);
            *theirs_len += size;
        }
        at += size;
    }
    return found == wanted;
}

/* Clients must not see option 82: every copy of it goes. Under append the
 * option also carries the sub-options of the agent before this relay (a
 * switch on the client's segment, say), which takes them out itself on the
 * way to the client: only ours go, unless the server changed them. */
static int32_t agent_info_send_to_client(struct sockaddr_in *from, struct interface *iface,
                                         struct dhcp_packet *packet, struct frame_headers *headers) {
    (void)from;
    (void)headers;
    const uint8_t *present = find_option(packet, DHCP_OPTION_AGENT_INFO);
    if (policy == APPEND && present != NULL) {
        uint8_t ours[255], theirs[255];
        int len = build_agent_info(iface, ours);
        int theirs_len = 0;
        if (keep_theirs(present + 2, present[1], ours, len, theirs, &theirs_len) && theirs_len > 0) {
            insert_option(packet, DHCP_OPTION_AGENT_INFO, (uint8_t)theirs_len, theirs, 1);
            return 1;
        }
    }
    while (remove_option(packet, DHCP_OPTION_AGENT_INFO)) {
    }
    return 1;
}

struct plugin agent_info_plugin = {
    .name = "agent_info",
    .init = agent_info_init,
    .send_to_server = agent_info_send_to_server,
    .send_to_client = agent_info_send_to_client,
};
