// What DNS-SD says about an eSCL scanner, and the device entry made of it:
// the URL to reach it, the names people recognise and the kind of device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bbescl::discovery {

inline constexpr const char *kServiceType = "_uscan._tcp";
inline constexpr const char *kTlsServiceType = "_uscans._tcp";

// One resolved service instance, as the daemon reports it.
struct ResolvedService {
  std::string instance;         // the instance name, e.g. "Brother MFC-L2710DW series"
  std::string interface;        // the interface it was seen on, e.g. "eth0"
  std::string address;          // an IPv4 or IPv6 address, no brackets, no zone
  uint16_t port = 0;
  std::vector<std::string> txt; // the TXT record's "key=value" strings
  bool tls = false;             // announced as _uscans._tcp
};

// A scanner as the backend lists it, discovered or configured.
struct ScannerEntry {
  std::string instance;  // DNS-SD instance; empty for a configured device
  std::string name;      // the configured name, if any
  std::string url;
  std::string vendor;
  std::string model;
  std::string type;      // SANE's words: "flatbed scanner", ...
  std::string uuid;      // from the TXT record, lower case, no "urn:uuid:"
  std::string endpoint;  // "host:port", host in lower case: the same device seen twice
  bool ipv6 = false;
  bool tls = false;      // reached over https (announced as _uscans._tcp)
};

// The value of TXT key `key` (keys compare without case); empty when absent.
std::string_view txt_value(const std::vector<std::string> &txt, std::string_view key);

// "http://ADDRESS:PORT/ROOT" ("https://" with `tls`), IPv6 in brackets and
// a link-local address with its zone as RFC 6874 writes it
// ("[fe80::1%25eth0]").
std::string device_url(std::string_view address, std::string_view interface, uint16_t port,
                       std::string_view root, bool tls = false);

// "Brother MFC-L2710DW series" → "Brother", "MFC-L2710DW series".
void split_make_and_model(std::string_view make_and_model, std::string &vendor, std::string &model);

// The type SANE frontends show, from the input sources a TXT `is` lists.
std::string device_type(std::string_view input_sources);

// The entry of a resolved service (https for _uscans._tcp); false with the
// reason when it cannot be listed (an eSCL root elsewhere than /eSCL).
bool entry_from_service(const ResolvedService &service, ScannerEntry &entry, std::string &why_not);

// "host:port" of a device URL, for matching; empty when the URL is unreadable.
std::string endpoint_of(std::string_view url);

}  // namespace bbescl::discovery
