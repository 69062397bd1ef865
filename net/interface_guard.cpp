// The interface record lock. It prefers the writer: under a flood the
// readers overlap without pause, and a lock that let them keep it would
// leave a reopening waiting for as long as the flood lasts.
#include "net/interface_guard.h"

#include <pthread.h>

namespace kestivane {

namespace {

// Initialised in place: a lock object must not be copied.
struct writer_first_lock {
    pthread_rwlock_t lock;
    writer_first_lock() {
        pthread_rwlockattr_t attributes;
        pthread_rwlockattr_init(&attributes);
        pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock, &attributes);
        pthread_rwlockattr_destroy(&attributes);
    }
};

writer_first_lock record;

} // namespace

interface_reader::interface_reader() { pthread_rwlock_rdlock(&record.lock); }
interface_reader::~interface_reader() { pthread_rwlock_unlock(&record.lock); }
interface_writer::interface_writer() { pthread_rwlock_wrlock(&record.lock); }
interface_writer::~interface_writer() { pthread_rwlock_unlock(&record.lock); }

} // namespace kestivane
