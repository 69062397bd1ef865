// bind_ip: the address an interface relays from.
#include "config/ip_binding.h"

#include <arpa/inet.h>
#include <err.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/settings.h"

namespace {

// A binding owned here until it joins the list.
struct BindingDeleter {
    void operator()(struct ip_binding *binding) const {
        std::free(binding->ifname);
        std::free(binding);
    }
};
using OwnedBinding = std::unique_ptr<struct ip_binding, BindingDeleter>;

} // namespace

void bind_ip(std::string_view value, int line) {
    // The name ends at the first blank and only there: a tab is part of the
    // name, so a value written with a tab alone has no separator at all.
    std::size_t blank = value.find(' ');
    if (blank == std::string_view::npos) errx(1, "bind_ip syntax error at line %d", line);
    const std::string ifname(value.substr(0, blank));
    const std::string address(value.substr(blank + 1));

    OwnedBinding binding(static_cast<struct ip_binding *>(std::calloc(1, sizeof(struct ip_binding))));
    if (!binding) process_error(16, "malloc");

    // inet_pton takes only four dotted decimal parts of 0..255 with nothing
    // around them, so a stray blank or a leading zero is refused here rather
    // than guessed at.
    if (inet_pton(AF_INET, address.c_str(), &binding->ip) != 1) {
        logd(kestivane::log_warning, "bind_ip: %s is not a valid IPv4 address. Ignoring", address.c_str());
        return;
    }

    binding->ifname = strdup(ifname.c_str());
    if (binding->ifname == nullptr) process_error(16, "malloc");

    struct ip_binding *node = binding.release();
    STAILQ_INSERT_TAIL(&ip_binding_map_head, node, next);

    if (get_ip(node->ifname, nullptr, &node->ip) != 0) {
        logd(kestivane::log_debug, "interface %s binded to address %s", node->ifname, address.c_str());
        return;
    }
    logd(kestivane::log_warning, "bind_ip: address %s not found on interface %s. Ignoring", address.c_str(),
         node->ifname);
    // The node was appended last, so taking it out moves the tail back.
    STAILQ_REMOVE(&ip_binding_map_head, node, ip_binding, next);
    OwnedBinding{node};
}

extern "C" uint32_t *get_bound_ip(const char *ifname) {
    struct ip_binding *binding;
    STAILQ_FOREACH(binding, &ip_binding_map_head, next) {
        // A reload takes a binding back by clearing its address: the list
        // is read without a lock, so its nodes stay.
        if (std::strcmp(binding->ifname, ifname) == 0 && binding->ip != 0) return &binding->ip;
    }
    return nullptr;
}
