// The sockets of the simulated scanner: a listening socket on 127.0.0.1, a
// thread per client connection reading requests, and a clean stop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "server_impl.h"

namespace escl_sim {

bool Server::Impl::wait_for(int fd, short events) {
  pollfd fds[2] = {{fd, events, 0}, {wake_read, POLLIN, 0}};
  while (true) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (fds[1].revents) return false;
    if (fds[0].revents & (events | POLLHUP | POLLERR)) return true;
  }
}

bool Server::Impl::send_all(Link &link, std::string_view data) {
  while (!data.empty()) {
    if (link.tls != nullptr) {
      ERR_clear_error();
      const int n = SSL_write(link.tls, data.data(), static_cast<int>(std::min<size_t>(data.size(), INT_MAX)));
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      const int why = SSL_get_error(link.tls, n);
      if (why == SSL_ERROR_WANT_WRITE ? wait_for(link.fd, POLLOUT)
                                       : why == SSL_ERROR_WANT_READ && wait_for(link.fd, POLLIN))
        continue;
      return false;
    }
    ssize_t n = send(link.fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(link.fd, POLLOUT)) return false;
      continue;
    }
    return false;
  }
  return true;
}

ssize_t Server::Impl::receive(Link &link, char *buf, size_t size) {
  if (link.tls == nullptr) return recv(link.fd, buf, size, MSG_DONTWAIT);
  ERR_clear_error();
  errno = 0;
  const int n = SSL_read(link.tls, buf, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (n > 0) return n;
  switch (SSL_get_error(link.tls, n)) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL:
      // A peer that closed without a TLS close_notify has still closed.
      if (errno == 0) return 0;
      return -1;
    default:
      errno = EPROTO;
      return -1;
  }
}

bool Server::Impl::wait_readable(Link &link) {
  // TLS may hold decrypted bytes the socket no longer shows.
  if (link.tls != nullptr && SSL_pending(link.tls) > 0) return true;
  return wait_for(link.fd, POLLIN);
}

bool Server::Impl::start_tls(Link &link) {
  // OpenSSL writes to the socket with write(), which raises SIGPIPE once
  // the client has gone; this thread takes EPIPE instead (the signal stays
  // pending on it and ends with it).
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  const int flags = fcntl(link.fd, F_GETFL);
  if (flags < 0 || fcntl(link.fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  link.tls = SSL_new(tls.get());
  if (link.tls == nullptr || SSL_set_fd(link.tls, link.fd) != 1) return false;
  while (true) {
    ERR_clear_error();
    const int n = SSL_accept(link.tls);
    if (n == 1) return true;
    const int why = SSL_get_error(link.tls, n);
    if (why == SSL_ERROR_WANT_READ && wait_for(link.fd, POLLIN)) continue;
    if (why == SSL_ERROR_WANT_WRITE && wait_for(link.fd, POLLOUT)) continue;
    ERR_clear_error();
    return false;
  }
}

void Server::Impl::end_tls(Link &link) {
  if (link.tls == nullptr) return;
  // One try at a close_notify; a peer already gone does not get to wait.
  ERR_clear_error();
  SSL_shutdown(link.tls);
  ERR_clear_error();
  SSL_free(link.tls);
  link.tls = nullptr;
}

bool Server::Impl::pause_until(std::chrono::steady_clock::time_point when) {
  pollfd wake{wake_read, POLLIN, 0};
  while (!stopping) {
    const auto left = when - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    int n = poll(&wake, 1, static_cast<int>(std::min<long long>(ms, 1000)));
    if (n > 0 || (n < 0 && errno != EINTR)) return false;
  }
  return false;
}

// A stalled device keeps the connection open and sends nothing more; it
// lets go when the client closes or the simulator stops.
void Server::Impl::hold_until_closed(Link &link) {
  char scratch[4096];
  while (wait_readable(link)) {
    ssize_t n = receive(link, scratch, sizeof scratch);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) return;
  }
}

void Server::Impl::serve(Connection &conn) {
  Link link{conn.fd, nullptr};
  std::string buffer;
  char scratch[16384];
  bool continue_sent = false;
  bool open = !tls || start_tls(link);
  while (open) {
    Request req;
    ParseStatus st = take_request(buffer, req);
    if (st == ParseStatus::kComplete) {
      continue_sent = false;
      open = handle(link, req);
      continue;
    }
    if (st == ParseStatus::kBad || st == ParseStatus::kTooLarge) {
      Response r;
      r.status = st == ParseStatus::kBad ? 400 : (buffer.find("\r\n\r\n") == std::string::npos ||
                                                          buffer.find("\r\n\r\n") > kMaxHeaderBytes
                                                      ? 431
                                                      : 413);
      r.close = true;
      r.server = server_name();
      record(req);
      note("\"" + req.line + "\" " + std::to_string(r.status) + " (refused)");
      send_all(link, serialize(r, cfg.lowercase_headers, 0));
      break;
    }
    if (st == ParseStatus::kHeadComplete && !continue_sent) {
      continue_sent = true;
      if (!send_all(link, "HTTP/1.1 100 Continue\r\n\r\n")) break;
    }
    if (!wait_readable(link)) break;
    ssize_t n = receive(link, scratch, sizeof scratch);
    if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
    buffer.append(scratch, static_cast<size_t>(n));
  }
  end_tls(link);
  std::lock_guard lock(conn_mutex);
  shutdown(conn.fd, SHUT_RDWR);
  close(conn.fd);
  conn.fd = -1;
  conn.done = true;
}

void Server::Impl::reap_finished() {
  std::lock_guard lock(conn_mutex);
  for (auto it = connections.begin(); it != connections.end();) {
    if (it->done) {
      it->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Impl::accept_loop() {
  while (!stopping) {
    if (!wait_for(listen_fd, POLLIN)) return;
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reap_finished();
    std::lock_guard lock(conn_mutex);
    if (stopping) {
      close(fd);
      return;
    }
    Connection &conn = connections.emplace_back();
    conn.fd = fd;
    conn.thread = std::thread([this, &conn] { serve(conn); });
  }
}

Server::Server(Config cfg) : impl_(std::make_unique<Impl>(std::move(cfg))) {}

Server::~Server() { stop(); }

bool Server::start(uint16_t port) {
  Impl &s = *impl_;
  if (s.listen_fd >= 0) return true;
  if (!load_device_model(s.cfg.profile, s.model, s.error)) return false;
  if (s.cfg.tls && !s.tls) {
    s.tls = make_tls_context(s.cfg.cert_file, s.cfg.key_file, s.error);
    if (!s.tls) return false;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    s.error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  s.wake_read = pipe_fds[0];
  s.wake_write = pipe_fds[1];
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    s.error = std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + ": " +
              std::strerror(errno);
    if (fd >= 0) close(fd);
    close(s.wake_read);
    close(s.wake_write);
    s.wake_read = s.wake_write = -1;
    return false;
  }
  s.listen_fd = fd;
  s.port = ntohs(addr.sin_port);
  s.device = std::make_unique<Device>(s.cfg, s.model, s.port);
  s.stopping = false;
  s.accept_thread = std::thread([&s] { s.accept_loop(); });
  return true;
}

void Server::stop() {
  Impl &s = *impl_;
  if (s.listen_fd < 0) return;
  s.stopping = true;
  char byte = 1;
  ssize_t ignored = write(s.wake_write, &byte, 1);
  (void)ignored;
  s.accept_thread.join();
  {
    std::lock_guard lock(s.conn_mutex);
    for (auto &c : s.connections)
      if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
  }
  // Each connection thread sees the wake pipe, closes its socket and ends.
  for (auto &c : s.connections) c.thread.join();
  s.connections.clear();
  close(s.listen_fd);
  close(s.wake_read);
  close(s.wake_write);
  s.listen_fd = s.wake_read = s.wake_write = -1;
}

uint16_t Server::port() const { return impl_->port; }

std::string Server::base_url() const {
  return (impl_->tls ? "https" : "http") + std::string("://127.0.0.1:") +
         std::to_string(impl_->port) + "/";
}

std::string Server::last_error() const { return impl_->error; }

std::vector<std::string> Server::requests() const {
  std::lock_guard lock(impl_->record_mutex);
  return impl_->requests;
}

std::vector<std::string> Server::request_heads() const {
  std::lock_guard lock(impl_->record_mutex);
  return impl_->request_heads;
}

std::vector<std::string> Server::pages_sent() const {
  std::lock_guard lock(impl_->record_mutex);
  return impl_->pages;
}

int Server::jobs_alive() const { return impl_->device ? impl_->device->jobs_alive() : 0; }

}  // namespace escl_sim
