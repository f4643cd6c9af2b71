// A raw HTTP/1.1 client for the simulator's tests: writes exactly the bytes
// given and reads answers back with their framing checked, so the tests see
// what a device sends on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace escl_sim::test {

struct Answer {
  int status = 0;
  std::string head;  // status line and header fields, with line ends
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // de-chunked
  std::string raw;   // everything read for this answer
  bool chunked = false;
  bool complete = false;  // framing ended where it said it would
  std::string header(const std::string &name) const;  // case-insensitive
};

class RawClient {
 public:
  explicit RawClient(uint16_t port);
  ~RawClient();
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string &bytes);
  // Reads one answer. Without Content-Length or chunking the body runs to
  // the end of the connection. Gives up after timeout_ms without bytes.
  Answer read_answer(int timeout_ms = 5000);
  // Writes a request and reads its answer.
  Answer exchange(const std::string &request, int timeout_ms = 5000);
  // True when the server closed the connection (reads end) within timeout_ms.
  bool closed_by_peer(int timeout_ms = 5000);
  // Bytes received but not yet taken by read_answer.
  const std::string &pending() const { return buffer_; }
  // Reads whatever arrives until the connection closes or timeout_ms passes.
  std::string read_rest(int timeout_ms);
  // Reads until `bytes` are pending, the connection closes or timeout_ms
  // passes without bytes; takes and returns everything pending. For
  // answers that never end.
  std::string read_some(size_t bytes, int timeout_ms);
  // Takes whatever arrives within the next `ms` milliseconds.
  std::string read_during(int ms);

 private:
  bool fill(int timeout_ms);  // false on end of connection or time out
  int fd_ = -1;
  bool eof_ = false;
  std::string buffer_;
};

// Requests as a client writes them, with the Host header (host_header())
// naming 127.0.0.1 and the port of the device the last RawClient connected
// to, as strict devices want it.
std::string host_header();
std::string get(const std::string &path);
std::string post_scan_job(const std::string &settings_xml);
std::string del(const std::string &path);

// One chunk of chunked transfer coding.
std::string chunk_of(const std::string &data);

// A ScanSettings document.
struct Settings {
  std::string source = "Platen";
  bool duplex = false;
  int resolution = 75;
  std::string color_mode = "RGB24";
  int width = 300, height = 300, x_offset = 0, y_offset = 0;
  bool region = true;
  std::string format;  // empty: no DocumentFormatExt element
};
std::string scan_settings(const Settings &s);

// Job id from a Location value (absolute, relative or trailing slash).
std::string job_id_of(const std::string &location);

}  // namespace escl_sim::test
