// TCP sockets with time limits: a non-blocking connect, waits with poll,
// and a look at whether the peer has closed without consuming anything.
#pragma once

#include <chrono>
#include <string>

#include "device_uri.h"

namespace kvchan {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

Deadline deadline_after_seconds(int seconds);
// Milliseconds left until `deadline` for poll: 0 once it has passed.
int milliseconds_left(Deadline deadline);

// Owns one socket descriptor; closes it when dropped.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { reset(); }
  Socket(Socket &&other) noexcept : fd_(other.release()) {}
  Socket &operator=(Socket &&other) noexcept;
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset();

 private:
  int fd_ = -1;
};

// Looks the host up and connects to its addresses in turn until one
// answers or the deadline passes; the lookup counts against the deadline,
// and each address gets its share of what is left.  The socket is non-blocking, with TCP_NODELAY (requests
// go out in one piece and must not wait for a delayed acknowledgement).
// On failure the socket is invalid and `error` says why.  Every wait
// (the lookup's too) also watches `wake_fd` when it is not -1 (see
// wait_for); `woken`, when given, tells whether it ended the connect.
Socket connect_tcp(const DeviceAddress &address, Deadline deadline, std::string &error,
                   int wake_fd = -1, bool *woken = nullptr);

enum class Wait { ready, timed_out, interrupted, failed, woken };
// Waits for `events` (POLLIN, POLLOUT) until the deadline; errno is set
// when the result is `failed`.  With a `wake_fd` other than -1 the wait
// ends as `woken` as soon as that descriptor is readable (or broken: a
// host that closed it must not leave a wait spinning), before anything
// the socket has for it: the host wants the exchange over.
Wait wait_for(int fd, short events, Deadline deadline, int wake_fd = -1);
// Whether `wake_fd` is readable now, without waiting; false for -1.
bool woken_now(int wake_fd);

enum class Peer {
  connected,    // nothing to read yet
  unread_data,  // bytes are waiting to be read
  closed,       // the peer closed (or reset) and nothing is left to read
};
// Looks without waiting and without consuming a byte.
Peer peek_peer(int fd);

// Text for an errno value, safe to call from any thread.
std::string error_text(int error);

}  // namespace kvchan
