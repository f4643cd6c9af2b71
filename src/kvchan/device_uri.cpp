#include "device_uri.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace kvchan {
namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kTlsScheme = "https://";
constexpr size_t kMaxUriLength = 2048;
constexpr size_t kMaxHostNameLength = 253;  // DNS limit for a full name
constexpr size_t kMaxPortDigits = 5;
// RFC 6874: a zone in a URI is written "%25" followed by the zone.
constexpr std::string_view kEncodedZone = "%25";

UriParse refuse(std::string error) {
  UriParse r;
  r.error = std::move(error);
  return r;
}

bool has_scheme(std::string_view uri, std::string_view scheme) {
  if (uri.size() < scheme.size()) return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(uri[i])) != scheme[i]) return false;
  }
  return true;
}

bool parse_port(std::string_view text, uint16_t &port) {
  if (text.empty() || text.size() > kMaxPortDigits) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool host_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// "[v6]" or "[v6%25zone]" without the brackets.
bool parse_ipv6_literal(std::string_view inside, std::string &host, std::string &error) {
  std::string_view address = inside;
  std::string_view zone;
  size_t percent = inside.find('%');
  if (percent != std::string_view::npos) {
    address = inside.substr(0, percent);
    std::string_view rest = inside.substr(percent);
    if (rest.size() <= kEncodedZone.size() || rest.substr(0, kEncodedZone.size()) != kEncodedZone) {
      error = "bad IPv6 zone (write it as %25zone)";
      return false;
    }
    zone = rest.substr(kEncodedZone.size());
    if (!std::all_of(zone.begin(), zone.end(), host_name_char)) {
      error = "bad IPv6 zone";
      return false;
    }
  }
  std::string text(address);
  in6_addr parsed{};
  if (inet_pton(AF_INET6, text.c_str(), &parsed) != 1) {
    error = "bad IPv6 address";
    return false;
  }
  host = text;
  if (!zone.empty()) host.append("%").append(zone);
  return true;
}

bool parse_host_name(std::string_view name, std::string &host, std::string &error) {
  if (name.empty()) {
    error = "no host";
    return false;
  }
  if (name.size() > kMaxHostNameLength) {
    error = "host name too long";
    return false;
  }
  if (!std::all_of(name.begin(), name.end(), host_name_char)) {
    error = "bad character in host name";
    return false;
  }
  host.assign(name);
  // Digits and dots only: meant as an IPv4 address, so it must be one
  // (a resolver would otherwise read "10.1" or "999.1.1.1" its own way).
  bool numeric = std::all_of(name.begin(), name.end(),
                             [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
  in_addr parsed{};
  if (numeric && inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
    error = "bad IPv4 address";
    return false;
  }
  return true;
}

}  // namespace

UriParse parse_device_uri(std::string_view uri) {
  if (uri.size() > kMaxUriLength) return refuse("URI too long");
  const bool tls = has_scheme(uri, kTlsScheme);
  if (!tls && !has_scheme(uri, kScheme)) {
    return refuse("only http:// and https:// device URIs are supported");
  }
  uri.remove_prefix(tls ? kTlsScheme.size() : kScheme.size());
  std::string_view authority = uri.substr(0, uri.find_first_of("/?#"));
  if (authority.empty()) return refuse("no host");
  if (authority.find('@') != std::string_view::npos) {
    return refuse("user information is not supported");
  }

  UriParse r;
  r.address.tls = tls;
  r.address.port = tls ? kDefaultHttpsPort : kDefaultHttpPort;
  std::string_view port_text;
  bool has_port = false;
  if (authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return refuse("unclosed '[' in host");
    if (!parse_ipv6_literal(authority.substr(1, close - 1), r.address.host, r.error)) return r;
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return refuse("unexpected text after ']'");
      has_port = true;
      port_text = after.substr(1);
    }
  } else {
    size_t colon = authority.find(':');
    std::string_view name = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      if (authority.find(':', colon + 1) != std::string_view::npos) {
        return refuse("IPv6 address must be written in brackets");
      }
      has_port = true;
      port_text = authority.substr(colon + 1);
    }
    if (!parse_host_name(name, r.address.host, r.error)) return r;
  }
  if (has_port && !parse_port(port_text, r.address.port)) return refuse("bad port");
  r.ok = true;
  return r;
}

}  // namespace kvchan
