#include "link_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace kvchan {

namespace {

// What a TLS read or write that moved nothing means for its caller.
ssize_t tls_outcome(TlsSession::Io io, int error, int closed_errno, bool &again, short &events) {
  switch (io) {
    case TlsSession::Io::done:
      break;
    case TlsSession::Io::want_read:  // part of a record, one without data, a key update
      again = true;
      events = POLLIN;
      return -1;
    case TlsSession::Io::want_write:
      again = true;
      events = POLLOUT;
      return -1;
    case TlsSession::Io::closed:
      if (closed_errno == 0) return 0;
      errno = error != 0 ? error : closed_errno;
      return -1;
    case TlsSession::Io::failed:
      break;
  }
  errno = error != 0 ? error : EPROTO;
  return -1;
}

}  // namespace

ssize_t receive_some(int fd, TlsSession &tls, void *data, size_t size, bool &again, short &events) {
  again = false;
  events = POLLIN;
  if (!tls.active()) return recv(fd, data, size, MSG_DONTWAIT);
  size_t count = 0;
  int error = 0;
  const TlsSession::Io io = tls.read(data, size, count, error);
  // A closed session reads as the end of the stream.
  return io == TlsSession::Io::done ? static_cast<ssize_t>(count) : tls_outcome(io, error, 0, again, events);
}

ssize_t send_some(int fd, TlsSession &tls, const void *data, size_t size, bool &again, short &events) {
  again = false;
  events = POLLOUT;
  if (!tls.active()) return send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  size_t count = 0;
  int error = 0;
  const TlsSession::Io io = tls.write(data, size, count, error);
  // Writing to a closed session fails as a send to a closed socket does.
  return io == TlsSession::Io::done ? static_cast<ssize_t>(count) : tls_outcome(io, error, EPIPE, again, events);
}

}  // namespace kvchan
