#include "hostile.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "image_codec.h"

namespace escl_sim {

namespace {

using H = Hostile;
using K = RequestKind;

// Declared in the order of the enum: hostile_info indexes it.
constexpr HostileInfo kTable[] = {
    {H::kGarbageLines, "garbage-lines", K::kStatus, K::kAny,
     "endless lines of text instead of a status line"},
    {H::kEndlessChunked, "endless-chunked", K::kStatus, K::kAny,
     "200 OK, then chunks of blanks after the body, for ever"},
    {H::kEndless404, "endless-404", K::kStatus, K::kAny,
     "404 Not Found, its body framed by nothing and endless (nothing done)"},
    {H::kEndless503, "endless-503", K::kStatus, K::kAny,
     "the same with 503 Service Unavailable (nothing done)"},
    {H::kTrickle, "trickle", K::kStatus, K::kAny, "the whole answer at one byte a second"},
    {H::kSilent, "silent", K::kCreateJob, K::kAny,
     "no answer at all, the connection held open (the request acted on)"},
    {H::kMoved, "moved", K::kCreateJob, K::kAny,
     "301 Moved Permanently to /eSCL/Moved (the request acted on)"},
    {H::kUnauthorized, "unauthorized", K::kCreateJob, K::kAny,
     "401 Unauthorized (nothing done)"},
    {H::kServerError, "server-error", K::kCreateJob, K::kAny,
     "500 Internal Server Error (the request acted on)"},
    {H::kEmptyThen503, "empty-then-503", K::kStatus, K::kAny,
     "\"200 OK\", Content-Length: 0, then a 503 (nothing done)"},
    {H::kNoReason, "no-reason", K::kAny, K::kAny, "status lines without reason phrase (\"HTTP/1.1 201\")"},
    {H::kHttp10, "http-1.0", K::kAny, K::kAny,
     "HTTP/1.0 answers, bodies (pages too) counted, then a close"},
    {H::kContinueFirst, "continue-first", K::kAny, K::kAny, "\"100 Continue\" before every answer"},
    {H::kNulInHeader, "nul-in-header", K::kAny, K::kAny,
     "a header line with a NUL byte before the answer's other fields"},
    {H::kLong404, "long-404", K::kNextDocument, K::kAny,
     "404 answers carry a 10 KB text body, framed by Content-Length"},
    {H::kHugeProgressive, "huge-progressive", K::kNextDocument, K::kNextDocument,
     "the page is a 3 KB progressive JPEG whose header says 60000 x 60000"},
    {H::kChunkWithoutCrlf, "chunk-no-crlf", K::kNextDocument, K::kNextDocument,
     "the page's first chunk is followed by two bytes other than CR LF"},
    {H::kCutPage, "cut-page", K::kNextDocument, K::kNextDocument,
     "the page's image data ends at 60 %, the chunked framing whole"},
    {H::kCountedPage, "counted-page", K::kNextDocument, K::kNextDocument,
     "the page framed by Content-Length instead of chunks"},
    {H::kChunkExtensions, "chunk-extensions", K::kNextDocument, K::kNextDocument,
     "every chunk-size line of the page carries a 100-byte extension"},
    {H::kSlowPage, "slow-page", K::kNextDocument, K::kNextDocument,
     "after its first KiB the page comes at 500 bytes a second"},
    {H::kLongLocation, "long-location", K::kCreateJob, K::kCreateJob,
     "the job is created, its Location runs to 10 KB"},
    {H::kLocationLf, "location-lf", K::kCreateJob, K::kCreateJob,
     "Location ends in a bare LF followed by \"X-Injected: DELETE\""},
    {H::kLocationDotDot, "location-dotdot", K::kCreateJob, K::kCreateJob,
     "the job is created, its Location is /eSCL/ScanJobs/.."},
    {H::kNegativeWidth, "negative-width", K::kCapabilities, K::kCapabilities,
     "the platen's MaxWidth is negative"},
    {H::kNegativeResolution, "negative-resolution", K::kCapabilities, K::kCapabilities,
     "300 dpi in lists, and the least of ranges, negative"},
    {H::kHugeResolution, "huge-resolution", K::kCapabilities, K::kCapabilities,
     "the highest resolution of lists and ranges reads 2147483647"},
    {H::kLongCapabilities, "long-capabilities", K::kCapabilities, K::kCapabilities,
     "40 KB of vendor elements before the first input source"},
};

constexpr struct {
  const char *name;
  RequestKind kind;
} kExchanges[] = {
    {"any", K::kAny},           {"capabilities", K::kCapabilities}, {"status", K::kStatus},
    {"create", K::kCreateJob},  {"document", K::kNextDocument},     {"delete", K::kDelete},
};

const char *exchange_name(RequestKind kind) {
  for (const auto &e : kExchanges)
    if (e.kind == kind) return e.name;
  return "any";
}

std::string repeat_to(std::string_view unit, size_t size) {
  std::string out;
  while (out.size() < size) out += unit;
  out.resize(size);
  return out;
}

// Replaces the text of every <scan:NAME> element equal to `from`.
void replace_values(std::string &doc, std::string_view name, std::string_view from, std::string_view to) {
  const std::string open = "<scan:" + std::string(name) + ">";
  const std::string whole = open + std::string(from) + "</";
  for (size_t at = doc.find(whole); at != std::string::npos; at = doc.find(whole, at + open.size()))
    doc.replace(at + open.size(), from.size(), to);
}

// The values of every <scan:NAME> element.
std::vector<long long> values_of(const std::string &doc, std::string_view name) {
  std::vector<long long> values;
  const std::string open = "<scan:" + std::string(name) + ">";
  for (size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at + 1))
    values.push_back(std::atoll(doc.c_str() + at + open.size()));
  return values;
}

}  // namespace

const HostileInfo &hostile_info(Hostile h) { return kTable[static_cast<size_t>(h)]; }

bool parse_request_kind(std::string_view word, RequestKind &kind) {
  for (const auto &e : kExchanges)
    if (word == e.name) {
      kind = e.kind;
      return true;
    }
  return false;
}

bool parse_hostile(std::string_view word, HostileRule &rule, std::string &error) {
  const size_t at = word.find('@');
  const std::string_view name = word.substr(0, at);
  const HostileInfo *info = nullptr;
  for (const HostileInfo &i : kTable)
    if (name == i.name) info = &i;
  if (!info) {
    error = "unknown hostile behaviour " + std::string(name);
    return false;
  }
  rule.behaviour = info->behaviour;
  rule.on = info->default_on;
  if (at == std::string_view::npos) return true;
  const std::string_view exchange = word.substr(at + 1);
  if (!parse_request_kind(exchange, rule.on)) {
    error = "unknown exchange " + std::string(exchange);
    return false;
  }
  if (info->only_on != K::kAny && rule.on != info->only_on) {
    error = std::string(info->name) + " hits the " + exchange_name(info->only_on) + " exchange only";
    return false;
  }
  return true;
}

std::string hostile_usage() {
  std::string out;
  for (const HostileInfo &i : kTable) {
    out += std::string("    ") + i.name + " (" + exchange_name(i.default_on) + ")\n        " + i.help + "\n";
  }
  return out;
}

HostileSet::HostileSet(const std::vector<HostileRule> &rules, RequestKind kind) {
  for (const HostileRule &r : rules)
    if (r.on == K::kAny || r.on == kind) bits_ |= uint64_t{1} << static_cast<unsigned>(r.behaviour);
}

bool HostileSet::refuses() const {
  return has(H::kUnauthorized) || has(H::kEndless404) || has(H::kEndless503) || has(H::kEmptyThen503);
}

bool HostileSet::endless() const {
  return has(H::kGarbageLines) || has(H::kEndlessChunked) || has(H::kEndless404) ||
         has(H::kEndless503) || has(H::kSilent);
}

Response hostile_response(const HostileSet &h, Response r, uint16_t port) {
  auto refusal = [](int status) {
    Response out;
    out.status = status;
    out.headers.emplace_back("Content-Type", "text/html");
    out.body = "<html><body><h1>" + std::to_string(status) + " " + reason_phrase(status) +
               "</h1></body></html>\n";
    return out;
  };
  if (h.has(H::kUnauthorized)) {
    Response out = refusal(401);
    out.headers.emplace_back("WWW-Authenticate", "Basic realm=\"scanner\"");
    return out;
  }
  if (h.has(H::kMoved)) {
    Response out = refusal(301);
    out.headers.emplace_back("Location", "http://127.0.0.1:" + std::to_string(port) + "/eSCL/Moved");
    return out;
  }
  if (h.has(H::kServerError)) return refusal(500);
  if (h.has(H::kEmptyThen503)) {
    Response out = refusal(503);
    out.headers.emplace_back("Retry-After", "1");
    return out;
  }
  if (h.has(H::kLong404) && r.status == 404) {
    r.headers.emplace_back("Content-Type", "text/plain");
    r.body = long_not_found_body();
    r.framing = Framing::kContentLength;
  }
  if (h.has(H::kHttp10)) {
    // No chunks in HTTP/1.0: a body is counted, and the device closes.
    if (r.framing == Framing::kChunked) r.framing = Framing::kContentLength;
    r.close = true;
  }
  return r;
}

std::string hostile_head(const HostileSet &h, std::string wire) {
  const size_t line_end = wire.find("\r\n");
  if (line_end == std::string::npos) return wire;
  if (h.has(H::kNulInHeader)) {
    using namespace std::string_literals;
    wire.insert(line_end + 2, "X-Device-Note: ready\0 at once\r\n"s);
  }
  if (h.has(H::kNoReason)) {
    // "HTTP/1.1 201 Created" -> "HTTP/1.1 201"
    const size_t second_space = wire.find(' ', wire.find(' ') + 1);
    if (second_space < line_end) wire.erase(second_space, line_end - second_space);
  }
  if (h.has(H::kHttp10) && wire.starts_with("HTTP/1.1")) wire[7] = '0';
  if (h.has(H::kEmptyThen503)) wire.insert(0, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  if (h.has(H::kContinueFirst)) wire.insert(0, "HTTP/1.1 100 Continue\r\n\r\n");
  return wire;
}

std::string hostile_location(const HostileSet &h, const std::string &location) {
  if (h.has(H::kLongLocation)) return location + repeat_to("0123456789abcdef", 10240 - location.size());
  if (h.has(H::kLocationLf)) return location + "\nX-Injected: DELETE";
  if (h.has(H::kLocationDotDot)) return "/eSCL/ScanJobs/..";
  return location;
}

std::string hostile_capabilities(const HostileSet &h, std::string doc) {
  if (h.has(H::kNegativeWidth)) {
    const std::string open = "<scan:MaxWidth>";
    const size_t at = doc.find(open);
    if (at != std::string::npos) doc.insert(at + open.size(), "-");
  }
  if (h.has(H::kNegativeResolution)) {
    for (const char *axis : {"XResolution", "YResolution"}) replace_values(doc, axis, "300", "-300");
    for (long long least : values_of(doc, "Min"))
      replace_values(doc, "Min", std::to_string(least), "-" + std::to_string(least));
  }
  if (h.has(H::kHugeResolution)) {
    const std::string most = std::to_string(INT_MAX);
    for (const char *element : {"XResolution", "YResolution", "Max"}) {
      const std::vector<long long> values = values_of(doc, element);
      if (!values.empty())
        replace_values(doc, element, std::to_string(*std::max_element(values.begin(), values.end())), most);
    }
  }
  if (h.has(H::kLongCapabilities)) {
    size_t first = std::string::npos;
    for (const char *source : {"<scan:Platen>", "<scan:Adf>", "<scan:Camera>"})
      first = std::min(first, doc.find(source));
    if (first == std::string::npos) first = doc.rfind("</scan:ScannerCapabilities>");
    std::string padding;
    for (int k = 0; padding.size() < 40 * 1024; ++k)
      padding += "  <scan:VendorSetting><scan:Name>setting-" + std::to_string(k) +
                 "</scan:Name><scan:Value>unused by eSCL clients</scan:Value></scan:VendorSetting>\n";
    if (first != std::string::npos) doc.insert(first, padding);
  }
  return doc;
}

std::string hostile_chunks(const HostileSet &h, std::string_view page, size_t chunk_size) {
  // ";x-scan=" and a value: 100 bytes after the size.
  const std::string extension =
      h.has(H::kChunkExtensions) ? ";x-scan=" + repeat_to("stripe", 100 - 8) : std::string();
  if (chunk_size == 0) chunk_size = std::max<size_t>(page.size(), 1);
  std::string out;
  for (size_t pos = 0;; pos += chunk_size) {
    const std::string_view piece = page.substr(std::min(pos, page.size()), chunk_size);
    char size_line[24];
    std::snprintf(size_line, sizeof size_line, "%zx", piece.size());
    out += size_line + extension + "\r\n";
    out += piece;
    if (piece.empty()) {
      out += "\r\n";
      return out;
    }
    out += h.has(H::kChunkWithoutCrlf) && pos == 0 ? "XY" : "\r\n";
  }
}

std::string huge_progressive_jpeg() {
  // A 64 x 64 colour gradient, progressive, about 3 KB...
  RowSource rows;
  rows.width = rows.height = 64;
  rows.channels = 3;
  rows.fill = [](int y, uint8_t *row) {
    for (int x = 0; x < 64; ++x) {
      row[3 * x] = static_cast<uint8_t>(4 * x);
      row[3 * x + 1] = static_cast<uint8_t>(4 * y);
      row[3 * x + 2] = static_cast<uint8_t>((x * y) & 0xff);
    }
  };
  std::string jpeg = encode_jpeg(rows, 95, 300, 300, true);
  // ... whose frame header (SOF2: marker, length, precision, height,
  // width) then says 60000 x 60000.
  const size_t sof = jpeg.find("\xFF\xC2");
  if (sof == std::string::npos || sof + 9 > jpeg.size()) return {};
  constexpr int kSide = 60000;
  for (size_t at : {sof + 5, sof + 7}) {
    jpeg[at] = static_cast<char>(kSide >> 8);
    jpeg[at + 1] = static_cast<char>(kSide & 0xff);
  }
  return jpeg;
}

std::string long_not_found_body() {
  return repeat_to("No more documents: the job has ended. ", 10 * 1024 - 1) + "\n";
}

}  // namespace escl_sim
