#include "tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "name_lookup.h"

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

Wait wait_for(int fd, short events, Deadline deadline, int wake_fd) {
  pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  int n = poll(p, wake_fd >= 0 ? 2 : 1, milliseconds_left(deadline));
  if (n > 0 && p[1].revents != 0) return Wait::woken;
  if (n > 0) return Wait::ready;  // includes POLLHUP/POLLERR: the next call reports it
  if (n == 0) return Wait::timed_out;
  return errno == EINTR ? Wait::interrupted : Wait::failed;
}

bool woken_now(int wake_fd) {
  if (wake_fd < 0) return false;
  pollfd p{wake_fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && p.revents != 0;
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

// Every address gets at least this long to answer (or what is left of the
// limit, if less): a device on the local network answers within
// milliseconds, one that is waking up may need a second.
constexpr std::chrono::milliseconds kLeastShare{1000};

// One address: connect without blocking, then wait for the outcome.
Socket connect_one(const Endpoint &e, Deadline deadline, std::string &error, int wake_fd, bool &woken) {
  Socket s(socket(e.family, e.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, e.protocol));
  if (!s.valid()) {
    error = error_text(errno);
    return Socket();
  }
  int one = 1;
  setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(s.fd(), reinterpret_cast<const sockaddr *>(&e.address), e.length) == 0) return s;
  if (errno != EINPROGRESS && errno != EINTR) {
    error = error_text(errno);
    return Socket();
  }
  for (;;) {
    Wait w = wait_for(s.fd(), POLLOUT, deadline, wake_fd);
    if (w == Wait::interrupted) continue;
    if (w == Wait::woken) {
      woken = true;
      error = "cancelled";
      return Socket();
    }
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

// The time the next address may take: an equal share of what is left among
// the addresses not yet tried, so that one that never answers leaves time
// for the others.
Deadline attempt_deadline(Deadline deadline, size_t addresses_left) {
  Clock::time_point now = Clock::now();
  if (deadline <= now) return deadline;
  Clock::duration left = deadline - now;
  Clock::duration share = left / static_cast<Clock::rep>(addresses_left);
  if (share < kLeastShare) share = std::min<Clock::duration>(kLeastShare, left);
  return now + share;
}

}  // namespace

Socket connect_tcp(const DeviceAddress &address, Deadline deadline, std::string &error, int wake_fd,
                   bool *woken) {
  bool ignored = false;
  bool &ended = woken != nullptr ? *woken : ignored;
  ended = false;
  std::vector<Endpoint> endpoints;
  if (!look_up(address, deadline, endpoints, error, wake_fd, &ended)) return Socket();
  // The lookup may have used up the limit before any address was tried.
  error = "timed out";
  size_t tried = 0;
  for (size_t i = 0; i < endpoints.size() && milliseconds_left(deadline) > 0; ++i) {
    ++tried;
    Socket s = connect_one(endpoints[i], attempt_deadline(deadline, endpoints.size() - i), error,
                           wake_fd, ended);
    if (s.valid() || ended) return s;
  }
  if (tried > 1) error += " (" + std::to_string(tried) + " addresses tried)";
  return Socket();
}

}  // namespace kvchan
