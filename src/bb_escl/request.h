// Requests to the device as raw HTTP/1.1 text: the request line, the Host
// header taken from the device URI, any further header lines, the blank
// line.  Every request of the plug-in is written here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <string_view>

struct host_session;
struct http_handle;

namespace bb {

// "HOST:PORT" of a URI fits in this: the URI's own room, two brackets, a
// colon and five digits.
inline constexpr size_t kHostValueSize = 256 + 8;
// The default ports, written out all the same: Epson devices need them.
inline constexpr unsigned kHttpPort = 80;
inline constexpr unsigned kHttpsPort = 443;
// What devices of one large maker accept as the Host of a job creation.
inline constexpr std::string_view kLocalHost = "localhost";

// The authority of a device URI ("http://host[:port]/...",
// "https://[v6%25zone]:port/..."): the host as the Host header writes it
// (an IPv6 address bracketed, without its zone) and the port (the scheme's
// default when none is written).  False, with nothing written, for a URI
// that is not http or https or whose host or port is not well formed.
bool device_authority(std::string_view uri, char *host, size_t room, unsigned *port);

// The Host header's value for requests to the device of `hs`:
// "HOST:PORT", or "localhost:PORT" once the device refused a job for its
// Host; "localhost:80" for a URI that cannot be read.
void host_value(const host_session *hs, char *out, size_t room);

// Writes "METHOD TARGET HTTP/1.1", the Host header, `headers` (whole lines,
// each ending in CRLF) and the blank line into buf (room bytes, always
// terminated).  TARGET is the pieces of `target` one after the other.
// Returns the request's length, or -1 when it does not fit.
int32_t write_request(const host_session *hs, std::string_view method,
                      std::initializer_list<std::string_view> target, std::string_view headers,
                      char *buf, size_t room);

// Writes a request without a body on `h` (timeout `sectime` seconds), as
// http_write reports it; a request too long for its buffer is not sent.
int send_request(const host_session *hs, http_handle *h, std::string_view method,
                 std::initializer_list<std::string_view> target, int32_t sectime);

// The paths the plug-in asks for.
inline constexpr std::string_view kScannerStatusPath = "/eSCL/ScannerStatus";
inline constexpr std::string_view kCapabilitiesPath = "/eSCL/ScannerCapabilities";
inline constexpr std::string_view kScanJobsPath = "/eSCL/ScanJobs";
inline constexpr std::string_view kJobPathPrefix = "/eSCL/ScanJobs/";
inline constexpr std::string_view kNextDocument = "/NextDocument";

}  // namespace bb
