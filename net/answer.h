// The answer thread's pass and working state, apart from the thread itself so
// that answers can be driven through it one pass at a time.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "net/answer_backlog.h"
#include "plugins/kestivane_plugin.h"

namespace kestivane {

// The largest frame the relay builds: max_packet_size is at most 1500.
inline constexpr std::size_t frame_capacity = 1514;

// Answers read from one socket in one call, and before the next socket's
// turn.
inline constexpr int answers_per_read = 32;

// The datagrams of one read, each with its sender and length.
struct received_answers {
    struct mmsghdr headers[answers_per_read];
    struct iovec parts[answers_per_read];
    struct sockaddr_in from[answers_per_read];
    uint8_t bytes[answers_per_read][sizeof(struct dhcp_packet)];
    // The receive size the headers above were prepared for (0: not yet),
    // and the entries the last read filled.
    std::size_t prepared_room;
    int filled;
};

// The thread's working state, reused from answer to answer.
struct answer_state {
    struct dhcp_packet answer;
    struct sockaddr_in from;
    struct frame_headers headers;
    int32_t len; // the answer's length through END, as last measured
    uint8_t frame[frame_capacity];
    // The sockets waited on, built at the first pass and again whenever an
    // interface is opened or retired. watch_limit is the highest descriptor
    // + 1, 0 until the set is built.
    fd_set watched;
    int watch_limit;
    // The interfaces' sockets in the set (retired ones left out), then the
    // source addresses' (source: its number, else -1), and the interface
    // set's version they were taken at.
    struct watched_socket {
        int sock;
        int32_t idx;
        int32_t source;
    };
    watched_socket watched_sockets[2 * KESTIVANE_MAX_INTERFACES];
    int32_t watched_count;
    uint64_t watched_version;
    // Told after each pass how far behind the thread is (none: nobody
    // listens).
    answer_backlog *backlog;
    received_answers received;

    uint8_t *message() { return reinterpret_cast<uint8_t *>(&answer); }
    uint8_t *header_bytes() { return reinterpret_cast<uint8_t *>(&headers); }
};

// One pass of the answer thread: wait on every interface's socket, then
// read each ready socket in table order, up to 32 answers in one call, deliver the acceptable ones, and tell the backlog how far behind
// the thread is.
void answer_pass(answer_state &s);

} // namespace kestivane
