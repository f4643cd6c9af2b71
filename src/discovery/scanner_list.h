// One entry per scanner: a device announced over IPv4 and IPv6, on several
// interfaces, under several names or also configured is listed once.
#pragma once

#include <vector>

#include "scanner_entry.h"

namespace bbescl::discovery {

// Adds `entry` unless the list has the same device already: the same UUID
// when both have one, else the same host and port.  The first entry stays
// (configured devices are added first), except that a discovered device
// seen over IPv4 is reached over IPv4 rather than IPv6.
void add_scanner(std::vector<ScannerEntry> &list, ScannerEntry entry);

}  // namespace bbescl::discovery
