#include "device_request.h"

#include <poll.h>

#include <cerrno>

#include "kvchan/device_trust.h"
#include "kvchan/device_uri.h"
#include "kvchan/link_io.h"
#include "kvchan/tcp_socket.h"
#include "kvchan/tls_session.h"

namespace bbescl {

namespace {

// Nothing moved, for now.
bool waits(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The connection, with TLS over it for an https device.
class Connection {
 public:
  Connection(kvchan::Socket socket, kvchan::Deadline deadline) : socket_(std::move(socket)), deadline_(deadline) {}

  bool start_tls(const std::string &uri, const kvchan::DeviceAddress &address, TlsVerify tls) {
    std::string error, refusal;
    kvchan::TlsVerify mode = kvchan::TlsVerify::pin;
    kvchan::tls_verify_of(static_cast<int>(tls), mode);
    return tls_.start(socket_.fd(), address.host, mode == kvchan::TlsVerify::system, deadline_, error) &&
           kvchan::trust_session(tls_, uri, address, mode, error, refusal) == kvchan::Trust::trusted;
  }

  bool send_all(std::string_view data) {
    while (!data.empty()) {
      bool again = false;
      short events = POLLOUT;
      const ssize_t n = kvchan::send_some(socket_.fd(), tls_, data.data(), data.size(), again, events);
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (!again && !waits(errno)) return false;
      if (kvchan::wait_for(socket_.fd(), events, deadline_) != kvchan::Wait::ready) return false;
    }
    return true;
  }

  // Some bytes of the answer; 0 when it has ended (closed, failed, or out of time).
  size_t receive(char *buffer, size_t size) {
    for (;;) {
      bool again = false;
      short events = POLLIN;
      const ssize_t n = kvchan::receive_some(socket_.fd(), tls_, buffer, size, again, events);
      if (n >= 0) return static_cast<size_t>(n);
      if (!again && !waits(errno)) return 0;
      if (kvchan::wait_for(socket_.fd(), events, deadline_) != kvchan::Wait::ready) return 0;
    }
  }

 private:
  kvchan::Socket socket_;
  kvchan::Deadline deadline_;
  kvchan::TlsSession tls_;  // dropped before the socket it runs on
};

}  // namespace

std::string_view authority_of(std::string_view uri) {
  const size_t start = uri.find("://");
  uri.remove_prefix(start == std::string_view::npos ? 0 : start + 3);
  return uri.substr(0, uri.find_first_of("/?#"));
}

std::string device_get(const std::string &uri, std::string_view path, std::string_view enough, size_t most,
                       std::chrono::steady_clock::time_point deadline, TlsVerify tls) {
  const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
  if (!parsed.ok) return {};
  std::string error;
  kvchan::Socket socket = kvchan::connect_tcp(parsed.address, deadline, error);
  if (!socket.valid()) return {};
  Connection connection(std::move(socket), deadline);
  if (parsed.address.tls && !connection.start_tls(uri, parsed.address, tls)) return {};
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(authority_of(uri));
  request.append("\r\nConnection: close\r\n\r\n");
  if (!connection.send_all(request)) return {};
  std::string answer;
  char buffer[4096];
  while (answer.size() < most && (enough.empty() || answer.find(enough) == std::string::npos)) {
    const size_t n = connection.receive(buffer, sizeof buffer);
    if (n == 0) break;
    answer.append(buffer, n);
  }
  return answer;
}

}  // namespace bbescl
