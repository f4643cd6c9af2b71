// The eSCL requests the simulated scanner serves, and the answers it writes,
// quirks and faults included.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "chart.h"
#include "image_codec.h"
#include "server_impl.h"
#include "xml_names.h"

namespace escl_sim {

namespace {

constexpr const char *kJobsPrefix = "/eSCL/ScanJobs/";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// A page that trickles: its first KiB at once, then 500 bytes a second.
constexpr long long kSlowPageRate = 500;
constexpr size_t kSlowPageStart = 1024;
// The embedded web server of a large maker's devices, as its Server header
// names it.
constexpr const char *kMakerServer = "Tern-EWS/4.12 (embedded)";

// The exchange a request belongs to, for the faults aimed at one.
RequestKind kind_of(const Request &req) {
  const std::string &path = req.path;
  if (path == "/eSCL/ScannerCapabilities") return RequestKind::kCapabilities;
  if (path == "/eSCL/ScannerStatus") return RequestKind::kStatus;
  if (path == "/eSCL/ScanJobs" || path == "/eSCL/ScanJobs/") return RequestKind::kCreateJob;
  if (path.rfind(kJobsPrefix, 0) != 0) return RequestKind::kAny;
  if (path.ends_with("/NextDocument")) return RequestKind::kNextDocument;
  if (req.method == "DELETE") return RequestKind::kDelete;
  return RequestKind::kAny;
}

}  // namespace

void Server::Impl::record(const Request &req) {
  std::lock_guard lock(record_mutex);
  requests.push_back(req.line);
  request_heads.push_back(req.head);
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

std::string Server::Impl::server_name() const { return cfg.host_localhost ? kMakerServer : "escl-sim"; }

bool Server::Impl::host_accepted(const Request &req, RequestKind kind) const {
  const std::string host = req.header("Host");
  // That device's web server takes a job only from a client that names it
  // localhost, as its own panel software does.
  if (cfg.host_localhost && kind == RequestKind::kCreateJob) return host_is_localhost(host);
  // Strict servers refuse a request without Host, as HTTP/1.1 says, and one
  // without a port, which their virtual-host check compares.
  return cfg.lenient_host || host_has_port(host);
}

bool Server::Impl::lose_job_answer(Link &link, const Request &req) {
  switch (cfg.lose_job_answer) {
    case LostJobAnswer::kGarbled:
      note("\"" + req.line + "\" 201 lost: garbled");
      if (send_all(link, "\x7f\x01\x02 JOB 201 CR\xC9\xC1TED\r\n\r\n")) hold_until_closed(link);
      return false;
    case LostJobAnswer::kCut: {
      note("\"" + req.line + "\" 201 lost: cut");
      Response r;
      r.status = 201;
      r.server = server_name();
      r.headers.emplace_back("Location", "/eSCL/ScanJobs/");
      const std::string head = response_head(r, cfg.lowercase_headers);
      send_all(link, std::string_view(head).substr(0, head.size() / 2));
      return false;
    }
    case LostJobAnswer::kSilent:
      note("\"" + req.line + "\" 201 lost: silent");
      hold_until_closed(link);
      return false;
    case LostJobAnswer::kNoLocation:
    case LostJobAnswer::kNone:
      break;
  }
  return true;
}

// Devices that answer "400 Bad Request" before the real answer, both on the
// same connection, back to back; the 400 has a short page of its own.
std::string Server::Impl::bad_request_prefix(RequestKind kind) const {
  std::string wire;
  if (cfg.bad_request_on != RequestKind::kAny && cfg.bad_request_on != kind) return wire;
  Response bad;
  bad.status = 400;
  bad.headers.emplace_back("Content-Type", "text/html");
  bad.body = "<html><body>400 Bad Request</body></html>\n";
  bad.server = server_name();
  for (int i = 0; i < cfg.bad_request_first; ++i) wire += serialize(bad, cfg.lowercase_headers, 0);
  return wire;
}

bool Server::Impl::answer(Link &link, const Request &req, Response r, RequestKind kind) {
  const HostileSet hostile(cfg.hostile, kind);
  r.server = server_name();
  // A device whose web server chunks every answer it builds.
  if (cfg.status_chunk_size > 0) r.framing = Framing::kChunked;
  r = hostile_response(hostile, std::move(r), port);
  if (hostile.has(Hostile::kEndlessChunked)) r.framing = Framing::kChunked;
  if (cfg.one_request_per_connection || !req.keep_alive) r.close = true;
  if (r.framing == Framing::kClose) r.close = true;
  std::string wire = bad_request_prefix(kind);
  // Devices that first answer a status request with an empty body.
  if (kind == RequestKind::kStatus && cfg.status_content_length_zero) {
    Response empty;
    empty.server = server_name();
    empty.headers.emplace_back("Content-Type", "text/xml");
    wire += serialize(empty, cfg.lowercase_headers, 0);
  }
  wire += hostile_head(hostile, serialize(r, cfg.lowercase_headers,
                                         cfg.status_chunk_size > 0 ? cfg.status_chunk_size : cfg.chunk_size));
  log(req, r.status, r.body.size());
  return send_answer(link, hostile, wire, r.close);
}

bool Server::Impl::send_page(Link &link, const Request &req, const PageOrder &order) {
  const HostileSet hostile(cfg.hostile, RequestKind::kNextDocument);
  // A device that fails after taking the page off the scanner.
  if (hostile.has(Hostile::kMoved) || hostile.has(Hostile::kServerError)) {
    device->page_sent(order.job_id, order.page);
    return answer(link, req, Response{}, RequestKind::kNextDocument);
  }
  const ScanSettings &s = order.settings;
  RowSource rows;
  rows.width = pixels_for(order.width_300, s.x_resolution);
  rows.height = pixels_for(order.height_300, s.y_resolution);
  rows.channels = s.color_mode == ColorMode::kRgb24 ? 3 : 1;
  rows.fill = [&](int y, uint8_t *row) {
    chart_row(s.x_resolution, s.y_resolution, order.x_offset_300, order.y_offset_300, rows.width, y,
              s.color_mode, order.side, row);
  };
  const bool huge = hostile.has(Hostile::kHugeProgressive);
  const int served = ++pages_served;
  const bool damaged = cfg.damaged_page > 0 && served == cfg.damaged_page;
  std::string page;
  if (huge) {
    page = huge_progressive_jpeg();
  } else if (order.format == "image/png") {
    // Black and white pages are 1-bit grey PNGs, as devices write them.
    const PngShape shape{s.color_mode == ColorMode::kBlackAndWhite1, cfg.png_interlaced};
    page = encode_png(rows, s.x_resolution, s.y_resolution, shape);
    if (damaged) damage_png(page);
  } else {
    page = encode_jpeg(rows, order.jpeg_quality, s.x_resolution, s.y_resolution);
    if (damaged) damage_jpeg(page, static_cast<uint64_t>(served));
    if (order.format == "application/pdf")
      page = wrap_in_pdf(page, rows.width, rows.height, rows.channels, s.x_resolution, s.y_resolution);
  }
  if (damaged) note("page " + std::to_string(served) + " damaged");
  if (hostile.has(Hostile::kCutPage)) page.resize(page.size() * 6 / 10);
  if (cfg.keep_pages) {
    std::lock_guard lock(record_mutex);
    pages.push_back(page);
  }

  Response head;
  head.server = server_name();
  head.headers.emplace_back("Content-Type", huge ? "image/jpeg" : order.format);
  head.framing = hostile.has(Hostile::kCountedPage) ? Framing::kContentLength : Framing::kChunked;
  if (cfg.one_request_per_connection || !req.keep_alive) head.close = true;
  std::string wire = bad_request_prefix(RequestKind::kNextDocument);
  if (hostile.any() && !hostile.has(Hostile::kSlowPage)) {
    // The whole answer at once, framed and damaged as the device does it.
    head.body = page;
    head = hostile_response(hostile, std::move(head), port);
    if (hostile.has(Hostile::kEndlessChunked)) head.framing = Framing::kChunked;
    std::string answer_wire = response_head(head, cfg.lowercase_headers);
    answer_wire += head.framing == Framing::kChunked ? hostile_chunks(hostile, page, cfg.chunk_size) : page;
    wire += hostile_head(hostile, answer_wire);
    log(req, 200, page.size());
    device->page_sent(order.job_id, order.page);
    return send_answer(link, hostile, wire, head.close);
  }
  wire += response_head(head, cfg.lowercase_headers);
  log(req, 200, page.size());

  // Page data in chunks. A stalling or dropping device stops after `cut`
  // bytes of page data; a chunk cut short has its size line sent whole.
  const long long cut = cfg.stall_image_at >= 0 ? cfg.stall_image_at : cfg.drop_image_at;
  const size_t chunk_size = cfg.chunk_size ? cfg.chunk_size : std::max<size_t>(page.size(), 1);
  const std::string_view data(page);
  bool ok = send_all(link, wire);
  // A scanning device has the first chunk ready; the rest follows its head.
  const bool slow = hostile.has(Hostile::kSlowPage);
  const size_t first_chunk = chunk(data.substr(0, std::min(chunk_size, data.size()))).size();
  const size_t head_start = cfg.head_start >= 0 ? static_cast<size_t>(cfg.head_start) : first_chunk;
  const ScanPace pace(slow ? kSlowPageRate : cfg.scan_rate, slow ? kSlowPageStart : head_start);
  size_t paced = 0;
  bool cut_hit = false;
  for (size_t pos = 0; ok && !cut_hit && pos < data.size(); pos += chunk_size) {
    std::string c = chunk(data.substr(pos, std::min(chunk_size, data.size() - pos)));
    const long long end = static_cast<long long>(std::min(pos + chunk_size, data.size()));
    if (cut >= 0 && end > cut) {
      size_t size_line = c.find("\r\n") + 2;
      c.resize(size_line + static_cast<size_t>(cut - static_cast<long long>(pos)));
      cut_hit = true;
    }
    ok = send_paced(link, c, pace, paced);
  }
  // A cut at or past the end of the data falls before the last chunk.
  if (cut >= 0 && !cut_hit) cut_hit = true;
  // The device's state moves on before the body ends, so that a client that
  // has read the whole page finds the job as the page left it.
  device->page_sent(order.job_id, order.page);
  if (ok && !cut_hit) ok = send_all(link, chunk({}));
  if (cut_hit) {
    if (ok && cfg.stall_image_at >= 0) hold_until_closed(link);
    return false;
  }
  return ok && !head.close;
}

bool Server::Impl::send_paced(Link &link, std::string_view data, const ScanPace &pace, size_t &sent) {
  while (!data.empty()) {
    const size_t n = pace.step(sent, data.size());
    if (!pause_until(pace.due(sent + n)) || !send_all(link, data.substr(0, n))) return false;
    data.remove_prefix(n);
    sent += n;
  }
  return true;
}

bool Server::Impl::handle(Link &link, const Request &req) {
  record(req);
  const std::string &path = req.path;
  const RequestKind kind = kind_of(req);
  auto xml = [this](int status, const std::string &body) {
    Response r;
    r.status = status;
    r.headers.emplace_back("Content-Type", "text/xml");
    r.body = rewrite_prefixes(body, cfg.namespace_prefixes);
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
    return answer(link, req, r, RequestKind::kAny);
  };

  if (!host_accepted(req, kind)) {
    note("Host refused: \"" + req.header("Host") + "\"");
    Response r = plain(400);
    r.headers.emplace_back("Content-Type", "text/html");
    r.body = "<html><body>400 Bad Request: Host</body></html>\n";
    return answer(link, req, r, kind);
  }

  // A device that speaks eSCL over TLS only sends plain requests there,
  // the same path on its TLS port, and does nothing else.
  if (cfg.redirect_to_https != 0) {
    Response r = plain(301);
    const std::string_view query = std::string_view(req.target).substr(
        std::min(req.target.size(), req.target.find('?')));
    r.headers.emplace_back("Location", "https://127.0.0.1:" + std::to_string(cfg.redirect_to_https) +
                                           path + std::string(query));
    return answer(link, req, r, RequestKind::kAny);
  }

  // A device that refuses does nothing else: no job made, none deleted,
  // no page taken.
  if (HostileSet(cfg.hostile, kind).refuses()) return answer(link, req, plain(200), kind);

  if (path == "/eSCL/ScannerCapabilities") {
    if (req.method != "GET") return wrong_method("GET");
    Response r = xml(200, hostile_capabilities(HostileSet(cfg.hostile, kind), model.capabilities));
    // Some devices write a byte-order mark and a line break before <?xml.
    if (cfg.capabilities_bom && !r.body.starts_with(kUtf8Bom))
      r.body.insert(0, std::string(kUtf8Bom) + "\n");
    r.framing = cfg.framing;
    return answer(link, req, r, RequestKind::kCapabilities);
  }
  if (path == "/eSCL/ScannerStatus") {
    if (req.method != "GET") return wrong_method("GET");
    Response r = xml(200, device->status_document());
    r.framing = cfg.status_chunked ? Framing::kChunked : cfg.framing;
    return answer(link, req, r, RequestKind::kStatus);
  }
  if (path == "/eSCL/ScanJobs" || path == "/eSCL/ScanJobs/") {
    if (req.method != "POST") return wrong_method("POST");
    ScanSettings settings;
    std::string reason;
    SettingsResult parsed = parse_scan_settings(req.body, settings, reason);
    if (parsed != SettingsResult::kOk) {
      note("ScanSettings refused: " + reason);
      return answer(link, req, plain(parsed == SettingsResult::kMalformed ? 400 : 409),
                    RequestKind::kCreateJob);
    }
    std::string id;
    int status = device->create_job(settings, id, reason);
    note(status == 201 ? "job " + id + ": " + describe(settings) : "job refused: " + reason);
    if (status != 201) {
      Response r = plain(status);
      if (status == 503) r.headers.emplace_back("Retry-After", "1");
      return answer(link, req, r, RequestKind::kCreateJob);
    }
    std::string location;
    // A device on TLS names its jobs by https URLs.
    std::string host = std::string(cfg.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    switch (cfg.location_style) {
      case LocationStyle::kAbsolute: location = host + kJobsPrefix + id; break;
      case LocationStyle::kRelative: location = kJobsPrefix + id; break;
      case LocationStyle::kTrailingSlash: location = host + kJobsPrefix + id + "/"; break;
    }
    // The first job's answer may get lost; the job runs all the same.
    const bool lost = cfg.lose_job_answer != LostJobAnswer::kNone && !job_answer_lost.exchange(true);
    if (lost && !lose_job_answer(link, req)) return false;
    Response r = plain(201);
    // A device without Location leaves its client no way to the job.
    if (!cfg.no_location && !(lost && cfg.lose_job_answer == LostJobAnswer::kNoLocation))
      r.headers.emplace_back("Location", hostile_location(HostileSet(cfg.hostile, kind), location));
    return answer(link, req, r, RequestKind::kCreateJob);
  }
  if (path.rfind(kJobsPrefix, 0) == 0) {
    std::string rest = path.substr(std::strlen(kJobsPrefix));
    size_t slash = rest.find('/');
    std::string id = rest.substr(0, slash);
    std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    if (id.empty()) return answer(link, req, plain(404), RequestKind::kAny);
    if (tail == "/NextDocument") {
      if (req.method != "GET") return wrong_method("GET");
      PageOrder order;
      std::string busy_text;
      int status = device->next_document(id, order, busy_text);
      if (status != 200) {
        Response r = plain(status);
        if (status == 503) r.headers.emplace_back("Retry-After", "1");
        if (!busy_text.empty()) {
          r.headers.emplace_back("Content-Type", "text/plain");
          r.body = std::move(busy_text);
        }
        return answer(link, req, r, RequestKind::kNextDocument);
      }
      return send_page(link, req, order);
    }
    if (tail == "/ScanImageInfo") {
      if (req.method != "GET") return wrong_method("GET");
      std::string doc;
      int status = device->image_info(id, doc);
      return answer(link, req, status == 200 ? xml(200, doc) : plain(status), RequestKind::kAny);
    }
    if (tail.empty() || tail == "/") {
      if (req.method != "DELETE") return wrong_method("DELETE");
      return answer(link, req, plain(device->delete_job(id)), RequestKind::kDelete);
    }
  }
  return answer(link, req, plain(404), RequestKind::kAny);
}

}  // namespace escl_sim
