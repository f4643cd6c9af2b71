#include "scanner_list.h"

namespace bbescl::discovery {

namespace {

bool same_device(const ScannerEntry &a, const ScannerEntry &b) {
  if (!a.uuid.empty() && !b.uuid.empty()) return a.uuid == b.uuid;
  return !a.endpoint.empty() && a.endpoint == b.endpoint;
}

}  // namespace

void add_scanner(std::vector<ScannerEntry> &list, ScannerEntry entry) {
  for (ScannerEntry &known : list) {
    if (!same_device(known, entry)) continue;
    if (!known.instance.empty() && known.ipv6 && !entry.ipv6 && known.instance == entry.instance) {
      known.url = std::move(entry.url);
      known.endpoint = std::move(entry.endpoint);
      known.ipv6 = false;
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
