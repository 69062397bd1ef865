// Start-up, in the order the relay's behaviour depends on: every option takes
// effect when it is met, so "-A 600 -i eth0" and "-i eth0 -A 600" differ.
#include "core/startup.h"

#include <bsd/libutil.h>
#include <err.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/privileges.h"
#include "core/reload.h"
#include "core/settings.h"
#include "metrics/reporter.h"
#include "net/forward.h"
#include "net/interface_lifecycle.h"
#include "net/interface_watch.h"
#include "net/opener.h"
#include "net/relay6.h"
#include "net/relay_suboptions.h"
#include "net/source_address.h"
#include "plugins/loader.h"

namespace {

enum class Mode { none, config_file, command_line };

constexpr std::size_t program_name_size = 80; // at most 79 characters kept
constexpr std::size_t pid_path_size = 256;    // at most 255 characters kept

// Copies at most size - 1 characters of text and terminates the copy.
void copy_cut(char *dst, std::size_t size, const char *text) {
    std::snprintf(dst, size, "%s", text);
}

int32_t service_port(const char *service) {
    const struct servent *entry = getservbyname(service, nullptr);
    if (entry == nullptr) errx(69, "getservbyname(%s)", service);
    return entry->s_port;
}

// strtol's reading: leading blanks and a sign, digits up to the first other
// character, 0 without digits. The range is checked on the number as
// written, so that 4294967596 is refused rather than wrapping to 300.
bool read_in_range(const char *text, int32_t low, int32_t high, int32_t &value) {
    long long number = std::strtoll(text, nullptr, 10);
    value = static_cast<int32_t>(number);
    return number >= low && number <= high;
}

[[noreturn]] void print_usage(const char *program) { usage(program); }

[[noreturn]] void refuse_mode_mix() {
    errx(1, "Either config file or command line options allowed. Not both.");
}

void choose_mode(Mode &mode, Mode wanted) {
    if (mode != Mode::none && mode != wanted) refuse_mode_mix();
    mode = wanted;
}

// Command-line mode: every interface relays to every server operand that
// opened, each exactly once, in operand order. What opening the interfaces
// put in their lists (one -1 per -i, no server being open then) goes.
void bind_operand_servers(int count, char **operands) {
    std::vector<int32_t> opened;
    for (int i = 0; i < count; ++i) {
        if (open_server(operands[i]) == 0) {
            logd(kestivane::log_warning, "Can't open server %s. Ignored.", operands[i]);
            continue;
        }
        opened.push_back(srv_num - 1);
    }
    for (int32_t i = 0; i < if_num; ++i) {
        struct interface *iface = ifs[i];
        int32_t *list = nullptr;
        if (!opened.empty()) {
            list = static_cast<int32_t *>(std::malloc(opened.size() * sizeof(int32_t)));
            if (list == nullptr) process_error(16, "malloc");
            std::memcpy(list, opened.data(), opened.size() * sizeof(int32_t));
        }
        // Nothing else holds the earlier list: this mode has no plug-ins and
        // no thread runs yet. (A check ends through exit, where the leak
        // checker of a sanitizer build would count it.)
        std::free(iface->srv_idx);
        iface->srv_idx = list;
        iface->srv_count = static_cast<int32_t>(opened.size());
    }
    for (const std::string &name : kestivane::awaited_interface_names())
        for (int32_t srv : opened) kestivane::await_interface(name.c_str(), servers[srv]);
}

// The option letters; '+': POSIX parsing, stop at the first operand and
// never reorder.
constexpr const char *option_letters = "+A:c:df:hi:p:tu:";

// -t changes how every other option acts (a file is read without opening
// anything), so it is looked for before any option takes effect: "-f file
// -t" checks the file as "-t -f file" does. The options are read again
// afterwards, with their diagnostics.
bool check_requested(int argc, char **argv) {
    bool found = false;
    opterr = 0;
    for (int option; (option = getopt(argc, argv, option_letters)) != -1;) {
        if (option == 't') found = true;
    }
    opterr = 1;
    optind = 0; // the next getopt starts afresh
    return found;
}

// The end of a check: everything was read and nothing refused. Exits like
// the usage text does, with status 0.
[[noreturn]] void report_checked(const std::string &config_path) {
    const std::string what = config_path.empty() ? "Command line" : "Configuration file " + config_path;
    logd(kestivane::log_warning, "%s is fine: %d interfaces, %d servers, %zu DHCPv6 interfaces, %d plug-ins",
         what.c_str(), if_num, srv_num, kestivane::relay6::lowers().size(), static_cast<int>(plugins_number));
    std::exit(0);
}

void open_pid_file(const char *path) {
    pid_t other = 0;
    pfh = pidfile_open(path, 0644, &other);
    if (pfh != nullptr) return;
    if (errno == EEXIST) errx(1, "Already run with PID %lu. Exiting.", static_cast<unsigned long>(other));
    errx(1, "Can't create PID file");
}

void start_threads(kestivane::answer_backlog &answers) {
    kestivane::fatal_exits_skip_exit_handlers();
    // One watcher follows the links of both families.
    kestivane::start_interface_watch(true);
    pthread_t thread;
    for (int32_t i = 0; i < if_num; ++i) {
        if (pthread_create(&thread, nullptr, listener, ifs[i]) == 0) pthread_detach(thread);
    }
    if (pthread_create(&thread, nullptr, process_server_answer, &answers) == 0) pthread_detach(thread);
    if (kestivane::relay6::upper_socket() >= 0) kestivane::relay6::start_threads();
    kestivane::metrics::start_reporter();
    kestivane::start_reload_thread();
}

} // namespace

void run_relay(int argc, char **argv) {
    // Before the configuration loads plug-ins, which may start threads.
    kestivane::metrics::block_dump_signal();
    kestivane::block_reload_signal();
    copy_cut(plugin_base, sizeof plugin_base, KESTIVANE_DEFAULT_PLUGIN_DIR);
    bootps_port = service_port("bootps");
    bootpc_port = service_port("bootpc");
    kestivane::check_only = check_requested(argc, argv);
    if (!kestivane::check_only) openlog("kestivane", LOG_PID | LOG_NDELAY, LOG_DAEMON);

    char program[program_name_size];
    copy_cut(program, sizeof program, argc > 0 ? argv[0] : "kestivane");
    char pid_path[pid_path_size] = "";
    STAILQ_INIT(&ip_binding_map_head);
    Mode mode = Mode::none;
    std::string config_path;

    int option;
    while ((option = getopt(argc, argv, option_letters)) != -1) {
        switch (option) {
        case 'A':
            if (mode == Mode::config_file) refuse_mode_mix();
            if (!read_in_range(optarg, kestivane::min_packet_size, kestivane::max_packet_size_limit,
                               max_packet_size))
                errx(1, "Wrong packet size");
            break;
        case 'c':
            if (mode == Mode::config_file) refuse_mode_mix();
            if (!read_in_range(optarg, kestivane::min_hops_limit, kestivane::max_hops_limit, max_hops))
                errx(1, "Wrong hops number");
            break;
        case 'd':
            ++debug;
            break;
        case 'f':
            if (mode == Mode::config_file) errx(1, "only one config file allowed");
            choose_mode(mode, Mode::config_file);
            config_path = optarg;
            read_config(optarg);
            break;
        case 'i':
            choose_mode(mode, Mode::command_line);
            // A check is asked for exactly this: it warns.
            if (open_interface(optarg) == 0) {
                logd(kestivane::check_only ? kestivane::log_warning : kestivane::log_debug,
                     "Interface %s does not exist. Ignored.", optarg);
                // A relay that starts waits for it, with every server operand.
                if (!kestivane::check_only) kestivane::await_interface(optarg, nullptr);
            }
            break;
        case 't': // found before the loop
            break;
        case 'p':
            copy_cut(pid_path, sizeof pid_path, optarg);
            break;
        case 'u':
            if (mode == Mode::config_file) refuse_mode_mix();
            set_run_as_user(optarg, 0);
            break;
        default: // -h, an unknown letter or a missing argument
            print_usage(program);
        }
    }

    int operands = argc - optind;
    if ((mode == Mode::command_line && operands == 0) || (mode == Mode::config_file && operands > 0))
        print_usage(program);

    // What the relay writes into option 82 follows from the settings alone.
    kestivane::settle_source_addresses();
    kestivane::settle_relay_suboptions();
    // A check runs no plug-in's init: init may open what a check must not.
    if (!kestivane::check_only) {
        settle_run_as_user();
        // Forked while the process has one thread and every privilege, and
        // knows every interface the configuration names.
        kestivane::start_opener(config_path);
        init_plugins();
    }
    if (operands > 0) bind_operand_servers(operands, argv + optind);

    // A relay starts when it can relay on some interface now; it then waits
    // for the named interfaces that are missing (or lack their IPv4 address)
    // and opens each when it comes. With nothing to relay on now it does not
    // start, whatever it would wait for: a relay that runs relays, and
    // otherwise the service manager's restart tries again.
    if (if_num == 0 && !kestivane::relay6::configured()) errx(1, "No interfaces found to listen. Exiting.");
    if (kestivane::check_only) report_checked(config_path);
    logd(kestivane::log_warning, "Total interfaces: %d", if_num);
    // Every v6 socket opens here, before the threads start; the server
    // socket too when every lower interface is still awaited.
    if (kestivane::relay6::configured() || kestivane::relay6::declared_any()) {
        kestivane::relay6::open_upper();
        logd(kestivane::log_warning, "Total DHCPv6 interfaces: %zu", kestivane::relay6::lowers().size());
    }

    if (pid_path[0] == '\0') {
        const char *slash = std::strrchr(program, '/');
        std::string path = std::string("/var/run/") + (slash ? slash + 1 : program) + ".pid";
        copy_cut(pid_path, sizeof pid_path, path.c_str());
    }
    if (debug == 0) open_pid_file(pid_path);

    // A file can be read again; command-line options cannot.
    if (mode == Mode::command_line) signal(SIGHUP, SIG_IGN);
    if (debug == 0 && daemon(0, 0) != 0) process_error(1, "Can't daemonize. Exiting.");
    if (pfh != nullptr) pidfile_write(pfh);
    // Everything is open and the plug-ins are initialised: nothing from here
    // on needs a privilege, and no thread exists yet to keep one.
    drop_privileges();
    if (mode == Mode::config_file) kestivane::prepare_reload(config_path);

    STAILQ_INIT(&q_head);
    pthread_mutex_init(&queue_lock, nullptr);
    pthread_cond_init(&queue_cond, nullptr);
    // Shared by the answer thread and the consumer for the process's life.
    static kestivane::answer_backlog answers;
    start_threads(answers);
    consume_queue(answers);
}
