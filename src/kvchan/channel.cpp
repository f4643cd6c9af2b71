#include "channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "device_trust.h"
#include "kvchan.h"
#include "link_io.h"

namespace kvchan {
namespace {

// Requests are a few hundred bytes (a ScanSettings document a few
// kilobytes); anything larger is not kept for sending again.
constexpr size_t kMaxRememberedRequest = 65536;

// Requests that may be sent a second time when a reused connection turns
// out to have been closed by the device before it read them.  A job
// creation (POST) is never repeated: the device might have acted on it.
bool idempotent(const std::vector<char> &request) {
  std::string_view text(request.data(), request.size());
  for (std::string_view method : {"GET ", "HEAD ", "DELETE ", "PUT ", "OPTIONS "}) {
    if (text.starts_with(method)) return true;
  }
  return false;
}

bool transient_errno(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }
bool no_memory_errno(int e) { return e == ENOMEM || e == ENOBUFS; }
bool closed_errno(int e) { return e == ECONNRESET || e == EPIPE || e == ENOTCONN; }

// Sentinel of peer_closed(): the request went out again on a new connection.
constexpr int kResent = -1;

}  // namespace

Channel::Channel(std::shared_ptr<const DeviceInfo> device, std::string name)
    : device_(std::move(device)), name_(std::move(name)) {}

int Channel::connect(Deadline deadline, std::string &error) {
  bool woken = false;
  socket_ = connect_tcp(device_->address, deadline, error, wake_fd(), &woken);
  if (!socket_.valid()) return woken ? KVCHAN_E_CANCELLED : KVCHAN_E_CONNECT;
  if (!device_->address.tls) return KVCHAN_OK;
  const TlsVerify mode = tls_verify();
  if (tls_.start(socket_.fd(), device_->address.host, mode == TlsVerify::system, deadline, error,
                 wake_fd(), &woken)) {
    std::string refusal;
    switch (trust_session(tls_, device_->uri, device_->address, mode, error, refusal)) {
      case Trust::trusted:
        return KVCHAN_OK;
      case Trust::key_changed:
        device_->set_key_refusal(refusal);
        break;
      case Trust::failed:
        break;
    }
  }
  disconnect();
  return woken ? KVCHAN_E_CANCELLED : KVCHAN_E_CONNECT;
}

void Channel::disconnect() {
  tls_.reset();
  socket_.reset();
}

int Channel::cancelled(const char *what) {
  syslog(LOG_INFO, "kvchan: %s %s (channel %d) cancelled by the host", what, device_->uri.c_str(), id_);
  return KVCHAN_E_CANCELLED;
}

int Channel::open() {
  std::string error;
  const int rc = connect(deadline_after_seconds(kConnectSeconds), error);
  if (rc == KVCHAN_E_CANCELLED) return cancelled("connect to");
  if (rc != KVCHAN_OK) {
    syslog(LOG_ERR, "kvchan: connect to %s failed: %s", device_->uri.c_str(), error.c_str());
    return KVCHAN_E_CONNECT;
  }
  return KVCHAN_OK;
}

void Channel::close() {
  disconnect();
  closed_ = true;
}

int Channel::connect_again(Deadline deadline) {
  disconnect();
  saw_eof_ = false;
  received_on_connection_ = 0;
  received_since_write_ = 0;
  last_request_.clear();
  resent_ = false;
  std::string error;
  const int rc = connect(deadline, error);
  if (rc == KVCHAN_E_CANCELLED) return cancelled("connect to");
  if (rc != KVCHAN_OK) {
    syslog(LOG_ERR, "kvchan: connect to %s failed: %s", device_->uri.c_str(), error.c_str());
    return KVCHAN_E_CONNECT;
  }
  syslog(LOG_INFO, "kvchan: %s closed the connection of channel %d (%s); connected again",
         device_->uri.c_str(), id_, name_.c_str());
  return KVCHAN_OK;
}

void Channel::remember_request(const char *data, int size) {
  if (last_request_.size() + static_cast<size_t>(size) > kMaxRememberedRequest) {
    request_too_large_ = true;
    last_request_.clear();
    return;
  }
  if (!request_too_large_) last_request_.insert(last_request_.end(), data, data + size);
}

// HTTP servers close idle connections whenever they like; one that answered
// a request before may have closed just as the next request went out.  If
// that request brought back nothing at all, it was not read: send it again
// on a new connection, once.
bool Channel::may_resend_after_close() const {
  return received_since_write_ == 0 && received_on_connection_ > 0 && !resent_ &&
         !request_too_large_ && !last_request_.empty() && idempotent(last_request_);
}

int Channel::send_all(const char *data, int size, Deadline deadline, int &sent, int &error) {
  sent = 0;
  error = 0;
  while (sent < size) {
    bool again = false;
    short events = POLLOUT;
    ssize_t n = send_some(socket_.fd(), tls_, data + sent, static_cast<size_t>(size - sent), again, events);
    if (n > 0) {
      sent += static_cast<int>(n);
      continue;
    }
    int e = n < 0 ? errno : EIO;
    if (!again && e == EINTR) continue;
    if (again || e == EAGAIN || e == EWOULDBLOCK) {
      Wait w = wait_for(socket_.fd(), events, deadline, wake_fd());
      if (w == Wait::ready || w == Wait::interrupted) continue;
      if (w == Wait::timed_out) return KVCHAN_E_TIMEOUT;
      if (w == Wait::woken) return KVCHAN_E_CANCELLED;
      error = errno;
      return KVCHAN_E_IO;
    }
    error = e;
    if (no_memory_errno(e)) return KVCHAN_E_BUSY;
    return closed_errno(e) ? KVCHAN_E_CLOSED : KVCHAN_E_IO;
  }
  return KVCHAN_OK;
}

int Channel::write(const void *data, int size, int sectime, int &bytes_written) {
  bytes_written = 0;
  const char *bytes = static_cast<const char *>(data);
  // The device has begun to answer since the last write: this is a new request.
  if (received_since_write_ > 0) {
    last_request_.clear();
    request_too_large_ = false;
    resent_ = false;
  }
  Deadline deadline = deadline_after_seconds(std::max(sectime, 1));
  // A server that ends each response by closing the connection: when
  // nothing of that response is left unread, the next request goes out on
  // a new connection.  Unread bytes are response data; the connection stays.
  if (!socket_.valid() || saw_eof_ || peek() == Peer::closed) {
    const int connected = connect_again(deadline);
    if (connected != KVCHAN_OK) return connected;
  }
  int error = 0;
  int rc = send_all(bytes, size, deadline, bytes_written, error);
  if (rc == KVCHAN_E_CLOSED && bytes_written == 0) {
    // The close arrived between the look above and the send.
    const int connected = connect_again(deadline);
    if (connected != KVCHAN_OK) return connected;
    rc = send_all(bytes, size, deadline, bytes_written, error);
  }
  // Half a request may have gone out: the host starts over on a new channel.
  if (rc == KVCHAN_E_CANCELLED) return cancelled("write to");
  if (rc == KVCHAN_E_TIMEOUT) {
    syslog(LOG_ERR, "kvchan: write to %s (channel %d) timed out after %d of %d bytes",
           device_->uri.c_str(), id_, bytes_written, size);
    return rc;
  }
  if (rc != KVCHAN_OK) {
    syslog(LOG_ERR, "kvchan: write to %s (channel %d) failed after %d of %d bytes: %s",
           device_->uri.c_str(), id_, bytes_written, size, error_text(error).c_str());
    return rc;
  }
  remember_request(bytes, size);
  received_since_write_ = 0;
  return KVCHAN_OK;
}

int Channel::peer_closed(int error, Deadline deadline) {
  if (may_resend_after_close()) {
    std::vector<char> request;
    request.swap(last_request_);
    const int connected = connect_again(deadline);
    if (connected == KVCHAN_E_CANCELLED) return connected;  // logged there
    if (connected == KVCHAN_OK) {
      int sent = 0;
      int send_error = 0;
      const int rc = send_all(request.data(), static_cast<int>(request.size()), deadline, sent, send_error);
      if (rc == KVCHAN_OK) {
        last_request_.swap(request);
        resent_ = true;
        return kResent;
      }
      if (rc == KVCHAN_E_CANCELLED) return cancelled("write to");
    }
    saw_eof_ = true;
    syslog(LOG_ERR, "kvchan: %s closed the connection of channel %d before answering",
           device_->uri.c_str(), id_);
    return KVCHAN_E_CLOSED;
  }
  saw_eof_ = true;
  if (error != 0) {
    syslog(LOG_ERR, "kvchan: read from %s (channel %d) failed: %s", device_->uri.c_str(), id_,
           error_text(error).c_str());
  } else {
    syslog(LOG_ERR, "kvchan: %s closed the connection of channel %d", device_->uri.c_str(),
           id_);
  }
  return KVCHAN_E_CLOSED;
}

int Channel::read(void *data, int size, int sectime, int &bytes_read) {
  bytes_read = 0;
  if (!socket_.valid() || saw_eof_) {
    syslog(LOG_ERR, "kvchan: read from %s (channel %d) failed: the connection is closed",
           device_->uri.c_str(), id_);
    return KVCHAN_E_CLOSED;
  }
  if (size == 0) return KVCHAN_OK;
  Deadline deadline = deadline_after_seconds(sectime);
  short events = POLLIN;
  for (;;) {
    // TLS may hold decrypted bytes the socket no longer shows.
    if (!tls_.has_pending()) {
      Wait w = wait_for(socket_.fd(), events, deadline, wake_fd());
      if (w == Wait::woken) return cancelled("read from");
      if (w == Wait::timed_out) return KVCHAN_OK;  // nothing arrived in time
      // A signal (a cancel, often): the caller decides whether to go on.
      if (w == Wait::interrupted) return KVCHAN_E_INTR;
      if (w == Wait::failed) {
        int e = errno;
        syslog(LOG_ERR, "kvchan: read from %s (channel %d) failed: %s", device_->uri.c_str(),
               id_, error_text(e).c_str());
        return no_memory_errno(e) ? KVCHAN_E_BUSY : KVCHAN_E_IO;
      }
    }
    bool again = false;
    ssize_t n = receive_some(socket_.fd(), tls_, data, static_cast<size_t>(size), again, events);
    if (again) continue;
    if (n > 0) {
      bytes_read = static_cast<int>(n);
      received_on_connection_ += static_cast<uint64_t>(n);
      received_since_write_ += static_cast<uint64_t>(n);
      return KVCHAN_OK;
    }
    int e = n == 0 ? 0 : errno;
    if (n < 0 && transient_errno(e)) {
      syslog(LOG_ERR, "kvchan: read from %s (channel %d): %s", device_->uri.c_str(), id_,
             error_text(e).c_str());
      return KVCHAN_E_AGAIN;
    }
    if (n < 0 && no_memory_errno(e)) {
      syslog(LOG_ERR, "kvchan: read from %s (channel %d): %s", device_->uri.c_str(), id_,
             error_text(e).c_str());
      return KVCHAN_E_BUSY;
    }
    if (n == 0 || closed_errno(e)) {
      int rc = peer_closed(e, deadline);
      if (rc == kResent) continue;
      return rc;
    }
    saw_eof_ = true;
    syslog(LOG_ERR, "kvchan: read from %s (channel %d) failed: %s", device_->uri.c_str(), id_,
           error_text(e).c_str());
    return KVCHAN_E_IO;
  }
}

}  // namespace kvchan
