// Runs the built executable as an operator would and collects what it says:
// its exit status, standard output and standard error. Shared by the tests
// that judge the relay from outside (start-up, configuration file).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char **environ;

namespace relay_run {

inline const std::string binary = KESTIVANE_BINARY;

struct Outcome {
    int status = -1; // exit status; -1 when killed or not run
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A temporary file for one stream of one run, removed when done.
struct TempFile {
    std::string path;
    int fd = -1;
    TempFile() {
        std::string pattern = "/tmp/kestivane-startup-" + std::to_string(getpid()) + "-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = mkstemp(name.data());
        path = name.data();
    }
    ~TempFile() {
        if (fd >= 0) close(fd);
        unlink(path.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

// Runs the executable with argv0 as its name and the given arguments, in the
// C locale so that the option parser's diagnostics are the known ones.
inline Outcome run_as(const std::string &argv0, const std::vector<std::string> &args) {
    TempFile out, err;
    Outcome outcome;
    if (out.fd < 0 || err.fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return outcome;
    }

    std::vector<std::string> words{argv0};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_words;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::string_view(*e).substr(0, 3) != "LC_" && std::string_view(*e).substr(0, 5) != "LANG=")
            env_words.emplace_back(*e);
    env_words.emplace_back("LC_ALL=C");
    std::vector<char *> envp;
    for (std::string &w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd, STDERR_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn " << binary << ": " << std::strerror(rc);
        return outcome;
    }

    // Every one of these runs ends at once; one that does not has started
    // relaying or detached, which is a failure in itself.
    int wstatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = waitpid(pid, &wstatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        ADD_FAILURE() << "still running after 10 s, killed";
    } else if (WIFEXITED(wstatus)) {
        outcome.status = WEXITSTATUS(wstatus);
    } else {
        ADD_FAILURE() << "ended by signal " << (WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0);
    }
    outcome.out = slurp(out.path);
    outcome.err = slurp(err.path);
    return outcome;
}

} // namespace relay_run
