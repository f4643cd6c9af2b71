// Answers as the simulated device writes them: status line, header fields
// (in lower case when the device does that), and the body framed by
// Content-Length, chunked, or by closing the connection.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "simulator.h"

namespace escl_sim {

struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Framing framing = Framing::kContentLength;
  bool close = false;  // Connection: close, then the connection ends
  std::string server = "escl-sim";  // the Server header's value
};

const char *reason_phrase(int status);

// Header block of a response, up to and including the empty line.
std::string response_head(const Response &r, bool lowercase_names);

// The whole response on the wire, body framed as r.framing says.
std::string serialize(const Response &r, bool lowercase_names, size_t chunk_size);

// One chunk of chunked transfer coding; an empty piece is the last chunk.
std::string chunk(std::string_view piece);

}  // namespace escl_sim
