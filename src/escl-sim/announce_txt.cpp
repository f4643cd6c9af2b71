#include "announce_txt.h"

#include <string_view>

namespace escl_sim {

namespace {

// The text of the first element whose name ends in `name`, e.g.
// "MakeAndModel>" matches <pwg:MakeAndModel>; empty when there is none.
std::string element_text(std::string_view document, std::string_view name) {
  const size_t at = document.find(name);
  if (at == std::string_view::npos) return {};
  const size_t start = at + name.size();
  const size_t end = document.find('<', start);
  if (end == std::string_view::npos) return {};
  return std::string(document.substr(start, end - start));
}

}  // namespace

std::vector<std::string> announce_txt(const DeviceModel &model) {
  std::string sources;
  const auto add_source = [&sources](bool present, const char *name) {
    if (!present) return;
    if (!sources.empty()) sources += ",";
    sources += name;
  };
  add_source(model.platen.present, "platen");
  add_source(model.has_adf(), "adf");
  add_source(model.camera.present, "camera");

  std::string make_and_model = element_text(model.capabilities, "MakeAndModel>");
  if (make_and_model.empty()) make_and_model = "escl-sim Scanner";
  std::vector<std::string> txt = {
      "txtvers=1",
      "ty=" + make_and_model,
      "rs=eSCL",
      "vers=2.63",
      "pdl=image/jpeg,image/png",
      "cs=color,grayscale,binary",
      "is=" + sources,
      std::string("duplex=") + (model.adf_duplex.present ? "T" : "F"),
  };
  const std::string uuid = element_text(model.capabilities, "UUID>");
  if (!uuid.empty()) txt.push_back("UUID=" + uuid);
  return txt;
}

}  // namespace escl_sim
