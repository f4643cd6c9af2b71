// How a hostile device writes its answers: without end, not at all, or a
// byte a second.  Every such answer stops when the client closes or the
// simulator stops.
#include <chrono>

#include "hostile.h"
#include "server_impl.h"

namespace escl_sim {

namespace {

constexpr std::string_view kChunkedEnd = "0\r\n\r\n";

std::string repeated(std::string_view unit, size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

}  // namespace

bool Server::Impl::send_forever(Link &link, std::string_view start, std::string_view unit) {
  if (!send_all(link, start)) return false;
  while (send_all(link, unit)) {
  }
  return false;
}

bool Server::Impl::send_answer(Link &link, const HostileSet &h, std::string_view wire, bool close) {
  if (h.has(Hostile::kSilent)) {
    hold_until_closed(link);
    return false;
  }
  if (h.has(Hostile::kGarbageLines))
    return send_forever(link, {}, repeated("the device lost its place and talks on\r\n", 100));
  if (h.has(Hostile::kEndless404) || h.has(Hostile::kEndless503)) {
    const std::string head = h.has(Hostile::kEndless404)
                                 ? "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n"
                                 : "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html\r\n\r\n";
    return send_forever(link, head, repeated("<p>this page intentionally left blank</p>\n", 100));
  }
  if (h.has(Hostile::kEndlessChunked)) {
    // The body as it was, but where its last chunk was, more blanks.
    std::string_view start = wire;
    if (start.ends_with(kChunkedEnd)) start.remove_suffix(kChunkedEnd.size());
    return send_forever(link, start, chunk(std::string(4096, ' ')));
  }
  if (h.has(Hostile::kTrickle)) {
    auto due = std::chrono::steady_clock::now();
    for (size_t i = 0; i < wire.size(); ++i) {
      if (!pause_until(due) || !send_all(link, wire.substr(i, 1))) return false;
      due += std::chrono::seconds(1);
    }
  } else if (!send_all(link, wire)) {
    return false;
  }
  return !close;
}

}  // namespace escl_sim
