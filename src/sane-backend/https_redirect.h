// Devices that have moved eSCL to TLS often keep port 80 open only to
// answer every request with a redirect ("301 Moved Permanently", 302, 307
// or 308, "Location: https://..."). The plug-in follows nothing; when a
// plain device will not open, the backend asks it once where it has gone
// and opens that instead, if it is TLS on the same host.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace bbescl {

// How long asking a device where it has moved may take.
inline constexpr int kRedirectProbeMillis = 2000;

// The https device URI ("https://HOST[:PORT]/") that `answer`, the head of
// a device's answer to a request on the http device `uri`, redirects to;
// "" unless it is a 301, 302, 307 or 308 to https on the same host.
std::string https_redirect_target(std::string_view answer, std::string_view uri);

// Asks the http device `uri` for its capabilities and returns the https
// device URI it redirects to, as above.
std::string ask_https_redirect(const std::string &uri, std::chrono::steady_clock::time_point deadline);

}  // namespace bbescl
