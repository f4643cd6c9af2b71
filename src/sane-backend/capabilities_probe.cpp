#include "capabilities_probe.h"

#include "capabilities_facts.h"
#include "device_request.h"

namespace bbescl {

namespace {

// Enough for the head of any capabilities document; MakeAndModel comes first.
constexpr size_t kMostRead = 64 * 1024;

}  // namespace

discovery::DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline) {
  // The sources follow the make and model: read until the device closes,
  // the document ends, or the time is up.
  const std::string answer =
      device_get(uri, "/eSCL/ScannerCapabilities", "</scan:ScannerCapabilities>", kMostRead, deadline);
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0 && answer.compare(0, 12, "HTTP/1.0 200") != 0) return {};
  return discovery::facts_of_capabilities(answer);
}

}  // namespace bbescl
