// The one lock that keeps an interface record steady while a packet path
// uses it. An interface that vanishes and comes back keeps its record, but
// its relay address and hardware address may change; the reopening thread
// writes them only while holding this lock exclusively, and the packet
// paths (a listener with one frame, the consumer with one request, the
// answer thread with one answer) hold it shared for as long as they and the
// hooks they call read the record. Descriptor numbers never change: a new
// socket takes the old one's number (dup2), so a path that read a number
// always writes to a live descriptor.
#pragma once

namespace kestivane {

// Held shared for one packet. Never taken twice by one thread (the lock
// prefers the writer, so a second shared hold could wait behind it).
class interface_reader {
public:
    interface_reader();
    ~interface_reader();
    interface_reader(const interface_reader &) = delete;
    interface_reader &operator=(const interface_reader &) = delete;
};

// Held exclusively while a record's fields are switched.
class interface_writer {
public:
    interface_writer();
    ~interface_writer();
    interface_writer(const interface_writer &) = delete;
    interface_writer &operator=(const interface_writer &) = delete;
};

} // namespace kestivane
