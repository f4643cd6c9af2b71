// A small TCP server on the loopback interface for the channel library's
// tests.  It binds port 0 before its thread starts (no readiness waits),
// runs the test's handler on a thread of its own for every connection,
// and stops and joins everything when it goes out of scope.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace itest {

// Every wait of the server side gives up after this long, so that a test
// that goes wrong fails instead of hanging.
inline constexpr int kPeerWaitMs = 10000;

// One accepted connection, as a handler sees it.
class Peer {
 public:
  explicit Peer(int fd, int index) : fd_(fd), index_(index) {}

  // Reads until `text` has arrived; returns everything read up to and
  // including it (bytes after it stay for the next call), or "" when the
  // client closed or nothing came in time.
  std::string read_until(std::string_view text);
  std::string read_request() { return read_until("\r\n\r\n"); }
  bool send(std::string_view bytes);
  // Sends FIN: no more bytes from the server; the server can still read.
  void shutdown_write();
  // Waits for the client's close; true when it came in time.
  bool wait_closed();
  // Number of this connection, 0 for the first one the server accepted.
  int index() const { return index_; }

 private:
  int fd_;
  int index_;
  std::string pending_;  // read past the last text asked for
};

class TcpTestServer {
 public:
  using Handler = std::function<void(Peer &)>;
  enum class Family { ipv4, ipv6 };

  // Listens on 127.0.0.1 (or ::1) on a port of the system's choosing.
  // listening() is false when the address family is not available.
  explicit TcpTestServer(Handler handler, Family family = Family::ipv4);
  ~TcpTestServer();
  TcpTestServer(const TcpTestServer &) = delete;
  TcpTestServer &operator=(const TcpTestServer &) = delete;

  bool listening() const { return listen_fd_ >= 0; }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT/" or "http://[::1]:PORT/".
  std::string uri() const;
  int accepted() const { return accepted_.load(); }
  // Handlers that have returned (their connection is then closed).
  int finished() const { return finished_.load(); }

 private:
  void accept_loop();

  Handler handler_;
  Family family_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<int> finished_{0};
  std::mutex mutex_;
  std::vector<int> connection_fds_;
  std::vector<std::thread> handlers_;
  std::thread acceptor_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
uint16_t unused_port();

}  // namespace itest
