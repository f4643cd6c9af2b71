// Device URIs as a host names a scanner: "http://HOST[:PORT][/...]", or
// "https://..." for a device that speaks eSCL over TLS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvchan {

inline constexpr uint16_t kDefaultHttpPort = 80;
inline constexpr uint16_t kDefaultHttpsPort = 443;

// Where a device listens.  `host` is a host name, an IPv4 address or an
// IPv6 address without its brackets (a zone, if any, as "%zone"), ready
// for getaddrinfo.
struct DeviceAddress {
  std::string host;
  uint16_t port = kDefaultHttpPort;
  bool tls = false;  // https: every connection starts with a TLS handshake
};

struct UriParse {
  bool ok = false;
  DeviceAddress address;
  std::string error;  // why the URI was refused
};

// Reads the scheme and authority of a device URI.  Whatever follows the
// authority (a path such as "/eSCL", a query or a fragment) is ignored:
// every request the plug-in writes carries its own absolute path.
UriParse parse_device_uri(std::string_view uri);

}  // namespace kvchan
