// Every metric family the relay shows, for both families of DHCP, described
// once (metrics/families.cpp): its name, type and help in the metrics file,
// whether the SIGUSR1 dump names it, and which reading of the snapshot it
// shows. The metrics file and the dump are two walks over the readings, so
// a family or a reason added to the description appears in both, in the
// same order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "metrics/snapshot.h"

namespace kestivane::metrics {

struct family {
    const char *name; // in the metrics file; the dump's name is this less "kestivane_" and "_total"
    const char *type; // "counter" or "gauge"
    const char *help;
    bool dumped; // named in the dump lines
    // For a family whose samples carry two labels (direction and type): the
    // head of the dump's table of it, a row per direction and a column per
    // type; the subject's name and ":" follow it. Null: no table.
    const char *table_head = nullptr;
};

// The dump's name of f.
std::string dump_name(const family &f);

// One sample of a family about one subject. label is "reason" or "server"
// for the families that have one sample per reason or per server, and null
// for the others.
struct reading {
    const char *label;
    std::string label_value;
    uint64_t value;
    // A second label, for the families by direction and type.
    const char *label2 = nullptr;
    const char *label2_value = nullptr;
};

// Families that speak of the same subjects, in the order they are shown:
// the DHCPv4 interfaces, the links (every interface, of either family or
// both: its state and its answer alarm), the request queue, the DHCPv6
// lower interfaces, the DHCPv6 server socket.
struct family_group {
    // The dump line's head; for a group of interfaces, the subject's name
    // and ": " follow it. Null for a group the dump leaves out.
    const char *dump_head;
    // "interface" for a group of interfaces, whose samples carry their
    // name; null for a group with one unnamed subject.
    const char *subject_label;
    std::vector<family> families;
    struct subject {
        std::string name;
        std::vector<std::vector<reading>> readings; // one list per family, in the order of families
    };
    std::vector<subject> subjects;
};

// The readings of every family that shot has (the DHCPv6 groups only when
// the relay serves DHCPv6). alarmed: the indexes of the DHCPv4 interfaces
// whose answer alarm is raised; alarmed6: the names of the DHCPv6 lower
// interfaces whose alarm is.
std::vector<family_group> read_families(const snapshot &shot, const std::vector<int32_t> &alarmed,
                                        const std::vector<std::string> &alarmed6 = {});

} // namespace kestivane::metrics
