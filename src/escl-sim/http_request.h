// HTTP/1.1 requests as they arrive on a connection: one request is cut off
// the front of the bytes received so far, so pipelined requests and bodies
// that arrive in several writes are all handled the same way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace escl_sim {

// Larger header blocks or bodies are refused: no eSCL request comes near.
inline constexpr size_t kMaxHeaderBytes = 65536;
inline constexpr size_t kMaxBodyBytes = 65536;

struct Request {
  std::string line;     // the request line, without its line end
  std::string head;     // request line and header fields as received, up to the empty line
  std::string method;
  std::string target;   // as sent
  std::string path;     // target without scheme, authority and query
  int minor_version = 1;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool keep_alive = true;
  bool expects_continue = false;

  // Value of the first header of that name (case-insensitive), or "".
  std::string header(const std::string &name) const;
};

enum class ParseStatus {
  kComplete,     // one request taken off the buffer
  kNeedMore,     // not all of it is here yet
  kHeadComplete, // the head is whole, the body still to come (for 100-continue)
  kBad,          // malformed: 400
  kTooLarge,     // header block or body over the limits
};

// A Host value as strict devices want it: a host and a port ("HOST:PORT",
// an IPv6 literal bracketed, "[::1]:PORT"). False for "", "127.0.0.1",
// "[::1]", "host:" or a port that is no number up to 65535.
bool host_has_port(std::string_view host);
// The host of a Host value is "localhost" (any case), with a port or not.
bool host_is_localhost(std::string_view host);

// Takes one whole request off the front of buffer. For kHeadComplete and
// kNeedMore nothing is taken; req holds the head for kHeadComplete.
ParseStatus take_request(std::string &buffer, Request &req);

}  // namespace escl_sim
