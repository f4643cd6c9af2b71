// What a configured device says of itself, read from the head of its
// capabilities document with a short time limit while devices are listed.
#pragma once

#include <chrono>
#include <string>

#include "capabilities_facts.h"

namespace bbescl {

// Asks `uri` for its capabilities until `deadline` (over TLS for https,
// trusting the device as the process's setting, kvchan_set_tls_verify,
// says); empty facts when the device does not answer in time or is not
// trusted.
discovery::DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline);

}  // namespace bbescl
