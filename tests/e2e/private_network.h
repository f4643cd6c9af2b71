// A private network for discovery tests: the test program runs again inside
// a network namespace of its own (and a mount namespace with its own /run),
// where only the loopback interface exists, with its own D-Bus system bus
// and Avahi daemon restricted to that loopback.  Nothing reaches a real
// network.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// Called first in main(): outside the namespace, runs this program again
// under `unshare --net --mount` and returns only if that is impossible (not
// root, no namespaces), leaving the reason in unshare_refusal().  Inside,
// brings the loopback interface up and mounts a private /run.
void enter_private_network(int argc, char **argv);
const std::string &unshare_refusal();

// A child process: started with its standard output on a pipe, stopped
// (SIGTERM, then SIGKILL) and reaped when the object goes.
class Child {
 public:
  explicit Child(const std::vector<std::string> &argv);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool running() const { return pid_ > 0; }
  // The first line of its standard output, waiting up to `millis`.
  std::string first_line(int millis);
  // Everything it writes to standard output until it ends (waits).
  std::string rest_of_output();
  // Stops it; its exit status (-1 when killed by a signal).
  int stop();
  int wait();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

// A D-Bus system bus and an Avahi daemon on the namespace's loopback, for
// the time of one test; DBUS_SYSTEM_BUS_ADDRESS names the bus.
class PrivateAvahi {
 public:
  PrivateAvahi();
  ~PrivateAvahi();
  PrivateAvahi(const PrivateAvahi &) = delete;
  PrivateAvahi &operator=(const PrivateAvahi &) = delete;

  // Empty once the daemon answers, else why it does not.
  const std::string &error() const { return error_; }
  // Stops the Avahi daemon (the bus stays).
  void stop_daemon();

 private:
  std::string dir_;
  std::string error_;
  Child *bus_ = nullptr;
  Child *avahi_ = nullptr;
};

}  // namespace e2e
