#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <ctime>

namespace escl_sim::test {

namespace {

bool iequals(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The port of the device the last client connected to, for the Host
// header the request helpers write.
std::atomic<int> device_port{0};

}  // namespace

std::string host_header() { return "Host: 127.0.0.1:" + std::to_string(device_port.load()) + "\r\n"; }

std::string Answer::header(const std::string &name) const {
  for (const auto &h : headers)
    if (iequals(h.first, name)) return h.second;
  return {};
}

RawClient::RawClient(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
    fd_ = fd;
    device_port = port;
  } else if (fd >= 0) {
    close(fd);
  }
}

RawClient::~RawClient() {
  if (fd_ >= 0) close(fd_);
}

bool RawClient::send(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RawClient::fill(int timeout_ms) {
  if (eof_ || fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r <= 0) return false;
  char data[65536];
  ssize_t n = recv(fd_, data, sizeof data, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  buffer_.append(data, static_cast<size_t>(n));
  return true;
}

Answer RawClient::read_answer(int timeout_ms) {
  Answer a;
  size_t head_end;
  while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(timeout_ms)) return a;
  a.head = buffer_.substr(0, head_end + 4);
  size_t pos = head_end + 4;
  if (a.head.rfind("HTTP/1.1 ", 0) == 0) a.status = std::atoi(a.head.c_str() + 9);
  size_t line = a.head.find("\r\n") + 2;
  while (line < head_end) {
    size_t e = a.head.find("\r\n", line);
    std::string field = a.head.substr(line, e - line);
    size_t colon = field.find(':');
    if (colon != std::string::npos) {
      std::string value = field.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      a.headers.emplace_back(field.substr(0, colon), value);
    }
    line = e + 2;
  }
  a.chunked = iequals(a.header("Transfer-Encoding"), "chunked");
  std::string length = a.header("Content-Length");
  if (a.chunked) {
    while (true) {
      size_t eol;
      while ((eol = buffer_.find("\r\n", pos)) == std::string::npos)
        if (!fill(timeout_ms)) goto out;
      size_t size = std::strtoul(buffer_.c_str() + pos, nullptr, 16);
      size_t data = eol + 2;
      while (buffer_.size() < data + size + 2)
        if (!fill(timeout_ms)) goto out;
      if (buffer_.compare(data + size, 2, "\r\n") != 0) goto out;
      a.body.append(buffer_, data, size);
      pos = data + size + 2;
      if (size == 0) {
        a.complete = true;
        break;
      }
    }
  } else if (!length.empty()) {
    size_t n = std::strtoul(length.c_str(), nullptr, 10);
    while (buffer_.size() < pos + n)
      if (!fill(timeout_ms)) goto out;
    a.body = buffer_.substr(pos, n);
    pos += n;
    a.complete = true;
  } else if (a.status == 100 || a.status == 204 || a.status == 304) {
    a.complete = true;
  } else {
    while (fill(timeout_ms)) {
    }
    a.body = buffer_.substr(pos);
    pos = buffer_.size();
    a.complete = eof_;
  }
out:
  // An answer cut short takes everything that arrived.
  if (!a.complete || pos > buffer_.size()) pos = buffer_.size();
  a.raw = buffer_.substr(0, pos);
  buffer_.erase(0, pos);
  return a;
}

Answer RawClient::exchange(const std::string &request, int timeout_ms) {
  if (!send(request)) return {};
  return read_answer(timeout_ms);
}

bool RawClient::closed_by_peer(int timeout_ms) {
  while (fill(timeout_ms)) {
  }
  return eof_;
}

std::string RawClient::read_rest(int timeout_ms) {
  while (fill(timeout_ms)) {
  }
  std::string rest = std::move(buffer_);
  buffer_.clear();
  return rest;
}

std::string RawClient::read_some(size_t bytes, int timeout_ms) {
  while (buffer_.size() < bytes && fill(timeout_ms)) {
  }
  std::string some = std::move(buffer_);
  buffer_.clear();
  return some;
}

std::string RawClient::read_during(int ms) {
  timespec start{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= ms || !fill(static_cast<int>(ms - elapsed))) break;
  }
  std::string some = std::move(buffer_);
  buffer_.clear();
  return some;
}

std::string get(const std::string &path) { return "GET " + path + " HTTP/1.1\r\n" + host_header() + "\r\n"; }

std::string post_scan_job(const std::string &body) {
  return "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + host_header() + "\r\n" + body;
}

std::string del(const std::string &path) { return "DELETE " + path + " HTTP/1.1\r\n" + host_header() + "\r\n"; }

std::string chunk_of(const std::string &data) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

std::string scan_settings(const Settings &s) {
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings "
      "xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\" "
      "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:Version>2.0</pwg:Version>"
      "<scan:Intent>Photo</scan:Intent>";
  if (s.region) {
    doc += "<pwg:ScanRegions><pwg:ScanRegion><pwg:Height>" + std::to_string(s.height) +
           "</pwg:Height><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>"
           "<pwg:Width>" + std::to_string(s.width) + "</pwg:Width><pwg:XOffset>" +
           std::to_string(s.x_offset) + "</pwg:XOffset><pwg:YOffset>" + std::to_string(s.y_offset) +
           "</pwg:YOffset></pwg:ScanRegion></pwg:ScanRegions>";
  }
  doc += "<pwg:ContentType>Photo</pwg:ContentType><pwg:InputSource>" + s.source +
         "</pwg:InputSource><scan:XResolution>" + std::to_string(s.resolution) +
         "</scan:XResolution><scan:YResolution>" + std::to_string(s.resolution) +
         "</scan:YResolution><scan:ColorMode>" + s.color_mode + "</scan:ColorMode><scan:Duplex>" +
         (s.duplex ? "true" : "false") + "</scan:Duplex>";
  if (!s.format.empty()) doc += "<scan:DocumentFormatExt>" + s.format + "</scan:DocumentFormatExt>";
  doc += "</scan:ScanSettings>\r\n";
  return doc;
}

std::string job_id_of(const std::string &location) {
  const std::string prefix = "/eSCL/ScanJobs/";
  size_t p = location.find(prefix);
  if (p == std::string::npos) return {};
  std::string id = location.substr(p + prefix.size());
  if (!id.empty() && id.back() == '/') id.pop_back();
  return id;
}

}  // namespace escl_sim::test
