// The answer thread's pass and working state, apart from the thread itself so
// that answers can be driven through it one pass at a time.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>

#include <cstddef>
#include <cstdint>

#include "net/answer_backlog.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// The largest frame the relay builds: max_packet_size is at most 1500.
inline constexpr std::size_t frame_capacity = 1514;

// The thread's working state, reused from answer to answer.
struct answer_state {
    struct dhcp_packet answer;
    struct sockaddr_in from;
    struct frame_headers headers;
    int32_t len; // the answer's length through END, as last measured
    uint8_t frame[frame_capacity];
    // The sockets waited on, built at the first pass: the interface table
    // is complete before the thread starts and never changes. watch_limit
    // is the highest descriptor + 1, 0 until the set is built.
    fd_set watched;
    int watch_limit;
    // Told after each pass how far behind the thread is (none: nobody
    // listens).
    answer_backlog *backlog;

    uint8_t *message() { return reinterpret_cast<uint8_t *>(&answer); }
    uint8_t *header_bytes() { return reinterpret_cast<uint8_t *>(&headers); }
};

// One pass of the answer thread: wait on every interface's socket, then
// read each ready socket in table order, up to 32 answers or until it is
// empty, deliver the acceptable ones, and tell the backlog how far behind
// the thread is.
void answer_pass(answer_state &s);

} // namespace kestivane
