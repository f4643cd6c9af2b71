#include "capabilities_facts.h"

#include <cctype>
#include <utility>

namespace bbescl::discovery {

namespace {

// The text of the first element whose name ends with `name` ("MakeAndModel"
// matches <pwg:MakeAndModel> and <scan:MakeAndModel>), entities of
// markup decoded; empty when there is none.
std::string element_text(std::string_view document, std::string_view name) {
  for (size_t at = document.find(name); at != std::string_view::npos; at = document.find(name, at + 1)) {
    // An opening tag: "<name>" or "<prefix:name>", nothing else before it.
    const size_t open = document.rfind('<', at);
    if (open == std::string_view::npos || at == 0 || (document[at - 1] != '<' && document[at - 1] != ':') ||
        document.substr(open + 1, at - open - 1).find_first_of("</> ") != std::string_view::npos)
      continue;
    if (at + name.size() >= document.size() || document[at + name.size()] != '>') continue;
    const size_t start = at + name.size() + 1;
    const size_t end = document.find('<', start);
    if (end == std::string_view::npos) return {};
    std::string text;
    std::string_view raw = document.substr(start, end - start);
    while (!raw.empty()) {
      static constexpr std::pair<std::string_view, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool decoded = false;
      for (const auto &[entity, c] : kEntities) {
        if (raw.substr(0, entity.size()) == entity) {
          text += c;
          raw.remove_prefix(entity.size());
          decoded = true;
          break;
        }
      }
      if (!decoded) {
        text += raw.front();
        raw.remove_prefix(1);
      }
    }
    return text;
  }
  return {};
}

bool has_element(std::string_view document, std::string_view name) {
  return document.find(":" + std::string(name) + ">") != std::string_view::npos;
}

}  // namespace

DeviceFacts facts_of_capabilities(std::string_view document) {
  DeviceFacts facts;
  facts.make_and_model = element_text(document, "MakeAndModel");
  facts.uuid = element_text(document, "UUID");
  for (char &c : facts.uuid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (facts.uuid.rfind("urn:uuid:", 0) == 0) facts.uuid.erase(0, 9);
  const bool platen = has_element(document, "Platen");
  const bool feeder = has_element(document, "Adf");
  if (platen) facts.input_sources = "platen";
  if (feeder) facts.input_sources += platen ? ",adf" : "adf";
  return facts;
}

}  // namespace bbescl::discovery
