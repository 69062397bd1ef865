// The request queue's consumer and the forwarding of requests to servers.
#include "net/forward.h"

#include <cstdlib>

#include "core/settings.h"

extern "C" void process_queue(struct queue_item *item) { std::free(item); }

void consume_queue() {
    for (;;) {
        pthread_mutex_lock(&queue_lock);
        while (queue_size == 0) pthread_cond_wait(&queue_cond, &queue_lock);
        struct queue_item *item = STAILQ_FIRST(&q_head);
        STAILQ_REMOVE_HEAD(&q_head, next);
        --queue_size;
        pthread_mutex_unlock(&queue_lock);
        process_queue(item);
    }
}
