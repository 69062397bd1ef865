// The opener's system-call allow-list, through libseccomp. Always on: the
// opener is the one process that keeps a privilege after start-up, and what
// it may do with it should be as narrow as what it is for.
//
// A refused call fails with EPERM rather than ending the process: the
// opener answers the relay with that error, and a configuration check that
// meets it fails with the reason on its standard error, which the relay
// logs. Files are opened for reading only: nothing the opener or its check
// runs writes a file (the check's output goes to a pipe it is given).
#include <fcntl.h>
#include <seccomp.h>

#include <cerrno>
#include <memory>

#include "net/linux/seccomp_filter.h"
#include "net/platform.h"

namespace kestivane::platform {

namespace {

constexpr const char *opener_calls[] = {
    // memory, and shared objects mapped by a check that loads plug-ins
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise",
    // the process itself, its check child, and their signals
    "clone", "clone3", "fork", "vfork", "wait4", "kill", "tgkill", "exit", "exit_group", "getpid", "gettid", "getppid",
    "set_robust_list", "rseq", "futex", "set_tid_address", "rt_sigprocmask", "rt_sigaction", "rt_sigreturn",
    "restart_syscall", "prlimit64", "getrandom", "sched_getaffinity", "sched_yield", "sysinfo",
    // the check child gives up its capabilities before it reads anything
    "capget", "capset", "prctl",
    // time
    "clock_gettime", "clock_getres", "clock_nanosleep", "nanosleep", "gettimeofday", "time",
    // descriptors: the check's pipes and its result
    "read", "write", "readv", "writev", "pread64", "lseek", "close", "close_range", "dup", "dup2", "dup3",
    "fcntl", "ioctl", "pipe", "pipe2", "memfd_create", "fstat", "newfstatat", "statx", "getdents64",
    "readlink", "readlinkat", "faccessat", "faccessat2", "access", "uname", "getcwd",
    // sockets: packet and UDP sockets, netlink for the interface list, the
    // pair to the relay, and the name service's sockets in a check
    "socket", "socketpair", "bind", "connect", "getsockname", "getpeername", "setsockopt", "getsockopt",
    "sendto", "sendmsg", "sendmmsg", "recvfrom", "recvmsg", "shutdown",
    "poll", "ppoll", "select", "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait",
    // the credentials, read
    "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid", "getgroups",
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTIVANE_OPENER_SANITIZER_RUNTIME 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTIVANE_OPENER_SANITIZER_RUNTIME 1
#endif
#ifdef KESTIVANE_OPENER_SANITIZER_RUNTIME
// A sanitizer build's runtime, at a check child's exit, stops and reads
// the process from a thread of its own. Only those test builds allow these.
constexpr const char *opener_sanitizer_calls[] = {
    "ptrace", "open", "stat", "lstat", "getdents", "process_vm_readv", "sigaltstack", "sched_getparam",
};
#endif

} // namespace

const char *opener_sandbox_install() {
    seccomp_filter ctx(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
    if (!ctx) {
        errno = ENOMEM;
        return "seccomp_init";
    }
    if (int rc = seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)); rc < 0)
        return seccomp_failed("seccomp_attr_set(ACT_BADARCH)", rc);
    auto add = [&ctx](const char *name) -> int {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR) return 0; // not a call of this system
        return seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, number, 0);
    };
    for (const char *name : opener_calls)
        if (int rc = add(name); rc < 0) return seccomp_failed("seccomp_rule_add", rc);
#ifdef KESTIVANE_OPENER_SANITIZER_RUNTIME
    for (const char *name : opener_sanitizer_calls)
        if (int rc = add(name); rc < 0) return seccomp_failed("seccomp_rule_add", rc);
#endif
    // openat only for reading: no flag that writes, creates or truncates.
    const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    if (int rc = seccomp_rule_add(ctx.get(), SCMP_ACT_ALLOW, SCMP_SYS(openat), 1,
                                  SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0));
        rc < 0)
        return seccomp_failed("seccomp_rule_add(openat)", rc);
    if (int rc = seccomp_load(ctx.get()); rc < 0) return seccomp_failed("seccomp_load", rc);
    return nullptr;
}

} // namespace kestivane::platform
