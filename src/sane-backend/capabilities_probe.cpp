#include "capabilities_probe.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "capabilities_facts.h"
#include "kvchan/device_uri.h"
#include "kvchan/tcp_socket.h"

namespace bbescl {

namespace {

// Enough for the head of any capabilities document; MakeAndModel comes first.
constexpr size_t kMostRead = 64 * 1024;

// "http://HOST:PORT/..." → "HOST:PORT" for the Host header.
std::string_view authority_of(std::string_view uri) {
  const size_t start = uri.find("://");
  uri.remove_prefix(start == std::string_view::npos ? 0 : start + 3);
  return uri.substr(0, uri.find_first_of("/?#"));
}

bool send_all(int fd, std::string_view data, kvchan::Deadline deadline) {
  while (!data.empty()) {
    if (kvchan::wait_for(fd, POLLOUT, deadline) != kvchan::Wait::ready) return false;
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

discovery::DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline) {
  const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
  // A TLS device is not asked in plain HTTP; it is listed without its facts.
  if (!parsed.ok || parsed.address.tls) return {};
  std::string error;
  kvchan::Socket socket = kvchan::connect_tcp(parsed.address, deadline, error);
  if (!socket.valid()) return {};
  const std::string request = "GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHost: " +
                              std::string(authority_of(uri)) + "\r\nConnection: close\r\n\r\n";
  if (!send_all(socket.fd(), request, deadline)) return {};
  std::string answer;
  char buffer[4096];
  // The sources follow the make and model: read until the device closes,
  // the document ends, or the time is up.
  while (answer.size() < kMostRead && answer.find("</scan:ScannerCapabilities>") == std::string::npos) {
    if (kvchan::wait_for(socket.fd(), POLLIN, deadline) != kvchan::Wait::ready) break;
    const ssize_t n = recv(socket.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0 && answer.compare(0, 12, "HTTP/1.0 200") != 0) return {};
  return discovery::facts_of_capabilities(answer);
}

}  // namespace bbescl
