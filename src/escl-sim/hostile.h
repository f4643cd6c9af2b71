// Broken and hostile devices: answers that never end or never come, that
// arrive a byte at a time, pages that lie about their size or break their
// framing, locations that try to smuggle text into the client's next
// request, capabilities with impossible values, and the harmless ways real
// devices differ from the letter of HTTP.  Each behaviour has a name for
// --hostile NAME[@EXCHANGE] and hits one exchange (or every request).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "response.h"
#include "simulator.h"

namespace escl_sim {

struct HostileInfo {
  Hostile behaviour;
  const char *name;
  RequestKind default_on;  // the exchange without @EXCHANGE
  RequestKind only_on;     // kAny: may be aimed at any exchange
  const char *help;        // one line for --help
};

const HostileInfo &hostile_info(Hostile h);

// "NAME" or "NAME@EXCHANGE" (exchange: any, capabilities, status, create,
// document, delete).  False with a message for an unknown name or an
// exchange the behaviour cannot hit.
bool parse_hostile(std::string_view word, HostileRule &rule, std::string &error);
// The exchange names as --hostile and --bad-request-on take them.
bool parse_request_kind(std::string_view word, RequestKind &kind);

// The --help lines of every behaviour.
std::string hostile_usage();

// The behaviours that hit one request.
class HostileSet {
 public:
  HostileSet() = default;
  HostileSet(const std::vector<HostileRule> &rules, RequestKind kind);
  bool has(Hostile h) const { return (bits_ >> static_cast<unsigned>(h)) & 1U; }
  bool any() const { return bits_ != 0; }
  // The device refuses without acting on the request (no job created,
  // none deleted, no page taken).
  bool refuses() const;
  // The answer is replaced by one that never ends or never comes.
  bool endless() const;

 private:
  uint64_t bits_ = 0;
};

// The answer the device writes instead of its own for a refusal or an
// unusable status (401, 301, 500, a 503 after an empty 200), or r as it is.
Response hostile_response(const HostileSet &h, Response r, uint16_t port);

// The status line, header fields and interim answer rewritten on an answer
// serialised whole (head and body) as `wire`.
std::string hostile_head(const HostileSet &h, std::string wire);

// The Location of a new job for the location behaviours, or `location`.
std::string hostile_location(const HostileSet &h, const std::string &location);

// The capabilities document as the capabilities behaviours write it.
std::string hostile_capabilities(const HostileSet &h, std::string doc);

// A page body in chunks as the page behaviours frame it: size lines with
// a long extension, the first chunk's CR LF replaced, the last chunk
// included.
std::string hostile_chunks(const HostileSet &h, std::string_view page, size_t chunk_size);

// A small progressive JPEG whose frame header declares 60000 x 60000
// pixels: decoders that trust it reserve gigabytes for its coefficients.
std::string huge_progressive_jpeg();

// The 10 KB body of a 404 for kLong404.
std::string long_not_found_body();

}  // namespace escl_sim
