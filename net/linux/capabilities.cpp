// Giving up capabilities. The sets are per thread, so this runs before the
// relay starts its threads. The system call is used directly rather than
// through libcap: clearing every set needs nothing of libcap's text forms.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "net/platform.h"

namespace kestivane::platform {

const char *capabilities_clear() {
    // The ambient set first: a process not allowed to change it by capset
    // would otherwise keep it until the permitted set is emptied.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return "prctl(PR_CAP_AMBIENT_CLEAR_ALL)";
    struct __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    // Version 3 carries 64 capability bits in two words: all zero.
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capset, &header, data) != 0) return "capset";
    return nullptr;
}

int no_new_privileges_set() { return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0); }

} // namespace kestivane::platform
