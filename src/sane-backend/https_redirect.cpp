#include "https_redirect.h"

#include "device_request.h"
#include "kvchan.h"
#include "text.h"

namespace bbescl {

namespace {

// A redirect's head is short; nothing past it is needed.
constexpr size_t kMostRead = 8 * 1024;
// Room for any host a device URI may name (a DNS name is at most 253 bytes).
constexpr size_t kMaxUriHost = 512;

bool is_redirect(std::string_view status_line) {
  if (status_line.size() < 12 || (status_line.substr(0, 9) != "HTTP/1.1 " && status_line.substr(0, 9) != "HTTP/1.0 "))
    return false;
  const std::string_view code = status_line.substr(9, 3);
  if (status_line.size() > 12 && status_line[12] != ' ') return false;
  return code == "301" || code == "302" || code == "307" || code == "308";
}

// A device URI as the channel library reads it.
struct UriAddress {
  bool ok = false;
  bool tls = false;
  std::string host;
};

UriAddress address_of(const std::string &uri) {
  UriAddress address;
  char host[kMaxUriHost] = {};
  int tls = 0;
  if (kvchan_parse_uri(uri.c_str(), host, sizeof host, nullptr, &tls) != KVCHAN_OK) return address;
  address.ok = true;
  address.tls = tls != 0;
  address.host = host;
  return address;
}

// The value of header `name` in the head; empty when it is absent.
std::string_view header_value(std::string_view head, std::string_view name) {
  while (!head.empty()) {
    const size_t end = head.find('\n');
    const std::string_view line = head.substr(0, end);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && same_text(line.substr(0, colon), name)) return trim(line.substr(colon + 1));
    if (end == std::string_view::npos) break;
    head.remove_prefix(end + 1);
  }
  return {};
}

}  // namespace

std::string https_redirect_target(std::string_view answer, std::string_view uri) {
  const size_t head_end = answer.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return {};
  const std::string_view head = answer.substr(0, head_end + 2);
  const size_t first_line_end = head.find("\r\n");
  if (!is_redirect(head.substr(0, first_line_end))) return {};
  const std::string_view location = header_value(head.substr(first_line_end + 2), "Location");
  if (location.size() < 8 || !same_text(location.substr(0, 8), "https://")) return {};
  const std::string target = "https://" + std::string(authority_of(location)) + "/";

  const UriAddress from = address_of(std::string(uri));
  const UriAddress to = address_of(target);
  if (!from.ok || from.tls || !to.ok || !to.tls) return {};
  // Only to the same host: a device must not send its user's scans, or
  // the trust given to a key, elsewhere.
  if (!same_text(from.host, to.host)) return {};
  return target;
}

std::string ask_https_redirect(const std::string &uri, std::chrono::steady_clock::time_point deadline) {
  const UriAddress parsed = address_of(uri);
  if (!parsed.ok || parsed.tls) return {};
  const std::string answer = device_get(uri, "/eSCL/ScannerCapabilities", "\r\n\r\n", kMostRead, deadline);
  return https_redirect_target(answer, uri);
}

}  // namespace bbescl
