// The HTTP front of the simulated scanner: a listening socket on 127.0.0.1,
// a thread per client connection, and the eSCL routes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "capabilities.h"
#include "chart.h"
#include "device.h"
#include "http_request.h"
#include "image_codec.h"
#include "response.h"
#include "simulator.h"

namespace escl_sim {

namespace {

constexpr const char *kJobsPrefix = "/eSCL/ScanJobs/";

struct Connection {
  std::thread thread;
  int fd = -1;  // guarded by Impl::conn_mutex; -1 once the thread closed it
  std::atomic<bool> done{false};
};

}  // namespace

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

  // One request: writes its answer(s); false when the connection must end.
  bool handle(int fd, const Request &req);
  bool answer(int fd, const Request &req, Response r, RequestKind kind);
  std::string bad_request_prefix(RequestKind kind) const;
  bool send_page(int fd, const Request &req, const PageOrder &order);
  void log(const Request &req, int status, size_t bytes);
  void note(const std::string &text);
};

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

bool Server::Impl::send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT)) return false;
      continue;
    }
    return false;
  }
  return true;
}

// A stalled device keeps the connection open and sends nothing more; it
// lets go when the client closes or the simulator stops.
void Server::Impl::hold_until_closed(int fd) {
  char scratch[4096];
  while (wait_for(fd, POLLIN)) {
    ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) return;
  }
}

void Server::Impl::log(const Request &req, int status, size_t bytes) {
  note("\"" + req.line + "\" " + std::to_string(status) + " " + std::to_string(bytes));
}

void Server::Impl::note(const std::string &text) {
  if (!cfg.log_requests) return;
  std::string line = "escl-sim: " + text + "\n";
  std::lock_guard lock(log_mutex);
  fputs(line.c_str(), stderr);
  fflush(stderr);
}

// Devices that answer "400 Bad Request" before the real answer, both on the
// same connection, back to back.
std::string Server::Impl::bad_request_prefix(RequestKind kind) const {
  std::string wire;
  if (cfg.bad_request_on != RequestKind::kAny && cfg.bad_request_on != kind) return wire;
  Response bad;
  bad.status = 400;
  for (int i = 0; i < cfg.bad_request_first; ++i) wire += serialize(bad, cfg.lowercase_headers, 0);
  return wire;
}

bool Server::Impl::answer(int fd, const Request &req, Response r, RequestKind kind) {
  if (cfg.one_request_per_connection || !req.keep_alive) r.close = true;
  if (r.framing == Framing::kClose) r.close = true;
  std::string wire = bad_request_prefix(kind);
  // Devices that first answer a status request with an empty body.
  if (kind == RequestKind::kStatus && cfg.status_content_length_zero) {
    Response empty;
    empty.headers.emplace_back("Content-Type", "text/xml");
    wire += serialize(empty, cfg.lowercase_headers, 0);
  }
  wire += serialize(r, cfg.lowercase_headers, cfg.chunk_size);
  log(req, r.status, r.body.size());
  bool ok = send_all(fd, wire);
  return ok && !r.close;
}

bool Server::Impl::send_page(int fd, const Request &req, const PageOrder &order) {
  const ScanSettings &s = order.settings;
  RowSource rows;
  rows.width = pixels_for(order.width_300, s.x_resolution);
  rows.height = pixels_for(order.height_300, s.y_resolution);
  rows.channels = s.color_mode == ColorMode::kRgb24 ? 3 : 1;
  rows.fill = [&](int y, uint8_t *row) {
    chart_row(s.x_resolution, s.y_resolution, order.x_offset_300, order.y_offset_300, rows.width, y,
              s.color_mode, row);
  };
  std::string page = order.format == "image/png"
                         ? encode_png(rows, s.x_resolution, s.y_resolution)
                         : encode_jpeg(rows, cfg.jpeg_quality, s.x_resolution, s.y_resolution);
  if (cfg.keep_pages) {
    std::lock_guard lock(record_mutex);
    pages.push_back(page);
  }

  Response head;
  head.headers.emplace_back("Content-Type", order.format);
  head.framing = Framing::kChunked;
  if (cfg.one_request_per_connection || !req.keep_alive) head.close = true;
  std::string wire = bad_request_prefix(RequestKind::kNextDocument);
  wire += response_head(head, cfg.lowercase_headers);
  log(req, 200, page.size());

  // Page data in chunks. A stalling or dropping device stops after `cut`
  // bytes of page data; a chunk cut short has its size line sent whole.
  const long long cut = cfg.stall_image_at >= 0 ? cfg.stall_image_at : cfg.drop_image_at;
  const size_t chunk_size = cfg.chunk_size ? cfg.chunk_size : std::max<size_t>(page.size(), 1);
  const std::string_view data(page);
  bool ok = send_all(fd, wire);
  bool cut_hit = false;
  for (size_t pos = 0; ok && !cut_hit && pos < data.size(); pos += chunk_size) {
    std::string c = chunk(data.substr(pos, std::min(chunk_size, data.size() - pos)));
    const long long end = static_cast<long long>(std::min(pos + chunk_size, data.size()));
    if (cut >= 0 && end > cut) {
      size_t size_line = c.find("\r\n") + 2;
      c.resize(size_line + static_cast<size_t>(cut - static_cast<long long>(pos)));
      cut_hit = true;
    }
    ok = send_all(fd, c);
  }
  // A cut at or past the end of the data falls before the last chunk.
  if (cut >= 0 && !cut_hit) cut_hit = true;
  if (ok && !cut_hit) ok = send_all(fd, chunk({}));
  device->page_sent(order.job_id, order.page);
  if (cut_hit) {
    if (ok && cfg.stall_image_at >= 0) hold_until_closed(fd);
    return false;
  }
  return ok && !head.close;
}

bool Server::Impl::handle(int fd, const Request &req) {
  {
    std::lock_guard lock(record_mutex);
    requests.push_back(req.line);
  }
  const std::string &path = req.path;
  auto xml = [](int status, std::string body) {
    Response r;
    r.status = status;
    r.headers.emplace_back("Content-Type", "text/xml");
    r.body = std::move(body);
    return r;
  };
  auto plain = [](int status) {
    Response r;
    r.status = status;
    return r;
  };
  auto wrong_method = [&](const char *allowed) {
    Response r = plain(405);
    r.headers.emplace_back("Allow", allowed);
    return answer(fd, req, r, RequestKind::kAny);
  };

  if (path == "/eSCL/ScannerCapabilities") {
    if (req.method != "GET") return wrong_method("GET");
    Response r = xml(200, model.capabilities);
    r.framing = cfg.framing;
    return answer(fd, req, r, RequestKind::kCapabilities);
  }
  if (path == "/eSCL/ScannerStatus") {
    if (req.method != "GET") return wrong_method("GET");
    Response r = xml(200, device->status_document());
    r.framing = cfg.status_chunked ? Framing::kChunked : cfg.framing;
    return answer(fd, req, r, RequestKind::kStatus);
  }
  if (path == "/eSCL/ScanJobs" || path == "/eSCL/ScanJobs/") {
    if (req.method != "POST") return wrong_method("POST");
    ScanSettings settings;
    std::string reason;
    SettingsResult parsed = parse_scan_settings(req.body, settings, reason);
    if (parsed != SettingsResult::kOk) {
      note("ScanSettings refused: " + reason);
      return answer(fd, req, plain(parsed == SettingsResult::kMalformed ? 400 : 409),
                    RequestKind::kCreateJob);
    }
    std::string id;
    int status = device->create_job(settings, id, reason);
    note(status == 201 ? "job " + id + ": " + describe(settings) : "job refused: " + reason);
    if (status != 201) {
      Response r = plain(status);
      if (status == 503) r.headers.emplace_back("Retry-After", "1");
      return answer(fd, req, r, RequestKind::kCreateJob);
    }
    std::string location;
    std::string host = "http://127.0.0.1:" + std::to_string(port);
    switch (cfg.location_style) {
      case LocationStyle::kAbsolute: location = host + kJobsPrefix + id; break;
      case LocationStyle::kRelative: location = kJobsPrefix + id; break;
      case LocationStyle::kTrailingSlash: location = host + kJobsPrefix + id + "/"; break;
    }
    Response r = plain(201);
    r.headers.emplace_back("Location", location);
    return answer(fd, req, r, RequestKind::kCreateJob);
  }
  if (path.rfind(kJobsPrefix, 0) == 0) {
    std::string rest = path.substr(std::strlen(kJobsPrefix));
    size_t slash = rest.find('/');
    std::string id = rest.substr(0, slash);
    std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    if (id.empty()) return answer(fd, req, plain(404), RequestKind::kAny);
    if (tail == "/NextDocument") {
      if (req.method != "GET") return wrong_method("GET");
      PageOrder order;
      int status = device->next_document(id, order);
      if (status != 200) {
        Response r = plain(status);
        if (status == 503) r.headers.emplace_back("Retry-After", "1");
        return answer(fd, req, r, RequestKind::kNextDocument);
      }
      return send_page(fd, req, order);
    }
    if (tail == "/ScanImageInfo") {
      if (req.method != "GET") return wrong_method("GET");
      std::string doc;
      int status = device->image_info(id, doc);
      return answer(fd, req, status == 200 ? xml(200, doc) : plain(status), RequestKind::kAny);
    }
    if (tail.empty() || tail == "/") {
      if (req.method != "DELETE") return wrong_method("DELETE");
      return answer(fd, req, plain(device->delete_job(id)), RequestKind::kAny);
    }
  }
  return answer(fd, req, plain(404), RequestKind::kAny);
}

void Server::Impl::serve(Connection &conn) {
  const int fd = conn.fd;
  std::string buffer;
  char scratch[16384];
  bool continue_sent = false;
  bool open = true;
  while (open) {
    Request req;
    ParseStatus st = take_request(buffer, req);
    if (st == ParseStatus::kComplete) {
      continue_sent = false;
      open = handle(fd, req);
      continue;
    }
    if (st == ParseStatus::kBad || st == ParseStatus::kTooLarge) {
      Response r;
      r.status = st == ParseStatus::kBad ? 400 : (buffer.find("\r\n\r\n") == std::string::npos ||
                                                          buffer.find("\r\n\r\n") > kMaxHeaderBytes
                                                      ? 431
                                                      : 413);
      r.close = true;
      {
        std::lock_guard lock(record_mutex);
        requests.push_back(req.line);
      }
      note("\"" + req.line + "\" " + std::to_string(r.status) + " (refused)");
      send_all(fd, serialize(r, cfg.lowercase_headers, 0));
      break;
    }
    if (st == ParseStatus::kHeadComplete && !continue_sent) {
      continue_sent = true;
      if (!send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n")) break;
    }
    if (!wait_for(fd, POLLIN)) break;
    ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
    buffer.append(scratch, static_cast<size_t>(n));
  }
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
  s.device = std::make_unique<Device>(s.cfg, s.model);
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
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/";
}

std::string Server::last_error() const { return impl_->error; }

std::vector<std::string> Server::requests() const {
  std::lock_guard lock(impl_->record_mutex);
  return impl_->requests;
}

std::vector<std::string> Server::pages_sent() const {
  std::lock_guard lock(impl_->record_mutex);
  return impl_->pages;
}

int Server::jobs_alive() const { return impl_->device ? impl_->device->jobs_alive() : 0; }

}  // namespace escl_sim
