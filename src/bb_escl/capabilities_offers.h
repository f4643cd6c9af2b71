// What each input source offers for a job beyond sizes, modes and
// resolutions, read alongside the capabilities walk: it is handed every
// tag the walk passes, so the document is read once.
#pragma once

#include <stdint.h>

#include <string_view>

#include "../http/xml_namespaces.h"
#include "session.h"

namespace bb {

struct offers_walk {
  explicit offers_walk(escl_offers *o) : offers(o) {}

  // A tag the walk read, and the character data that follows it.
  void tag(const xml_name &name, std::string_view text);
  // The document ended; a source it left open still counts.
  void finish();

  struct pending_formats {
    uint32_t formats = 0;
    uint32_t modes = 0;  // bit (1 << mode id)
  };

 private:
  void end_source();
  void compression_tag(const xml_name &name, std::string_view text);
  void source_tag(const xml_name &name, std::string_view text);

  escl_offers *offers;
  source_offers *block = nullptr;  // inside an input-caps element
  std::string_view source;         // its local name
  bool in_profile = false;
  bool in_compression = false;
  pending_formats loose;
  pending_formats profile;
};

}  // namespace bb
