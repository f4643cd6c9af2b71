#include "tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace kvchan {

Deadline deadline_after_seconds(int seconds) {
  return Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

int milliseconds_left(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

Socket &Socket::operator=(Socket &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int Socket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

Wait wait_for(int fd, short events, Deadline deadline) {
  pollfd p{fd, events, 0};
  int n = poll(&p, 1, milliseconds_left(deadline));
  if (n > 0) return Wait::ready;  // includes POLLHUP/POLLERR: the next call reports it
  if (n == 0) return Wait::timed_out;
  return errno == EINTR ? Wait::interrupted : Wait::failed;
}

Peer peek_peer(int fd) {
  char byte = 0;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return Peer::unread_data;
  if (n == 0) return Peer::closed;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Peer::connected;
  return Peer::closed;  // reset or otherwise broken: nothing can be read from it
}

namespace {

// One address: connect without blocking, then wait for the outcome.
Socket connect_one(const addrinfo &ai, Deadline deadline, std::string &error) {
  Socket s(socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol));
  if (!s.valid()) {
    error = error_text(errno);
    return Socket();
  }
  int one = 1;
  setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(s.fd(), ai.ai_addr, ai.ai_addrlen) == 0) return s;
  if (errno != EINPROGRESS && errno != EINTR) {
    error = error_text(errno);
    return Socket();
  }
  for (;;) {
    Wait w = wait_for(s.fd(), POLLOUT, deadline);
    if (w == Wait::interrupted) continue;
    if (w == Wait::timed_out) {
      error = "timed out";
      return Socket();
    }
    if (w == Wait::failed) {
      error = error_text(errno);
      return Socket();
    }
    break;
  }
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
  if (so_error != 0) {
    error = error_text(so_error);
    return Socket();
  }
  return s;
}

}  // namespace

Socket connect_tcp(const DeviceAddress &address, Deadline deadline, std::string &error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  std::string port = std::to_string(address.port);
  int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = std::string("cannot resolve ") + address.host + ": " +
            (rc == EAI_SYSTEM ? error_text(errno) : gai_strerror(rc));
    return Socket();
  }
  error = "no address";
  Socket s;
  for (addrinfo *ai = found; ai != nullptr && !s.valid(); ai = ai->ai_next) {
    s = connect_one(*ai, deadline, error);
    if (milliseconds_left(deadline) == 0) break;
  }
  freeaddrinfo(found);
  return s;
}

}  // namespace kvchan
