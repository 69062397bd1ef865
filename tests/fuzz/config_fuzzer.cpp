// Fuzzing the configuration reader over arbitrary file contents.
//
// The reader ends the process on every error in the file, through errx
// directly or through process_error, which ends in errx too. This target
// defines errx itself: the executable's own definition takes the calls of
// the relay's objects, and it throws instead of exiting, so that the input
// ends as a result the fuzzer can judge and the next input runs in the same
// process. The relay's objects are not changed for it.
//
// Server lines name hosts, and a name that is not a dotted quad would be
// resolved through the resolver, which asks the machine's nameserver. The
// target therefore moves itself into a network namespace of its own before
// the first input (unshare(CLONE_NEWNET), or with a user namespace where
// that is not allowed to the caller), and refuses to run if it cannot: the
// namespace has no interface but its loopback, so a resolver query fails at
// once (no route to the nameserver) and no packet can leave the machine,
// whatever the fuzzer writes; /etc/hosts still answers. The loopback is
// brought up so that server lines naming "lo" really open an interface
// (capture, frame output, UDP socket at 127.0.0.1), as on a router.
//
// Checked for every input: the process would end only with the statuses the
// relay uses (1, 16, 32, 64) and a message; a file that is read to its end
// leaves at least one interface open, the settings in their ranges and the
// tables as the relay's threads expect them (indexes, counts, server lists
// that name existing servers). Between inputs every table is emptied and
// every channel closed, so LeakSanitizer sees what the reader loses.
#include <fuzzer/FuzzedDataProvider.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "fuzz_support.h"
#include "net/relay6.h"

namespace {

// What errx would have ended the process with.
struct process_end {
    int status;
    std::string message;
};

void enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "fuzz_config: cannot enter a network namespace of its own (%s); refusing to run, "
                             "since server names would reach the machine's resolver\n",
                     std::strerror(errno));
        std::exit(1);
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    if (sock < 0 || ioctl(sock, SIOCGIFFLAGS, &request) != 0) {
        std::perror("fuzz_config: loopback flags");
        std::exit(1);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(sock, SIOCSIFFLAGS, &request) != 0) {
        std::perror("fuzz_config: loopback up");
        std::exit(1);
    }
    close(sock);
}

// Empties every table the reader fills and closes what opening interfaces
// opened, leaving the settings at their start-up values.
void reset_relay() {
    for (int32_t i = 0; i < srv_num; ++i) {
        std::free(servers[i]->name);
        std::free(servers[i]);
    }
    std::memset(servers, 0, sizeof servers);
    srv_num = 0;
    for (int32_t i = 0; i < if_num; ++i) {
        struct interface *iface = ifs[i];
        if (iface->sock >= 0) close(iface->sock);
        if (iface->bpf >= 0) close(iface->bpf);
        if (iface->cap != nullptr) pcap_close(reinterpret_cast<pcap_t *>(iface->cap));
        std::free(iface->srv_idx);
        std::free(iface);
    }
    std::memset(ifs, 0, sizeof ifs);
    if_num = 0;
    while (struct ip_binding *binding = STAILQ_FIRST(&ip_binding_map_head)) {
        STAILQ_REMOVE_HEAD(&ip_binding_map_head, next);
        std::free(binding->ifname);
        std::free(binding);
    }
    for (unsigned i = 0; i < plugins_number; ++i) {
        std::free(plugins[i]);
        while (struct plugin_option *option = SLIST_FIRST(options_heads[i])) {
            SLIST_REMOVE_HEAD(options_heads[i], next);
            std::free(option->text);
            std::free(option);
        }
        std::free(options_heads[i]);
    }
    std::memset(plugins, 0, sizeof plugins);
    std::memset(options_heads, 0, sizeof options_heads);
    plugins_number = 0;
    max_packet_size = 1400;
    max_hops = 4;
    rps_limit = 0;
    std::snprintf(plugin_base, sizeof plugin_base, "%s", KESTIVANE_FUZZ_PLUGIN_DIR);
    kestivane::relay6::close_all();
}

// What the relay's threads take for granted once the file has been read.
void check_tables() {
    // A file with DHCPv6 lines alone leaves no v4 interface open.
    FUZZ_CHECK((if_num >= 1 || kestivane::relay6::configured()) && if_num <= kestivane::interfaces_limit);
    const auto &servers6 = kestivane::relay6::servers();
    for (const auto &lower : kestivane::relay6::lowers()) {
        FUZZ_CHECK(lower.capture.get() >= 0 && lower.membership.get() >= 0 && lower.index != 0);
        FUZZ_CHECK(std::memchr(lower.name, '\0', sizeof lower.name) != nullptr);
        for (std::size_t k : lower.servers) FUZZ_CHECK(k < servers6.size());
    }
    FUZZ_CHECK(srv_num >= 0 && srv_num <= kestivane::servers_limit);
    for (int32_t i = 0; i < srv_num; ++i) FUZZ_CHECK(servers[i] != nullptr && servers[i]->name != nullptr);
    for (int32_t i = 0; i < if_num; ++i) {
        const struct interface *iface = ifs[i];
        FUZZ_CHECK(iface != nullptr && iface->idx == i);
        FUZZ_CHECK(iface->sock >= 0 && iface->bpf >= 0 && iface->cap != nullptr);
        FUZZ_CHECK(std::memchr(iface->name, '\0', sizeof iface->name) != nullptr);
        FUZZ_CHECK(iface->srv_count >= 1);
        for (int32_t k = 0; k < iface->srv_count; ++k)
            FUZZ_CHECK(iface->srv_idx[k] >= 0 && iface->srv_idx[k] < srv_num);
    }
    FUZZ_CHECK(plugins_number <= kestivane::plugins_limit);
    for (unsigned i = 0; i < plugins_number; ++i) FUZZ_CHECK(plugins[i] != nullptr && options_heads[i] != nullptr);
    FUZZ_CHECK(max_packet_size >= 300 && max_packet_size <= 1500);
    FUZZ_CHECK(max_hops >= 1 && max_hops <= 16);
    std::size_t base = strnlen(plugin_base, sizeof plugin_base);
    FUZZ_CHECK(base < sizeof plugin_base);
    if (base < sizeof plugin_base - 1) FUZZ_CHECK(base > 0 && plugin_base[base - 1] == '/');
}

int config_file = -1; // a memory file holding the input

} // namespace

// The relay's objects call this instead of the C library's: see the top.
extern "C" void errx(int status, const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw process_end{status, text};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kestivane::fuzz::quiet_logging();
    enter_private_network();
    bootps_port = htons(67);
    bootpc_port = htons(68);
    STAILQ_INIT(&ip_binding_map_head);
    config_file = memfd_create("fuzz_config", MFD_CLOEXEC);
    if (config_file < 0) {
        std::perror("memfd_create");
        std::exit(1);
    }
    reset_relay();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ftruncate(config_file, 0) != 0 || pwrite(config_file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::perror("fuzz_config: writing the input");
        std::abort();
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", config_file);

    try {
        read_config(path);
        check_tables();
    } catch (const process_end &end) {
        FUZZ_CHECK(end.status == 1 || end.status == 16 || end.status == 32 || end.status == 64);
        FUZZ_CHECK(!end.message.empty());
    }
    reset_relay();
    return 0;
}
