// One entry per scanner: a device announced over IPv4 and IPv6, on several
// interfaces, under several names or also configured is listed once.
#pragma once

#include <vector>

#include "scanner_entry.h"

namespace bbescl::discovery {

// Adds `entry` unless the list has the same device already: the same UUID
// when both have one, else the same host and port, or the same instance
// name on the same host announced both plain and over TLS (two ports).  The first entry stays (configured
// devices are added first, and stay as configured), except that a
// discovered device is reached the best way it was seen: over TLS rather
// than plain, then over IPv4 rather than IPv6.
void add_scanner(std::vector<ScannerEntry> &list, ScannerEntry entry);

}  // namespace bbescl::discovery
