#include "scanner_list.h"

namespace bbescl::discovery {

namespace {

// "host:port" → "host".
std::string_view host_of(std::string_view endpoint) { return endpoint.substr(0, endpoint.rfind(':')); }

bool same_device(const ScannerEntry &a, const ScannerEntry &b) {
  if (!a.uuid.empty() && !b.uuid.empty()) return a.uuid == b.uuid;
  if (a.endpoint.empty() || b.endpoint.empty()) return false;
  if (a.endpoint == b.endpoint) return true;
  // An instance name is unique within its service type only: the same
  // name under _uscan and _uscans on one host is one device.
  return a.tls != b.tls && !a.instance.empty() && a.instance == b.instance &&
         host_of(a.endpoint) == host_of(b.endpoint);
}

// Lower is better: TLS first, then IPv4.
int rank(const ScannerEntry &e) { return (e.tls ? 0 : 2) + (e.ipv6 ? 1 : 0); }

}  // namespace

void add_scanner(std::vector<ScannerEntry> &list, ScannerEntry entry) {
  for (ScannerEntry &known : list) {
    if (!same_device(known, entry)) continue;
    if (!known.instance.empty() && !entry.instance.empty() && rank(entry) < rank(known) &&
        (known.instance == entry.instance || entry.tls != known.tls)) {
      known.url = std::move(entry.url);
      known.endpoint = std::move(entry.endpoint);
      known.ipv6 = entry.ipv6;
      known.tls = entry.tls;
    }
    // A configured device learns what the announcement says of it.
    if (known.uuid.empty()) known.uuid = entry.uuid;
    if (known.instance.empty() && known.vendor.empty()) {
      known.vendor = entry.vendor;
      known.model = entry.model;
      known.type = entry.type;
    }
    return;
  }
  list.push_back(std::move(entry));
}

}  // namespace bbescl::discovery
