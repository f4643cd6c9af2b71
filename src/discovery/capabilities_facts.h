// What a device says of itself in the head of its capabilities document:
// make and model, UUID and input sources, for devices that are not
// announced by DNS-SD.
#pragma once

#include <string>
#include <string_view>

namespace bbescl::discovery {

struct DeviceFacts {
  std::string make_and_model;  // empty when the document does not say
  std::string uuid;            // lower case, without "urn:uuid:"
  std::string input_sources;   // "platen,adf" as DNS-SD's "is" writes them
};

DeviceFacts facts_of_capabilities(std::string_view document);

}  // namespace bbescl::discovery
