// The privilege drop. Every lookup that needs the user database happens
// while the options are read, with standard error still attached, so that
// the drop itself only makes system calls and cannot half succeed on a name
// service failure. What the kernel then reports of every thread is checked,
// so that a thread the drop did not reach stops the relay rather than keep
// what the rest gave up.
#include "core/privileges.h"

#include <err.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/settings.h"
#include "net/platform.h"

namespace {

struct TargetUser {
    std::string name;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups; // supplementary groups, the primary one included
};

std::optional<TargetUser> target;
bool user_named = false;
bool staying_root = false; // started as root, no user named, none packaged
// The user a relay started as root runs as when no other is named: the
// one the package creates.
constexpr const char *packaged_user = "kestivane";

bool sandbox_on = false;
std::vector<std::string> sandbox_extra_calls;

std::vector<gid_t> groups_of(const char *name, gid_t gid) {
    // getgrouplist tells the size it needs when the first guess is short.
    int count = 16;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(name, gid, groups.data(), &count) == -1) {
        if (static_cast<std::size_t>(count) <= groups.size()) errx(1, "Can't list the groups of user %s", name);
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

// Looks the user up; false when the database simply has no such user.
// Fails start-up when the database itself fails.
bool look_up_user(const std::string &user, int line_number) {
    errno = 0;
    const struct passwd *entry = getpwnam(user.c_str());
    if (entry == nullptr) {
        // getpwnam leaves errno at 0 (or ENOENT and kin) for a name that is
        // simply absent; anything else is the user database failing.
        if (errno == 0 || errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM) return false;
        if (line_number > 0)
            errx(1, "Can't look up user %s: %s. Line: %d", user.c_str(), std::strerror(errno), line_number);
        errx(1, "Can't look up user %s: %s", user.c_str(), std::strerror(errno));
    }
    TargetUser found{user, entry->pw_uid, entry->pw_gid, {}};
    found.groups = groups_of(user.c_str(), found.gid);
    target = std::move(found);
    return true;
}

// What failed in a user switch: the step, and whether errno tells why.
struct switch_failure {
    std::string step;
    bool has_errno = true;
};

std::optional<switch_failure> change_user(const TargetUser &user) {
    // Groups before the group, the group before the user: once the user is
    // switched, the right to change groups is gone. The C library makes each
    // of these calls in every thread of the process.
    if (setgroups(user.groups.size(), user.groups.data()) != 0) return switch_failure{"setgroups"};
    if (setgid(user.gid) != 0) return switch_failure{"setgid(" + std::to_string(user.gid) + ")"};
    if (setuid(user.uid) != 0) return switch_failure{"setuid(" + std::to_string(user.uid) + ")"};
    // A switch that left a way back to root is no switch at all.
    if (user.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0))
        return switch_failure{"root regained after setuid(" + std::to_string(user.uid) + ")", false};
    return std::nullopt;
}

void switch_user(const TargetUser &user) {
    if (const auto failed = change_user(user)) {
        if (failed->has_errno)
            process_error(1, "Can't drop privileges: %s: %s", failed->step.c_str(), std::strerror(errno));
        process_error(1, "Can't drop privileges: %s", failed->step.c_str());
    }
    logd(kestivane::log_debug, "Running as user %s", user.name.c_str());
}

// What a thread still holds that the drop meant to take; nullptr if nothing.
const char *kept_privilege(const kestivane::platform::thread_privileges &t, bool bounding_cleared) {
    if (target.has_value()) {
        for (unsigned long id : t.uid)
            if (id != target->uid) return "another user";
        for (unsigned long id : t.gid)
            if (id != target->gid) return "another group";
    }
    if (t.cap_eff != 0) return "effective capabilities";
    if (t.cap_prm != 0) return "permitted capabilities";
    if (t.cap_inh != 0) return "inheritable capabilities";
    if (t.cap_amb != 0) return "ambient capabilities";
    if (bounding_cleared && t.cap_bnd != 0) return "a bounding capability set";
    if (t.no_new_privs != 1) return "the right to gain privileges";
    if (sandbox_on && t.seccomp != 2) return "no sandbox";
    return nullptr;
}

void check_every_thread(bool bounding_cleared) {
    std::vector<kestivane::platform::thread_privileges> threads;
    if (!kestivane::platform::read_thread_privileges(threads))
        process_error(1, "Can't drop privileges: can't read the threads' state: %s", std::strerror(errno));
    for (const auto &t : threads)
        if (const char *kept = kept_privilege(t, bounding_cleared); kept != nullptr)
            process_error(1, "Can't drop privileges: thread %ld keeps %s", t.tid, kept);
    logd(kestivane::log_debug, "Privileges dropped in %zu threads", threads.size());
}

void *report_refused_calls(void *) {
    for (;;) {
        const std::string name = kestivane::platform::sandbox_wait_refused();
        logd(kestivane::log_warning, "System call %s refused by the sandbox", name.c_str());
    }
}

void install_sandbox() {
    if (const char *failed = kestivane::platform::sandbox_install(sandbox_extra_calls); failed != nullptr)
        process_error(1, "Can't install the sandbox: %s: %s", failed, std::strerror(errno));
    // Started inside the sandbox, like every thread after it.
    pthread_t thread;
    if (int failed = pthread_create(&thread, nullptr, report_refused_calls, nullptr); failed != 0)
        process_error(1, "Can't install the sandbox: pthread_create: %s", std::strerror(failed));
    pthread_detach(thread);
    logd(kestivane::log_debug, "Sandbox on, %zu system calls added", sandbox_extra_calls.size());
}

} // namespace

void set_run_as_user(std::string_view name, int line_number) {
    const std::string user(name);
    user_named = true;
    if (geteuid() != 0) {
        target.reset();
        logd(kestivane::log_debug, "Option user %s ignored: not running as root", user.c_str());
        return;
    }
    if (!look_up_user(user, line_number)) {
        if (line_number > 0) errx(1, "Unknown user %s. Line: %d", user.c_str(), line_number);
        errx(1, "Unknown user %s", user.c_str());
    }
    logd(kestivane::log_debug, "Option user set to: %s", user.c_str());
}

void settle_run_as_user() {
    if (user_named || geteuid() != 0) return;
    // Said at the drop, where the relay goes on as root for good.
    staying_root = !look_up_user(packaged_user, 0);
}

void set_sandbox(std::string_view value, int line_number) {
    if (value == "on") sandbox_on = true;
    else if (value == "off") sandbox_on = false;
    else errx(1, "Wrong sandbox value (on or off). Line: %d", line_number);
    logd(kestivane::log_debug, "Option sandbox set to: %s", sandbox_on ? "on" : "off");
}

void add_sandbox_calls(std::string_view names, int line_number) {
    while (true) {
        const std::size_t comma = names.find(',');
        const std::string name(names.substr(0, comma));
        if (name.empty() || !kestivane::platform::sandbox_call_known(name.c_str()))
            errx(1, "Unknown system call %s. Line: %d", name.c_str(), line_number);
        sandbox_extra_calls.push_back(name);
        logd(kestivane::log_debug, "Option sandbox_allow added: %s", name.c_str());
        if (comma == std::string_view::npos) break;
        names.remove_prefix(comma + 1);
    }
}

void drop_privileges() {
    // The bounding set first: shrinking it needs CAP_SETPCAP, which a
    // switch away from root takes. A relay started with capabilities of its
    // own (as the service unit starts it) lacks it and keeps the bounding
    // set it was given: with no-new-privileges and no other set, nothing
    // can use it.
    bool bounding_cleared = false;
    if (const char *failed = kestivane::platform::bounding_set_clear(bounding_cleared); failed != nullptr)
        process_error(1, "Can't drop privileges: %s: %s", failed, std::strerror(errno));
    if (target.has_value()) switch_user(*target);
    if (staying_root)
        logd(kestivane::log_warning, "Running as root: no user named and no user %s exists", packaged_user);
    if (const char *failed = kestivane::platform::privileges_clear(); failed != nullptr)
        process_error(1, "Can't drop privileges: %s: %s", failed, std::strerror(errno));
    if (sandbox_on) install_sandbox();
    check_every_thread(bounding_cleared);
}

std::string confine_opener() {
    // CAP_NET_BIND_SERVICE (10) for the server ports, CAP_NET_RAW (13) for
    // packet sockets.
    constexpr uint64_t kept = (uint64_t{1} << 10) | (uint64_t{1} << 13);
    bool bounding_narrowed = false;
    if (const char *failed = kestivane::platform::begin_keeping_capabilities(kept, bounding_narrowed))
        return std::string(failed) + ": " + std::strerror(errno);
    if (target.has_value()) {
        if (const auto failed = change_user(*target))
            return failed->has_errno ? failed->step + ": " + std::strerror(errno) : failed->step;
    }
    if (const char *failed = kestivane::platform::capabilities_keep_only(kept))
        return std::string(failed) + ": " + std::strerror(errno);
    // The opener's own thread, as the kernel reports it.
    std::vector<kestivane::platform::thread_privileges> threads;
    if (!kestivane::platform::read_thread_privileges(threads))
        return std::string("/proc/self/task: ") + std::strerror(errno);
    const long self = getpid();
    for (const auto &t : threads) {
        if (t.tid != self) continue;
        if (target.has_value()) {
            for (unsigned long id : t.uid)
                if (id != target->uid) return "another user kept";
            for (unsigned long id : t.gid)
                if (id != target->gid) return "another group kept";
        }
        if ((t.cap_eff & ~kept) != 0 || (t.cap_prm & ~kept) != 0 || t.cap_inh != 0 || t.cap_amb != 0)
            return "a capability beyond the two kept";
        if (bounding_narrowed && (t.cap_bnd & ~kept) != 0) return "a bounding capability beyond the two kept";
        if (t.no_new_privs != 1) return "the right to gain privileges kept";
        return {};
    }
    return "its own thread not found in /proc/self/task";
}
