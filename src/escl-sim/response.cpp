#include "response.h"

#include <cctype>
#include <cstdio>

namespace escl_sim {

const char *reason_phrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}

namespace {

void add_field(std::string &out, std::string name, const std::string &value, bool lowercase) {
  if (lowercase)
    for (auto &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

std::string response_head(const Response &r, bool lowercase) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason_phrase(r.status) + "\r\n";
  add_field(out, "Server", r.server, lowercase);
  for (const auto &h : r.headers) add_field(out, h.first, h.second, lowercase);
  switch (r.framing) {
    case Framing::kContentLength:
      add_field(out, "Content-Length", std::to_string(r.body.size()), lowercase);
      break;
    case Framing::kChunked:
      add_field(out, "Transfer-Encoding", "chunked", lowercase);
      break;
    case Framing::kClose:
      break;
  }
  if (r.close || r.framing == Framing::kClose) add_field(out, "Connection", "close", lowercase);
  out += "\r\n";
  return out;
}

std::string chunk(std::string_view piece) {
  char size_line[24];
  std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
  std::string out = size_line;
  out.append(piece);
  out += "\r\n";
  return out;
}

std::string serialize(const Response &r, bool lowercase, size_t chunk_size) {
  std::string out = response_head(r, lowercase);
  if (r.framing != Framing::kChunked) return out + r.body;
  if (chunk_size == 0) chunk_size = r.body.size();
  for (size_t pos = 0; pos < r.body.size(); pos += chunk_size)
    out += chunk(std::string_view(r.body).substr(pos, chunk_size));
  return out + chunk({});
}

}  // namespace escl_sim
