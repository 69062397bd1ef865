// The system-call allow-list of the running relay, through libseccomp.
//
// What a refused call does: it traps (SIGSYS) instead of killing the process
// or failing silently. The handler makes the call return EPERM, as if the
// kernel had refused it, and marks its number in a bitmap; a thread of the
// relay waits for marks (sandbox_wait_refused) and logs each call once, by
// name. The handler does nothing a signal handler may not: an atomic or and
// sem_post. A plain "fail with EPERM" filter would leave no trace of what
// was refused, and the kernel's audit log is not the relay's log.
//
// The filter is loaded for every thread at once (TSYNC), which also sets
// no-new-privileges on each. A thread must not block SIGSYS: the kernel
// ends a process whose trapping thread blocks it.
#include <seccomp.h>
#include <semaphore.h>
#include <signal.h>
#include <ucontext.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "net/linux/seccomp_filter.h"
#include "net/platform.h"

namespace kestivane::platform {

namespace {

// Every call the relay and the plug-ins we ship make once start-up is done,
// through the C library, libpcap and libbsd: the listener, forwarding,
// answer and DHCPv6 threads, the interface watcher with its reopening of
// sockets, the metrics reporter (stats file rewrite, the SIGUSR1 dump), the
// log (syslog's socket, standard output in debug mode) and the fatal exit
// (the pid file's removal). Names this system does not know are passed over.
constexpr const char *relay_calls[] = {
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise",
    // threads, locks and signals
    "clone", "clone3", "set_robust_list", "rseq", "futex", "sched_yield", "sched_getaffinity", "gettid",
    "getpid", "tgkill", "exit", "exit_group", "rt_sigprocmask", "rt_sigaction", "rt_sigreturn",
    "rt_sigtimedwait", "sigaltstack", "restart_syscall", "prlimit64", "getrandom",
    // the queue consumer asks to run as a batch task
    "sched_setscheduler", "sched_getscheduler", "sched_getparam",
    // time
    "clock_gettime", "clock_getres", "clock_nanosleep", "nanosleep", "gettimeofday", "time",
    // files: the stats file, the pid file, the time zone for syslog, /proc
    "read", "write", "readv", "writev", "pread64", "pwrite64", "lseek", "close", "fstat", "newfstatat",
    "statx", "openat", "fcntl", "ioctl", "dup", "dup2", "dup3", "getdents64", "rename", "renameat", "renameat2",
    "unlink", "unlinkat", "fchmod", "fsync", "fdatasync", "flock", "eventfd2",
    // sockets: UDP for both families, packet sockets, netlink, syslog's
    "socket", "bind", "connect", "getsockname", "getpeername", "setsockopt", "getsockopt", "sendto",
    "sendmsg", "sendmmsg", "recvfrom", "recvmsg", "recvmmsg", "shutdown",
    // waiting on descriptors
    "select", "pselect6", "poll", "ppoll", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait",
    // libpcap asks for the kernel version when a capture changes mode
    "uname",
    // the credentials, read
    "getuid", "geteuid", "getgid", "getegid",
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTIVANE_SANITIZER_RUNTIME 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTIVANE_SANITIZER_RUNTIME 1
#endif
#ifdef KESTIVANE_SANITIZER_RUNTIME
// A sanitizer build's runtime makes calls of its own while the relay runs:
// at exit the leak checker stops every thread from a thread of its own
// that traces them. Only those test builds allow these.
constexpr const char *sanitizer_calls[] = {
    "prctl", "ptrace", "wait4", "getppid", "kill", "open", "stat", "lstat", "access", "getdents", "readlink",
    "readlinkat", "pipe", "pipe2", "process_vm_readv",
};
#endif

// Room for every system call number of the architectures we build for.
constexpr int max_call = 1024;
constexpr std::size_t words = max_call / 64;
std::array<std::atomic<uint64_t>, words> refused{};
std::array<uint64_t, words> reported{}; // the reporting thread's alone
sem_t refusals;

#if defined(__x86_64__)
void set_result(ucontext_t *context, long value) { context->uc_mcontext.gregs[REG_RAX] = value; }
constexpr bool can_trap = true;
#elif defined(__aarch64__)
void set_result(ucontext_t *context, long value) { context->uc_mcontext.regs[0] = static_cast<uint64_t>(value); }
constexpr bool can_trap = true;
#else
// Elsewhere a refused call fails with EPERM without being logged.
void set_result(ucontext_t *, long) {}
constexpr bool can_trap = false;
#endif

void on_refused_call(int, siginfo_t *info, void *context) {
    const int saved_errno = errno;
    set_result(static_cast<ucontext_t *>(context), -EPERM);
    const int number = info->si_syscall;
    if (number >= 0 && number < max_call) {
        const uint64_t bit = uint64_t{1} << (number % 64);
        if ((refused[static_cast<std::size_t>(number / 64)].fetch_or(bit) & bit) == 0) sem_post(&refusals);
    }
    errno = saved_errno;
}

const char *allow(scmp_filter_ctx ctx, const char *name, bool known_only) {
    const int number = seccomp_syscall_resolve_name(name);
    if (number == __NR_SCMP_ERROR) {
        if (known_only) return nullptr;
        errno = EINVAL;
        return "seccomp_syscall_resolve_name";
    }
    if (int rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, number, 0); rc < 0) return seccomp_failed("seccomp_rule_add", rc);
    return nullptr;
}

} // namespace

bool sandbox_call_known(const char *name) { return seccomp_syscall_resolve_name(name) != __NR_SCMP_ERROR; }

const char *sandbox_install(const std::vector<std::string> &extra_calls) {
    const uint32_t refusal = can_trap ? SCMP_ACT_TRAP : SCMP_ACT_ERRNO(EPERM);
    seccomp_filter ctx(seccomp_init(refusal));
    if (!ctx) {
        errno = ENOMEM;
        return "seccomp_init";
    }
    // Every thread, the ones a plug-in started included.
    if (int rc = seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_TSYNC, 1); rc < 0)
        return seccomp_failed("seccomp_attr_set(TSYNC)", rc);
    // A call through another architecture's entry is refused alike; its
    // number means nothing to the native table, so it is not logged.
    if (int rc = seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)); rc < 0)
        return seccomp_failed("seccomp_attr_set(ACT_BADARCH)", rc);
    for (const char *name : relay_calls)
        if (const char *failed_call = allow(ctx.get(), name, true); failed_call != nullptr) return failed_call;
#ifdef KESTIVANE_SANITIZER_RUNTIME
    for (const char *name : sanitizer_calls)
        if (const char *failed_call = allow(ctx.get(), name, true); failed_call != nullptr) return failed_call;
#endif
    for (const std::string &name : extra_calls)
        if (const char *failed_call = allow(ctx.get(), name.c_str(), false); failed_call != nullptr)
            return failed_call;

    if (sem_init(&refusals, 0, 0) != 0) return "sem_init";
    if (can_trap) {
        struct sigaction action{};
        action.sa_sigaction = on_refused_call;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;
        if (sigaction(SIGSYS, &action, nullptr) != 0) return "sigaction(SIGSYS)";
    }
    if (int rc = seccomp_load(ctx.get()); rc < 0) return seccomp_failed("seccomp_load", rc);
    return nullptr;
}

std::string sandbox_wait_refused() {
    for (;;) {
        while (sem_wait(&refusals) != 0) {
        }
        for (std::size_t w = 0; w < words; ++w) {
            const uint64_t fresh = refused[w].load() & ~reported[w];
            if (fresh == 0) continue;
            const int bit = __builtin_ctzll(fresh);
            reported[w] |= uint64_t{1} << bit;
            const int number = static_cast<int>(w) * 64 + bit;
            char *name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, number);
            // A number the library cannot name is shown as "#<number>". Built
            // with snprintf: GCC 12 at -O3 raises a false -Wrestrict on
            // "#" + std::to_string().
            char unnamed[16];
            std::snprintf(unnamed, sizeof unnamed, "#%d", number);
            std::string text = name != nullptr ? std::string(name) : std::string(unnamed);
            std::free(name);
            return text;
        }
    }
}

} // namespace kestivane::platform
