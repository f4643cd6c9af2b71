// Host-name lookup within a time limit.  getaddrinfo has no time limit of
// its own: a name is looked up on a thread of its own, and a caller whose
// time runs out stops waiting for it.  The thread ends by itself when the
// resolver gives up, and frees what it found; the library stays loaded
// while such a thread may still run (it is linked "nodelete").
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

#include "device_uri.h"
#include "tcp_socket.h"

namespace kvchan {

// One address to connect to, as the resolver gave it.
struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = 0;
  int socktype = 0;
  int protocol = 0;
};

// The addresses of `address` in the resolver's order.  A numeric address
// is read at once; a name is looked up until `deadline` at the latest.
// False, with `error` saying why, when nothing was found in time.  The
// wait for a name also ends as soon as `wake_fd` (when not -1) is
// readable, with `woken` set.
bool look_up(const DeviceAddress &address, Deadline deadline, std::vector<Endpoint> &found,
             std::string &error, int wake_fd = -1, bool *woken = nullptr);

// Text for an address, "192.0.2.1" or "2001:db8::1", for messages.
std::string endpoint_text(const Endpoint &endpoint);

// For the library's own tests: a resolver to use instead of getaddrinfo
// for names (numeric addresses never reach it).  It runs on the lookup
// thread and may block.  nullptr goes back to getaddrinfo.
using Resolver = bool (*)(const DeviceAddress &address, std::vector<Endpoint> &found,
                          std::string &error);
void set_resolver_for_tests(Resolver resolver);

}  // namespace kvchan
