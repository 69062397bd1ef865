// The counters as log lines, for the dump an operator asks for with SIGUSR1.
#pragma once

#include <string>
#include <vector>

#include "metrics/snapshot.h"

namespace kestivane::metrics {

// One line per interface and one for the queue, then, with DHCPv6, one per
// v6 lower interface and one for the v6 server socket; each naming only the
// counters that are not zero ("all zero" when none is), as name=value or
// name{label}=value with the metrics file's names less their prefix. A line
// that would outgrow the log's line length goes on in another line with the
// same head.
std::vector<std::string> dump_lines(const snapshot &shot);

} // namespace kestivane::metrics
