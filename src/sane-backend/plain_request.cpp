#include "plain_request.h"

#include <poll.h>
#include <sys/socket.h>

#include "kvchan/device_uri.h"
#include "kvchan/tcp_socket.h"

namespace bbescl {

namespace {

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

std::string plain_get(const std::string &uri, std::string_view path, std::string_view enough, size_t most,
                      std::chrono::steady_clock::time_point deadline) {
  const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
  if (!parsed.ok || parsed.address.tls) return {};
  std::string error;
  kvchan::Socket socket = kvchan::connect_tcp(parsed.address, deadline, error);
  if (!socket.valid()) return {};
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(authority_of(uri));
  request.append("\r\nConnection: close\r\n\r\n");
  if (!send_all(socket.fd(), request, deadline)) return {};
  std::string answer;
  char buffer[4096];
  while (answer.size() < most && (enough.empty() || answer.find(enough) == std::string::npos)) {
    if (kvchan::wait_for(socket.fd(), POLLIN, deadline) != kvchan::Wait::ready) break;
    const ssize_t n = recv(socket.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  return answer;
}

}  // namespace bbescl
