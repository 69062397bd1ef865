// The metrics in the Prometheus text format, as node_exporter's textfile
// collector reads them.
#pragma once

#include <string>
#include <vector>

#include "metrics/snapshot.h"

namespace kestivane::metrics {

struct exposition_extras {
    double start_time = 0;            // seconds since the epoch
    const char *version = "";
    std::vector<int32_t> alarmed;     // interface indexes whose alarm is raised
    std::vector<std::string> alarmed6; // DHCPv6 lower interfaces whose alarm is raised
};

std::string format_exposition(const snapshot &shot, const exposition_extras &extras);

// A label value with backslash, double quote and line end escaped.
std::string escape_label(std::string_view value);

} // namespace kestivane::metrics
