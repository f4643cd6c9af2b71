// The inside of Server, shared by its two halves: server.cpp (sockets,
// connection threads, start and stop) and routes.cpp (the eSCL requests and
// the answers the simulated device writes).
#pragma once

#include <sys/types.h>

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
#include "tls_context.h"

struct ssl_st;

namespace escl_sim {

struct Connection {
  std::thread thread;
  int fd = -1;  // guarded by Impl::conn_mutex; -1 once the thread closed it
  std::atomic<bool> done{false};
};

// The byte stream of one client connection: the socket itself, or a TLS
// session over it (the socket then non-blocking).
struct Link {
  int fd = -1;
  ssl_st *tls = nullptr;
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
  TlsContext tls;  // null: plain HTTP
  std::atomic<bool> stopping{false};
  std::thread accept_thread;

  std::mutex conn_mutex;
  std::list<Connection> connections;

  mutable std::mutex record_mutex;
  std::vector<std::string> requests;
  std::vector<std::string> request_heads;
  std::vector<std::string> pages;

  std::mutex log_mutex;

  std::atomic<int> pages_served{0};         // for damaged_page
  std::atomic<bool> job_answer_lost{false};  // lose_job_answer hits the first creation only

  explicit Impl(Config c) : cfg(std::move(c)) {}

  void accept_loop();
  void serve(Connection &conn);
  void reap_finished();

  // Socket helpers; false when the peer went away or stop() began.
  bool wait_for(int fd, short events);
  bool send_all(Link &link, std::string_view data);
  // Bytes read into buf (0: the peer closed); -1 with errno EAGAIN when
  // nothing is there yet, other errno values for a broken connection.
  ssize_t receive(Link &link, char *buf, size_t size);
  // Waits until receive() has something (or the end) to give.
  bool wait_readable(Link &link);
  // The TLS handshake of a new connection; false when it failed.
  bool start_tls(Link &link);
  void end_tls(Link &link);
  void hold_until_closed(Link &link);
  // Waits until `when`; false, at once, when stop() begins.
  bool pause_until(std::chrono::steady_clock::time_point when);

  // One request: writes its answer(s); false when the connection must end.
  bool handle(Link &link, const Request &req);
  bool answer(Link &link, const Request &req, Response r, RequestKind kind);
  std::string bad_request_prefix(RequestKind kind) const;
  bool send_page(Link &link, const Request &req, const PageOrder &order);
  bool send_paced(Link &link, std::string_view data, const ScanPace &pace, size_t &sent);
  // Writes an answer as the hostile behaviours say (hostile_send.cpp);
  // false when the connection must end.
  bool send_answer(Link &link, const HostileSet &h, std::string_view wire, bool close);
  bool send_forever(Link &link, std::string_view start, std::string_view unit);
  // The Server header of every answer.
  std::string server_name() const;
  // Whether the request's Host is one the device takes for this exchange.
  bool host_accepted(const Request &req, RequestKind kind) const;
  // The answer to a job creation, lost as lose_job_answer says; false when
  // the connection must end.
  bool lose_job_answer(Link &link, const Request &req);
  void record(const Request &req);
  void log(const Request &req, int status, size_t bytes);
  void note(const std::string &text);
};

}  // namespace escl_sim
