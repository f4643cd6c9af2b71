// A GET on a plain HTTP connection of its own, outside the plug-in: what
// the backend asks a device itself (its make and model while devices are
// listed, where it has moved to when it will not open).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace bbescl {

// Sends "GET `path`" to the device of the http URI `uri` and reads the
// answer, head and body as they came, until the device closes, `enough`
// appears in it, `most` bytes have come or `deadline` passes; "" when the
// URI is not a plain http one or nothing could be sent.
std::string plain_get(const std::string &uri, std::string_view path, std::string_view enough, size_t most,
                      std::chrono::steady_clock::time_point deadline);

}  // namespace bbescl
