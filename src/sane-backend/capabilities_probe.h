// What a configured device says of itself, read from the head of its
// capabilities document with a short time limit while devices are listed.
#pragma once

#include <chrono>
#include <string>

#include "capabilities_facts.h"

namespace bbescl {

// Asks `uri` for its capabilities until `deadline`; empty facts when the
// device does not answer in time.
discovery::DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline);

}  // namespace bbescl
