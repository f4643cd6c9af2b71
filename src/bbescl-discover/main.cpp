// bbescl-discover: lists the eSCL scanners DNS-SD finds on the local
// network as lines ready for bbescl.conf.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avahi_browse.h"
#include "scanner_entry.h"
#include "scanner_list.h"

namespace {

constexpr int kDefaultSeconds = 3;
constexpr int kLongestSeconds = 600;

const char kUsage[] = R"(Usage: bbescl-discover [--time SECONDS]
Browses the local network for eSCL scanners (DNS-SD services _uscan._tcp
and, over TLS, _uscans._tcp, through the Avahi daemon) for a few seconds and
prints each one found as a line for bbescl.conf, after a comment with its
make, model and URL:

  # Brother MFC-L2710DW series, multi-function peripheral, http://192.168.1.20:80/eSCL
  "Brother MFC-L2710DW series" = http://192.168.1.20:80/eSCL

A scanner announced over several addresses or interfaces, or both plain and
over TLS, is printed once, with an https URL when it offers TLS.  Scanners
whose eSCL root is not /eSCL are named on standard error.

  --time SECONDS   how long to browse (default 3, at most 600)
  --help           show this text

Exit status: 0 when browsing ran (whether or not a scanner was found),
1 when no Avahi daemon answers, 2 for bad arguments.
)";

bool parse_seconds(const char *text, int &seconds) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 1 || value > kLongestSeconds) return false;
  seconds = static_cast<int>(value);
  return true;
}

// The name between quotes in bbescl.conf cannot hold a quote.
std::string quotable(std::string name) {
  for (char &c : name)
    if (c == '"') c = '\'';
  return name;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = kDefaultSeconds;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--time") && i + 1 < argc && parse_seconds(argv[i + 1], seconds)) {
      ++i;
      continue;
    }
    std::fprintf(stderr, "bbescl-discover: bad argument %s\nTry 'bbescl-discover --help'.\n", argv[i]);
    return 2;
  }

  const bbescl::discovery::BrowseResult found = bbescl::discovery::browse(seconds * 1000);
  if (!found.daemon_running) {
    std::fputs("bbescl-discover: no Avahi daemon answers (is avahi-daemon running?)\n", stderr);
    return 1;
  }
  std::vector<bbescl::discovery::ScannerEntry> scanners;
  for (const bbescl::discovery::ResolvedService &service : found.services) {
    bbescl::discovery::ScannerEntry entry;
    std::string why;
    if (bbescl::discovery::entry_from_service(service, entry, why))
      bbescl::discovery::add_scanner(scanners, std::move(entry));
    else
      std::fprintf(stderr, "bbescl-discover: %s at %s port %u skipped: %s\n", service.instance.c_str(),
                   service.address.c_str(), static_cast<unsigned>(service.port), why.c_str());
  }
  for (const bbescl::discovery::ScannerEntry &s : scanners)
    std::printf("# %s %s, %s, %s\n\"%s\" = %s\n", s.vendor.c_str(), s.model.c_str(), s.type.c_str(), s.url.c_str(),
                quotable(s.instance).c_str(), s.url.c_str());
  if (scanners.empty()) std::fprintf(stderr, "bbescl-discover: no eSCL scanner found in %d s\n", seconds);
  return 0;
}
