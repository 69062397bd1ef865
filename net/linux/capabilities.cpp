// Giving up capabilities, in every thread. The kernel keeps capability sets
// and no-new-privileges per thread and lets a thread change only its own, so
// the other threads (a plug-in's init may have started some) are each asked
// by a signal to run the same step on themselves, and the caller waits for
// every answer. The system calls are used directly rather than through
// libcap: clearing every set needs nothing of libcap's text forms.
#include <dirent.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "net/platform.h"

namespace kestivane::platform {

namespace {

// One step a thread runs on itself: nullptr, or the failed call with errno set.
using thread_step = const char *(*)();

// A real-time signal, so that a plug-in's use of the classic ones cannot
// meet it; its earlier disposition is put back once every thread answered.
int step_signal() { return SIGRTMAX; }

// How long the other threads get to answer: a thread that blocks the signal
// never does, and the relay must not go on believing it gave up what that
// thread still holds.
constexpr long answer_wait_ms = 2000;
// Rounds of listing the threads: a thread started while the others were
// being asked is found by the next round.
constexpr int listing_rounds = 8;
constexpr std::size_t max_threads = 1024;

enum : int { waiting = 0, done = 1, failed = 2 };

// Written by the caller before it signals, read and answered by the handler:
// lock-free atomics only, as a signal handler may use nothing else.
struct thread_slot {
    std::atomic<long> tid{0};
    std::atomic<int> state{waiting};
    std::atomic<const char *> failed_call{nullptr};
    std::atomic<int> error{0};
};
thread_slot slots[max_threads];
std::atomic<std::size_t> slot_count{0};
std::atomic<thread_step> current_step{nullptr};

long own_tid() { return syscall(SYS_gettid); }

void answer_step(int) {
    const int saved_errno = errno;
    const long self = own_tid();
    const std::size_t count = slot_count.load();
    for (std::size_t i = 0; i < count; ++i) {
        thread_slot &slot = slots[i];
        if (slot.tid.load() != self || slot.state.load() != waiting) continue;
        const char *failed_call = current_step.load()();
        if (failed_call != nullptr) {
            slot.failed_call.store(failed_call);
            slot.error.store(errno);
            slot.state.store(failed);
        } else {
            slot.state.store(done);
        }
        break;
    }
    errno = saved_errno;
}

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

// The kernel ids of the process's threads, in directory order.
bool list_threads(std::vector<long> &tids) {
    std::unique_ptr<DIR, dir_closer> dir(opendir("/proc/self/task"));
    if (!dir) return false;
    tids.clear();
    errno = 0;
    while (const struct dirent *entry = readdir(dir.get())) {
        char *end = nullptr;
        long tid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && tid > 0) tids.push_back(tid);
    }
    return errno == 0;
}

bool slot_taken(long tid, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (slots[i].tid.load() == tid) return true;
    return false;
}

// Waits for slots [first, count) to answer; the first failure reported wins.
const char *await_answers(std::size_t first, std::size_t count) {
    const struct timespec pause{0, 1000000};
    for (long waited = 0;; ++waited) {
        bool all = true;
        for (std::size_t i = first; i < count; ++i) {
            const int state = slots[i].state.load();
            if (state == failed) {
                errno = slots[i].error.load();
                return slots[i].failed_call.load();
            }
            if (state == waiting) all = false;
        }
        if (all) return nullptr;
        if (waited >= answer_wait_ms) {
            // The thread blocks the signal or never runs.
            errno = ETIMEDOUT;
            return "a thread that did not answer";
        }
        nanosleep(&pause, nullptr);
    }
}

// Asks every other thread to answer one round; nullptr once every thread
// the last listing found has run the step.
const char *ask_other_threads() {
    const pid_t pid = getpid();
    const long self = own_tid();
    std::vector<long> tids;
    for (int round = 0; round < listing_rounds; ++round) {
        if (!list_threads(tids)) return "/proc/self/task";
        const std::size_t first = slot_count.load();
        std::size_t count = first;
        for (long tid : tids) {
            if (tid == self || slot_taken(tid, count)) continue;
            if (count == max_threads) {
                errno = E2BIG;
                return "too many threads";
            }
            thread_slot &slot = slots[count++];
            slot.failed_call.store(nullptr);
            slot.error.store(0);
            slot.state.store(waiting);
            slot.tid.store(tid);
        }
        slot_count.store(count);
        if (count == first) return nullptr;
        for (std::size_t i = first; i < count; ++i) {
            if (syscall(SYS_tgkill, pid, slots[i].tid.load(), step_signal()) == 0) continue;
            if (errno != ESRCH) return "tgkill";
            slots[i].state.store(done); // the thread has ended meanwhile
        }
        if (const char *failed_call = await_answers(first, count); failed_call != nullptr) return failed_call;
    }
    errno = EAGAIN; // threads keep starting threads
    return "threads that keep starting";
}

const char *on_every_thread(thread_step step) {
    if (const char *failed_call = step(); failed_call != nullptr) return failed_call;
    current_step.store(step);
    slot_count.store(0);
    struct sigaction action{};
    struct sigaction earlier{};
    action.sa_handler = answer_step;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a thread's blocking call goes on unharmed
    if (sigaction(step_signal(), &action, &earlier) != 0) return "sigaction";
    const char *failed_call = ask_other_threads();
    const int error = errno;
    sigaction(step_signal(), &earlier, nullptr);
    errno = error;
    return failed_call;
}

const char *drop_bounding_set() {
    // Every capability the kernel knows: it answers EINVAL past the last.
    for (unsigned long cap = 0; cap < 64; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0) continue;
        if (errno == EINVAL) break;
        return "prctl(PR_CAPBSET_DROP)";
    }
    return nullptr;
}

const char *clear_own_privileges() {
    // The ambient set first: a process not allowed to change it by capset
    // would otherwise keep it until the permitted set is emptied.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return "prctl(PR_CAP_AMBIENT_CLEAR_ALL)";
    struct __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    // Version 3 carries 64 capability bits in two words: all zero.
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capset, &header, data) != 0) return "capset";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "prctl(PR_SET_NO_NEW_PRIVS)";
    return nullptr;
}

bool may_drop_bounding_set() {
    struct __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_SETPCAP)].effective & CAP_TO_MASK(CAP_SETPCAP)) != 0;
}

uint64_t permitted_now() {
    struct __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return 0;
    return uint64_t{data[0].permitted} | (uint64_t{data[1].permitted} << 32);
}

// "Uid:\t0\t0\t0\t0" and its kin: up to four numbers after the colon.
void read_ids(const char *text, unsigned long ids[4]) {
    for (int i = 0; i < 4; ++i) {
        char *end = nullptr;
        ids[i] = std::strtoul(text, &end, 10);
        if (end == text) break;
        text = end;
    }
}

bool read_status(long tid, thread_privileges &out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/status", tid);
    std::unique_ptr<FILE, file_closer> file(std::fopen(path, "re"));
    if (!file) return false;
    out.tid = tid;
    char line[256];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        char *colon = std::strchr(line, ':');
        if (colon == nullptr) continue;
        *colon = '\0';
        const char *value = colon + 1;
        const std::string key(line);
        if (key == "Uid") read_ids(value, out.uid);
        else if (key == "Gid") read_ids(value, out.gid);
        else if (key == "CapInh") out.cap_inh = std::strtoull(value, nullptr, 16);
        else if (key == "CapPrm") out.cap_prm = std::strtoull(value, nullptr, 16);
        else if (key == "CapEff") out.cap_eff = std::strtoull(value, nullptr, 16);
        else if (key == "CapBnd") out.cap_bnd = std::strtoull(value, nullptr, 16);
        else if (key == "CapAmb") out.cap_amb = std::strtoull(value, nullptr, 16);
        else if (key == "NoNewPrivs") out.no_new_privs = std::atoi(value);
        else if (key == "Seccomp") out.seccomp = std::atoi(value);
    }
    return true;
}

} // namespace

const char *bounding_set_clear(bool &cleared) {
    cleared = false;
    if (!may_drop_bounding_set()) return nullptr;
    if (const char *failed_call = on_every_thread(drop_bounding_set); failed_call != nullptr) return failed_call;
    cleared = true;
    return nullptr;
}

const char *privileges_clear() { return on_every_thread(clear_own_privileges); }

namespace {

// The capabilities the keeping steps keep; set before they run on every thread.
std::atomic<uint64_t> kept_capabilities{0};

const char *narrow_bounding_set() {
    const uint64_t keep = kept_capabilities.load();
    for (unsigned long cap = 0; cap < 64; ++cap) {
        if ((keep >> cap) & 1) continue;
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0) continue;
        if (errno == EINVAL) break;
        return "prctl(PR_CAPBSET_DROP)";
    }
    return nullptr;
}

const char *keep_capabilities_over_user_switch() {
    // A switch away from root would otherwise empty the permitted set.
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return "prctl(PR_SET_KEEPCAPS)";
    return nullptr;
}

const char *keep_only_own() {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return "prctl(PR_CAP_AMBIENT_CLEAR_ALL)";
    // Only what the thread has can be kept: a capset asking for more fails.
    const uint64_t kept = kept_capabilities.load() & permitted_now();
    struct __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int word = 0; word < 2; ++word) {
        const auto bits = static_cast<uint32_t>(kept >> (32 * word));
        data[word].effective = bits;
        data[word].permitted = bits;
    }
    if (syscall(SYS_capset, &header, data) != 0) return "capset";
    if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) return "prctl(PR_SET_KEEPCAPS)";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "prctl(PR_SET_NO_NEW_PRIVS)";
    return nullptr;
}

} // namespace

// The calling thread alone: the opener and its check child run one thread
// of their own. (A sanitizer build's runtime starts one more in a forked
// child, which blocks every signal and could never be asked.)
const char *begin_keeping_capabilities(uint64_t keep, bool &bounding_narrowed) {
    kept_capabilities.store(keep);
    bounding_narrowed = false;
    if (may_drop_bounding_set()) {
        if (const char *failed_call = narrow_bounding_set(); failed_call != nullptr) return failed_call;
        bounding_narrowed = true;
    }
    return keep_capabilities_over_user_switch();
}

const char *capabilities_keep_only(uint64_t keep) {
    kept_capabilities.store(keep);
    return keep_only_own();
}

const char *own_privileges_clear() { return clear_own_privileges(); }

bool read_thread_privileges(std::vector<thread_privileges> &threads) {
    std::vector<long> tids;
    if (!list_threads(tids)) return false;
    threads.clear();
    for (long tid : tids) {
        thread_privileges one;
        if (read_status(tid, one)) threads.push_back(one);
        else if (errno != ENOENT && errno != ESRCH) return false;
    }
    return true;
}

} // namespace kestivane::platform
