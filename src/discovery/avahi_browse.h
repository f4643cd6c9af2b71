// Browsing for eSCL scanners through the Avahi daemon, for a bounded time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scanner_entry.h"

namespace bbescl::discovery {

struct BrowseResult {
  bool daemon_running = false;  // false: nothing could be asked, at once
  std::vector<ResolvedService> services;  // IPv4 addresses before IPv6 ones
};

// Browses _uscan._tcp and _uscans._tcp on every interface and resolves
// each instance, for at most `millis` milliseconds (less once the daemon
// has said all it knows and every instance is resolved).  With `instance`,
// only that instance is looked for, and its resolution over TLS ends the
// browsing, or its plain one once the daemon has said all it knows.
BrowseResult browse(int millis, std::string_view instance = {});

}  // namespace bbescl::discovery
