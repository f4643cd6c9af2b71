#include "http_request.h"

#include <cctype>
#include <string_view>

namespace escl_sim {

namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool is_token_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Digits only; longer numbers than any body the limits allow are refused
// as malformed rather than wrapped around.
bool parse_length(std::string_view text, size_t &value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  return true;
}

// Path of a request target: origin form as is, absolute form without its
// scheme and authority; the query is dropped.
bool path_of(std::string_view target, std::string &path) {
  if (target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0) {
    size_t slash = target.find('/', target.find("//") + 2);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  if (target.empty() || target.front() != '/') return false;
  size_t q = target.find('?');
  path.assign(target.substr(0, q));
  return true;
}

// Decodes a chunked body starting at pos. kNeedMore until its last chunk
// and trailer are in; `end` is then the position after them.
ParseStatus dechunk(std::string_view data, size_t pos, std::string &body, size_t &end) {
  body.clear();
  while (true) {
    size_t eol = data.find("\r\n", pos);
    if (eol == std::string_view::npos)
      return data.size() - pos > 1024 ? ParseStatus::kBad : ParseStatus::kNeedMore;
    std::string_view line = data.substr(pos, eol - pos);
    size_t semi = line.find(';');
    if (semi != std::string_view::npos) line = line.substr(0, semi);
    line = trim(line);
    if (line.empty() || line.size() > 8) return ParseStatus::kBad;
    size_t size = 0;
    for (char c : line) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return ParseStatus::kBad;
      size = size * 16 + static_cast<size_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    pos = eol + 2;
    if (size == 0) {
      // Trailer fields, then the empty line.
      while (true) {
        size_t t = data.find("\r\n", pos);
        if (t == std::string_view::npos) return ParseStatus::kNeedMore;
        bool empty = t == pos;
        pos = t + 2;
        if (empty) {
          end = pos;
          return ParseStatus::kComplete;
        }
      }
    }
    if (body.size() + size > kMaxBodyBytes) return ParseStatus::kTooLarge;
    if (data.size() - pos < size + 2) return ParseStatus::kNeedMore;
    body.append(data.substr(pos, size));
    if (data.compare(pos + size, 2, "\r\n") != 0) return ParseStatus::kBad;
    pos += size + 2;
  }
}

}  // namespace

std::string Request::header(const std::string &name) const {
  for (const auto &h : headers)
    if (iequals(h.first, name)) return h.second;
  return {};
}

bool host_has_port(std::string_view host) {
  size_t colon;
  if (host.starts_with('[')) {
    const size_t close = host.find(']');
    if (close == std::string_view::npos || close + 1 >= host.size() || host[close + 1] != ':') return false;
    colon = close + 1;
  } else {
    colon = host.find(':');
    if (colon == 0 || colon == std::string_view::npos || host.find(':', colon + 1) != std::string_view::npos)
      return false;
  }
  const std::string_view port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

bool host_is_localhost(std::string_view host) {
  const size_t colon = host.find(':');
  if (colon != std::string_view::npos && !host_has_port(host)) return false;
  return iequals(host.substr(0, colon == std::string_view::npos ? host.size() : colon), "localhost");
}

ParseStatus take_request(std::string &buffer, Request &req) {
  // Blank lines before a request are tolerated (RFC 9112, 2.2).
  size_t start = 0;
  while (buffer.compare(start, 2, "\r\n") == 0) start += 2;
  size_t head_end = buffer.find("\r\n\r\n", start);
  if (head_end == std::string::npos) {
    if (buffer.size() - start > kMaxHeaderBytes) return ParseStatus::kTooLarge;
    return ParseStatus::kNeedMore;
  }
  if (head_end - start > kMaxHeaderBytes) return ParseStatus::kTooLarge;
  std::string_view head(buffer.data() + start, head_end - start);

  req = Request{};
  req.head.assign(buffer, start, head_end + 4 - start);
  size_t eol = head.find("\r\n");
  std::string_view line = head.substr(0, eol);
  req.line.assign(line);
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == std::string_view::npos || sp2 == std::string_view::npos || sp1 == 0) return ParseStatus::kBad;
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  for (char c : method)
    if (!is_token_char(c)) return ParseStatus::kBad;
  if (target.empty() || target.find(' ') != std::string_view::npos) return ParseStatus::kBad;
  if (version == "HTTP/1.1") {
    req.minor_version = 1;
  } else if (version == "HTTP/1.0") {
    req.minor_version = 0;
  } else {
    return ParseStatus::kBad;
  }
  req.method.assign(method);
  req.target.assign(target);
  if (!path_of(target, req.path)) return ParseStatus::kBad;

  std::string_view rest = eol == std::string_view::npos ? std::string_view() : head.substr(eol + 2);
  while (!rest.empty()) {
    size_t e = rest.find("\r\n");
    std::string_view field = rest.substr(0, e);
    rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 2);
    size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return ParseStatus::kBad;
    std::string_view name = field.substr(0, colon);
    for (char c : name)
      if (!is_token_char(c)) return ParseStatus::kBad;
    req.headers.emplace_back(std::string(name), std::string(trim(field.substr(colon + 1))));
  }

  std::string connection = req.header("Connection");
  for (auto &c : connection) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (req.minor_version == 0)
    req.keep_alive = connection.find("keep-alive") != std::string::npos;
  else
    req.keep_alive = connection.find("close") == std::string::npos;
  req.expects_continue = iequals(req.header("Expect"), "100-continue");

  const size_t body_start = head_end + 4;
  std::string transfer = req.header("Transfer-Encoding");
  std::string length_text = req.header("Content-Length");
  if (!transfer.empty()) {
    if (!iequals(transfer, "chunked") || !length_text.empty()) return ParseStatus::kBad;
    size_t end = 0;
    ParseStatus st = dechunk(buffer, body_start, req.body, end);
    if (st == ParseStatus::kNeedMore) return req.expects_continue ? ParseStatus::kHeadComplete : st;
    if (st != ParseStatus::kComplete) return st;
    buffer.erase(0, end);
    return ParseStatus::kComplete;
  }
  size_t length = 0;
  if (!length_text.empty()) {
    // Several Content-Length fields, or one that is not a plain number, make
    // the body length unknowable.
    int count = 0;
    for (const auto &h : req.headers) count += iequals(h.first, "Content-Length");
    if (count > 1 || !parse_length(length_text, length)) return ParseStatus::kBad;
    if (length > kMaxBodyBytes) return ParseStatus::kTooLarge;
  }
  if (buffer.size() - body_start < length)
    return req.expects_continue ? ParseStatus::kHeadComplete : ParseStatus::kNeedMore;
  req.body = buffer.substr(body_start, length);
  buffer.erase(0, body_start + length);
  return ParseStatus::kComplete;
}

}  // namespace escl_sim
