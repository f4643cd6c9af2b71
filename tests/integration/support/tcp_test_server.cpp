#include "tcp_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace itest {

std::string Peer::read_until(std::string_view text) {
  for (;;) {
    size_t at = pending_.find(text);
    if (at != std::string::npos) {
      std::string head = pending_.substr(0, at + text.size());
      pending_.erase(0, at + text.size());
      return head;
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kPeerWaitMs) <= 0) return "";
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool Peer::send(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Peer::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

bool Peer::wait_closed() {
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kPeerWaitMs) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

TcpTestServer::TcpTestServer(Handler handler, Family family)
    : handler_(std::move(handler)), family_(family) {
  int fd = socket(family == Family::ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (family == Family::ipv4) {
    auto *a = reinterpret_cast<sockaddr_in *>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  } else {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, 512) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0 || pipe(stop_pipe_) != 0) {
    close(fd);
    return;
  }
  port_ = ntohs(family == Family::ipv4 ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
  listen_fd_ = fd;
  acceptor_ = std::thread([this] { accept_loop(); });
}

TcpTestServer::~TcpTestServer() {
  if (listen_fd_ < 0) return;
  char stop = 's';
  ssize_t ignored = write(stop_pipe_[1], &stop, 1);
  (void)ignored;
  acceptor_.join();
  {
    // Wake handlers that still wait on their clients.
    std::lock_guard lock(mutex_);
    for (int fd : connection_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread &t : handlers_) t.join();
  for (int fd : connection_fds_) close(fd);
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

std::string TcpTestServer::uri() const {
  std::string host = family_ == Family::ipv4 ? "127.0.0.1" : "[::1]";
  return "http://" + host + ":" + std::to_string(port_) + "/";
}

void TcpTestServer::accept_loop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int index = accepted_.fetch_add(1);
    std::lock_guard lock(mutex_);
    connection_fds_.push_back(fd);
    handlers_.emplace_back([this, fd, index] {
      Peer peer(fd, index);
      handler_(peer);
      // Closing here would race with the destructor's shutdown of the same
      // number; a half-close tells the client that the server is done.
      ::shutdown(fd, SHUT_RDWR);
      finished_.fetch_add(1);
    });
  }
}

uint16_t unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace itest
