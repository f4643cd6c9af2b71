#include "capabilities_probe.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kvchan/device_uri.h"
#include "kvchan/tcp_socket.h"

namespace bbescl {

namespace {

// Enough for the head of any capabilities document; MakeAndModel comes first.
constexpr size_t kMostRead = 64 * 1024;

// The text of the first element whose name ends with `name` ("MakeAndModel"
// matches <pwg:MakeAndModel> and <scan:MakeAndModel>), entities of
// markup decoded; empty when there is none.
std::string element_text(std::string_view document, std::string_view name) {
  for (size_t at = document.find(name); at != std::string_view::npos; at = document.find(name, at + 1)) {
    const size_t open = document.rfind('<', at);
    if (open == std::string_view::npos || document.substr(open + 1, at - open - 1).find_first_of("</> ") !=
                                              std::string_view::npos)
      continue;
    if (at + name.size() >= document.size() || document[at + name.size()] != '>') continue;
    const size_t start = at + name.size() + 1;
    const size_t end = document.find('<', start);
    if (end == std::string_view::npos) return {};
    std::string text;
    std::string_view raw = document.substr(start, end - start);
    while (!raw.empty()) {
      static constexpr std::pair<std::string_view, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool decoded = false;
      for (const auto &[entity, c] : kEntities) {
        if (raw.substr(0, entity.size()) == entity) {
          text += c;
          raw.remove_prefix(entity.size());
          decoded = true;
          break;
        }
      }
      if (!decoded) {
        text += raw.front();
        raw.remove_prefix(1);
      }
    }
    return text;
  }
  return {};
}

bool has_element(std::string_view document, std::string_view name) {
  return document.find(":" + std::string(name) + ">") != std::string_view::npos;
}

// "http://HOST:PORT/..." → "HOST:PORT" for the Host header.
std::string_view authority_of(std::string_view uri) {
  const size_t start = uri.find("://");
  uri.remove_prefix(start == std::string_view::npos ? 0 : start + 3);
  return uri.substr(0, uri.find_first_of("/?#"));
}

bool send_all(int fd, std::string_view data, kvchan::Deadline deadline) {
  while (!data.empty()) {
    if (kvchan::wait_for(fd, POLLOUT, deadline) != kvchan::Wait::ready) return false;
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

DeviceFacts facts_of_capabilities(std::string_view document) {
  DeviceFacts facts;
  facts.make_and_model = element_text(document, "MakeAndModel");
  facts.uuid = element_text(document, "UUID");
  const bool platen = has_element(document, "Platen");
  const bool feeder = has_element(document, "Adf");
  if (platen) facts.input_sources = "platen";
  if (feeder) facts.input_sources += platen ? ",adf" : "adf";
  return facts;
}

DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline) {
  const kvchan::UriParse parsed = kvchan::parse_device_uri(uri);
  if (!parsed.ok) return {};
  std::string error;
  kvchan::Socket socket = kvchan::connect_tcp(parsed.address, deadline, error);
  if (!socket.valid()) return {};
  const std::string request = "GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHost: " +
                              std::string(authority_of(uri)) + "\r\nConnection: close\r\n\r\n";
  if (!send_all(socket.fd(), request, deadline)) return {};
  std::string answer;
  char buffer[4096];
  // The sources follow the make and model: read until the device closes,
  // the document ends, or the time is up.
  while (answer.size() < kMostRead && answer.find("</scan:ScannerCapabilities>") == std::string::npos) {
    if (kvchan::wait_for(socket.fd(), POLLIN, deadline) != kvchan::Wait::ready) break;
    const ssize_t n = recv(socket.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0 && answer.compare(0, 12, "HTTP/1.0 200") != 0) return {};
  return facts_of_capabilities(answer);
}

}  // namespace bbescl
