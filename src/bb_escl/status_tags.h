// Tags of a status document spelt as the document spells them.
#pragma once

#include <stddef.h>

#include <string_view>

#include "../http/xml_namespaces.h"

namespace bb {

// The tags the readers look for, spelt with the prefixes the document
// binds to eSCL and PWG: with the usual ones they are the literal tags.
class StatusTags {
 public:
  explicit StatusTags(std::string_view doc) { xml_read_namespaces(doc, &names_); }

  std::string_view open(xml_ns ns, std::string_view local) { return make(ns, local, false); }
  std::string_view close(xml_ns ns, std::string_view local) { return make(ns, local, true); }
  // "<p:local" without its '>': the element may carry attributes.
  std::string_view open_start(xml_ns ns, std::string_view local) {
    std::string_view t = open(ns, local);
    if (!t.empty()) t.remove_suffix(1);
    return t;
  }

 private:
  static constexpr int kSlots = 6;
  static constexpr size_t kTagRoom = 64;
  std::string_view make(xml_ns ns, std::string_view local, bool closing) {
    char *buf = slots_[next_++ % kSlots];
    return xml_tag_text(names_, ns, local, closing, buf, kTagRoom);
  }
  xml_namespaces names_;
  char slots_[kSlots][kTagRoom] = {};
  int next_ = 0;
};

}  // namespace bb
