// A GET on a connection of its own, outside the plug-in: what the backend
// asks a device itself (its make and model while devices are listed, where
// it has moved to when it will not open).  An https device is asked over
// TLS, trusted as the channel library trusts it: a device refused there is
// sent nothing here either.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace bbescl {

// "http://HOST:PORT/..." → "HOST:PORT", as the Host header and people name
// a device.
std::string_view authority_of(std::string_view uri);

// Sends "GET `path`" to the device of `uri` and reads the answer, head and
// body as they came, until the device closes, `enough` appears in it,
// `most` bytes have come or `deadline` passes; "" when the URI is refused,
// the device is not trusted or nothing could be sent.
std::string device_get(const std::string &uri, std::string_view path, std::string_view enough, size_t most,
                       std::chrono::steady_clock::time_point deadline);

}  // namespace bbescl
