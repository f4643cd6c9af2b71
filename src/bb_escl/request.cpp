// Request writing: one place builds every request line and its headers.
#include "request.h"

#include <stdio.h>
#include <string.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "job_control.h"
#include "../http/limits.h"
#include "session.h"
#include "../http/text.h"

namespace bb {
namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kHttpsScheme = "https://";
constexpr size_t kPortDigits = 5;

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (ascii_lower(s[i]) != prefix[i]) return false;
  return true;
}

bool digit(char c) { return c >= '0' && c <= '9'; }
bool alnum(char c) { return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool hex_digit(char c) { return digit(c) || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f'); }

// The host goes into a header line: only the characters of a host name,
// an IPv4 address or an IPv6 address are taken, so nothing in a URI can
// add to the request.
bool host_name(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!alnum(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

bool ipv6_text(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!hex_digit(c) && c != ':' && c != '.') return false;
  return true;
}

bool read_port(std::string_view s, unsigned *port) {
  if (s.empty() || s.size() > kPortDigits) return false;
  unsigned value = 0;
  for (char c : s) {
    if (!digit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = value;
  return true;
}

// Appends to a bounded text; remembers when something did not fit.
struct TextOut {
  char *buf;
  size_t room;
  size_t len = 0;
  bool cut = false;

  void add(std::string_view s) {
    if (s.empty()) return;
    if (cut || len + s.size() >= room) {
      cut = true;
      return;
    }
    memcpy(buf + len, s.data(), s.size());
    len += s.size();
    buf[len] = '\0';
  }
};

}  // namespace

bool device_authority(std::string_view uri, char *host, size_t room, unsigned *port) {
  unsigned default_port = kHttpPort;
  if (starts_with_nocase(uri, kHttpsScheme)) {
    uri = drop(uri, kHttpsScheme.size());
    default_port = kHttpsPort;
  } else if (starts_with_nocase(uri, kHttpScheme)) {
    uri = drop(uri, kHttpScheme.size());
  } else {
    return false;
  }
  std::string_view authority = slice(uri, 0, uri.find_first_of("/?#"));
  std::string_view name;
  std::string_view port_text;
  bool bracketed = false;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    // A zone ("%25eth0", or "%eth0" as some write it) names the host's own
    // interface: it means nothing to the device and is not sent.
    name = take_until(slice(authority, 1, close), '%');
    if (!ipv6_text(name)) return false;
    bracketed = true;
    std::string_view after = drop(authority, close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port_text = drop(after, 1);
      if (port_text.empty()) return false;
    }
  } else {
    size_t colon = authority.find(':');
    name = take_until(authority, ':');
    if (!host_name(name)) return false;
    if (colon != std::string_view::npos) {
      port_text = drop(authority, colon + 1);
      if (port_text.empty()) return false;
    }
  }
  unsigned value = default_port;
  if (!port_text.empty() && !read_port(port_text, &value)) return false;
  TextOut out{host, room};
  if (bracketed) out.add("[");
  out.add(name);
  if (bracketed) out.add("]");
  if (out.cut) {
    if (room > 0) host[0] = '\0';
    return false;
  }
  *port = value;
  return true;
}

void host_value(const host_session *hs, char *out, size_t room) {
  char host[kHostValueSize] = {};
  unsigned port = kHttpPort;
  std::string_view uri = buffer_text(hs->device_uri, sizeof hs->device_uri);
  const bool known = device_authority(uri, host, sizeof host, &port);
  const bb_session *session = session_of(hs);
  // A URI the host could not have opened leaves only the name every
  // device takes.
  const bool local = !known || (session != nullptr && session->host_localhost != 0);
  std::string_view name = local ? kLocalHost : buffer_text(host, sizeof host);
  snprintf(out, room, "%.*s:%u", static_cast<int>(name.size()), name.data(), port);
}

int32_t write_request(const host_session *hs, std::string_view method,
                      std::initializer_list<std::string_view> target, std::string_view headers,
                      char *buf, size_t room) {
  if (room == 0) return -1;
  buf[0] = '\0';
  char host[kHostValueSize] = {};
  host_value(hs, host, sizeof host);
  TextOut out{buf, room};
  out.add(method);
  out.add(" ");
  for (std::string_view piece : target) out.add(piece);
  out.add(" HTTP/1.1\r\nHost: ");
  out.add(buffer_text(host, sizeof host));
  out.add("\r\n");
  out.add(headers);
  out.add("\r\n");
  if (out.cut) {
    buf[0] = '\0';
    return -1;
  }
  return static_cast<int32_t>(out.len);
}

int send_request(const host_session *hs, http_handle *h, std::string_view method,
                 std::initializer_list<std::string_view> target, int32_t sectime) {
  char request[kHeaderBufferSize] = {};
  int32_t len = write_request(hs, method, target, {}, request, sizeof request);
  if (len < 0) return HTTP_IO_ERROR;
  return http_write(h, request, len, sectime);
}

}  // namespace bb
