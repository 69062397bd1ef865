// The privilege drop. Every lookup that needs the user database happens
// while the configuration is read, with standard error still attached, so
// that the drop itself only makes system calls and cannot half succeed on a
// name service failure.
#include "core/privileges.h"

#include <err.h>
#include <grp.h>
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

} // namespace

void set_run_as_user(std::string_view name, int line_number) {
    const std::string user(name);
    if (geteuid() != 0) {
        logd(kestivane::log_debug, "Option user %s ignored: not running as root", user.c_str());
        return;
    }
    errno = 0;
    const struct passwd *entry = getpwnam(user.c_str());
    if (entry == nullptr) {
        // getpwnam leaves errno at 0 (or ENOENT and kin) for a name that is
        // simply absent; anything else is the user database failing.
        if (errno == 0 || errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM)
            errx(1, "Unknown user %s. Line: %d", user.c_str(), line_number);
        errx(1, "Can't look up user %s: %s. Line: %d", user.c_str(), std::strerror(errno), line_number);
    }
    TargetUser found{user, entry->pw_uid, entry->pw_gid, {}};
    found.groups = groups_of(user.c_str(), found.gid);
    target = std::move(found);
    logd(kestivane::log_debug, "Option user set to: %s", user.c_str());
}

void drop_privileges() {
    if (target.has_value()) {
        const TargetUser &user = *target;
        // Groups before the group, the group before the user: once the user
        // is switched, the right to change groups is gone.
        if (setgroups(user.groups.size(), user.groups.data()) != 0)
            process_error(1, "Can't drop privileges: setgroups: %s", std::strerror(errno));
        if (setgid(user.gid) != 0)
            process_error(1, "Can't drop privileges: setgid(%lu): %s", static_cast<unsigned long>(user.gid),
                          std::strerror(errno));
        if (setuid(user.uid) != 0)
            process_error(1, "Can't drop privileges: setuid(%lu): %s", static_cast<unsigned long>(user.uid),
                          std::strerror(errno));
        // A switch that left a way back to root is no switch at all.
        if (user.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0))
            process_error(1, "Can't drop privileges: root regained after setuid(%lu)",
                          static_cast<unsigned long>(user.uid));
        logd(kestivane::log_debug, "Running as user %s", user.name.c_str());
    }
    if (const char *failed = kestivane::platform::capabilities_clear(); failed != nullptr)
        process_error(1, "Can't drop privileges: %s: %s", failed, std::strerror(errno));
    if (kestivane::platform::no_new_privileges_set() != 0)
        process_error(1, "Can't drop privileges: prctl(PR_SET_NO_NEW_PRIVS): %s", std::strerror(errno));
}
