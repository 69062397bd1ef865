// What both seccomp filters (the relay's and the opener's) build on: a
// libseccomp context released on every return, and libseccomp's negative
// errno turned into errno and the name of the call that failed.
#pragma once

#include <seccomp.h>

#include <cerrno>
#include <memory>

namespace kestivane::platform {

struct seccomp_releaser {
    void operator()(void *ctx) const { seccomp_release(ctx); }
};

using seccomp_filter = std::unique_ptr<void, seccomp_releaser>;

inline const char *seccomp_failed(const char *call, int rc) {
    errno = -rc;
    return call;
}

} // namespace kestivane::platform
