// A short exchange on a connection of its own, outside any device
// descriptor: what a host asks a device before (or instead of) opening it,
// its capabilities while devices are listed, where a plain device has moved
// to.  Connected and trusted as the channels are; quiet about a device that
// does not answer, since a listing asks devices that may well be off.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tcp_socket.h"

namespace kvchan {

// Sends `request` to the device of `uri` and reads the answer into
// `answer` (at most `size` bytes) until the device closes, `enough`
// appears in what came, `size` bytes came or `deadline` passes; `length`
// is what came.  A kvchan result: KVCHAN_OK once the request went out.
int short_request(std::string_view uri, std::string_view request, std::string_view enough,
                  Deadline deadline, char *answer, size_t size, size_t &length);

}  // namespace kvchan
