// Announcing an eSCL service through the Avahi daemon, as a scanner does:
// used by the simulator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bbescl::discovery {

class Announcement {
 public:
  Announcement();
  ~Announcement();
  Announcement(const Announcement &) = delete;
  Announcement &operator=(const Announcement &) = delete;

  // Announces instance `name` of _uscan._tcp (_uscans._tcp with `tls`) at
  // `port` with the TXT record
  // `txt` ("key=value" strings) on the loopback interface over IPv4, where
  // the simulator listens, and waits up to `millis` until the name is
  // established on the network.  False with the reason otherwise.
  bool start(const std::string &name, uint16_t port, bool tls, const std::vector<std::string> &txt, int millis,
             std::string &error);

  struct State;  // the daemon's client and what it reports, shared with its thread

 private:
  std::unique_ptr<State> state_;
};

}  // namespace bbescl::discovery
