#include "metrics/stats_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestivane::metrics {

namespace {

std::string failure(const char *step, const std::string &path) {
    return std::string(step) + " " + path + ": " + std::strerror(errno);
}

// Closes and removes the temporary file unless it was renamed.
struct temporary {
    int fd = -1;
    std::string path;
    bool renamed = false;
    ~temporary() {
        if (fd >= 0) close(fd);
        if (!renamed && !path.empty()) unlink(path.c_str());
    }
};

} // namespace

bool replace_file(const std::string &path, std::string_view content, std::string &error) {
    // A leading dot and no .prom ending keep node_exporter's textfile
    // collector from reading the file before it is whole.
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');

    temporary tmp;
    tmp.fd = mkstemp(name.data());
    if (tmp.fd < 0) {
        error = failure("can't create a temporary file in", dir);
        return false;
    }
    tmp.path = name.data();
    // The collector runs as another user; the counters are no secret.
    if (fchmod(tmp.fd, 0644) != 0) {
        error = failure("can't set the mode of", tmp.path);
        return false;
    }
    const char *p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = write(tmp.fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = failure("can't write", tmp.path);
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    int fd = tmp.fd;
    tmp.fd = -1;
    // close reports the errors of a file system that writes late (NFS).
    if (close(fd) != 0) {
        error = failure("can't close", tmp.path);
        return false;
    }
    if (rename(tmp.path.c_str(), path.c_str()) != 0) {
        error = failure(("can't rename " + tmp.path + " to").c_str(), path);
        return false;
    }
    tmp.renamed = true;
    return true;
}

} // namespace kestivane::metrics
