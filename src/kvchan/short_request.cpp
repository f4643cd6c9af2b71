#include "short_request.h"

#include <poll.h>

#include <cerrno>

#include "device_trust.h"
#include "device_uri.h"
#include "kvchan.h"
#include "link_io.h"
#include "tls_session.h"

namespace kvchan {

namespace {

// Nothing moved, for now.
bool waits(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The connection, with TLS over it for an https device.
class Connection {
 public:
  Connection(Socket socket, Deadline deadline) : socket_(std::move(socket)), deadline_(deadline) {}

  // A device refused for its key here is refused (and logged) as a channel
  // would refuse it: nothing is sent to it.
  bool start_tls(const std::string &uri, const DeviceAddress &address) {
    std::string error, refusal;
    const TlsVerify mode = tls_verify();
    return tls_.start(socket_.fd(), address.host, mode == TlsVerify::system, deadline_, error) &&
           trust_session(tls_, uri, address, mode, error, refusal) == Trust::trusted;
  }

  bool send_all(std::string_view data) {
    while (!data.empty()) {
      bool again = false;
      short events = POLLOUT;
      const ssize_t n = send_some(socket_.fd(), tls_, data.data(), data.size(), again, events);
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (!again && !waits(errno)) return false;
      if (wait_for(socket_.fd(), events, deadline_) != Wait::ready) return false;
    }
    return true;
  }

  // Some bytes of the answer; 0 when it has ended (closed, failed, or out of time).
  size_t receive(char *buffer, size_t size) {
    for (;;) {
      bool again = false;
      short events = POLLIN;
      const ssize_t n = receive_some(socket_.fd(), tls_, buffer, size, again, events);
      if (n >= 0) return static_cast<size_t>(n);
      if (!again && !waits(errno)) return 0;
      if (wait_for(socket_.fd(), events, deadline_) != Wait::ready) return 0;
    }
  }

 private:
  Socket socket_;
  Deadline deadline_;
  TlsSession tls_;  // dropped before the socket it runs on
};

// Whether `enough` is in `text`, looking only where the last `added`
// bytes could complete it.
bool has_arrived(std::string_view text, size_t added, std::string_view enough) {
  const size_t back = added + enough.size() - 1;
  const size_t from = text.size() > back ? text.size() - back : 0;
  return text.find(enough, from) != std::string_view::npos;
}

}  // namespace

int short_request(std::string_view uri, std::string_view request, std::string_view enough,
                  Deadline deadline, char *answer, size_t size, size_t &length) {
  length = 0;
  const UriParse parsed = parse_device_uri(uri);
  if (!parsed.ok) return KVCHAN_E_INVALID;
  std::string error;
  Socket socket = connect_tcp(parsed.address, deadline, error);
  if (!socket.valid()) return KVCHAN_E_CONNECT;
  Connection connection(std::move(socket), deadline);
  if (parsed.address.tls && !connection.start_tls(std::string(uri), parsed.address)) return KVCHAN_E_CONNECT;
  if (!connection.send_all(request)) return KVCHAN_E_IO;
  while (length < size) {
    const size_t n = connection.receive(answer + length, size - length);
    if (n == 0) break;
    length += n;
    if (!enough.empty() && has_arrived(std::string_view(answer, length), n, enough)) break;
  }
  return KVCHAN_OK;
}

}  // namespace kvchan
