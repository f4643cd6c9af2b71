// What a configured device says of itself: its make and model, UUID and
// input sources, read from the head of its capabilities document with a
// short time limit while devices are listed.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace bbescl {

struct DeviceFacts {
  std::string make_and_model;  // empty when the device did not say in time
  std::string uuid;
  std::string input_sources;   // "platen,adf" as DNS-SD's "is" writes them
};

// Asks `uri` for its capabilities until `deadline`.
DeviceFacts probe_device(const std::string &uri, std::chrono::steady_clock::time_point deadline);

// The facts in (the head of) a capabilities document.
DeviceFacts facts_of_capabilities(std::string_view document);

}  // namespace bbescl
