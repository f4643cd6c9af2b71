// The inside of Server, shared by its two halves: server.cpp (sockets,
// connection threads, start and stop) and routes.cpp (the eSCL requests and
// the answers the simulated device writes).
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capabilities.h"
#include "device.h"
#include "hostile.h"
#include "http_request.h"
#include "response.h"
#include "scan_pace.h"
#include "simulator.h"

namespace escl_sim {

struct Connection {
  std::thread thread;
  int fd = -1;  // guarded by Impl::conn_mutex; -1 once the thread closed it
  std::atomic<bool> done{false};
};

struct Server::Impl {
  Config cfg;
  DeviceModel model;
  std::unique_ptr<Device> device;
  std::string error;

  int listen_fd = -1;
  int wake_read = -1;   // readable once stop() began: every wait returns
  int wake_write = -1;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::thread accept_thread;

  std::mutex conn_mutex;
  std::list<Connection> connections;

  mutable std::mutex record_mutex;
  std::vector<std::string> requests;
  std::vector<std::string> request_heads;
  std::vector<std::string> pages;

  std::mutex log_mutex;

  explicit Impl(Config c) : cfg(std::move(c)) {}

  void accept_loop();
  void serve(Connection &conn);
  void reap_finished();

  // Socket helpers; false when the peer went away or stop() began.
  bool wait_for(int fd, short events);
  bool send_all(int fd, std::string_view data);
  void hold_until_closed(int fd);
  // Waits until `when`; false, at once, when stop() begins.
  bool pause_until(std::chrono::steady_clock::time_point when);

  // One request: writes its answer(s); false when the connection must end.
  bool handle(int fd, const Request &req);
  bool answer(int fd, const Request &req, Response r, RequestKind kind);
  std::string bad_request_prefix(RequestKind kind) const;
  bool send_page(int fd, const Request &req, const PageOrder &order);
  bool send_paced(int fd, std::string_view data, const ScanPace &pace, size_t &sent);
  // Writes an answer as the hostile behaviours say (hostile_send.cpp);
  // false when the connection must end.
  bool send_answer(int fd, const HostileSet &h, std::string_view wire, bool close);
  bool send_forever(int fd, std::string_view start, std::string_view unit);
  void record(const Request &req);
  void log(const Request &req, int status, size_t bytes);
  void note(const std::string &text);
};

}  // namespace escl_sim
