#include "scan_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "xml_names.h"

namespace escl_sim {

namespace {

// Resolutions beyond this are refused before any page is rendered.
constexpr int kMaxResolution = 4800;

// A decimal number that fits an int; fallback for anything else.
int to_int(const std::string &text, int fallback) {
  if (text.empty()) return fallback;
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return fallback;
  return static_cast<int>(v);
}

}  // namespace

std::string describe(const ScanSettings &s) {
  static constexpr const char *kSources[] = {"Platen", "Feeder", "Camera"};
  static constexpr const char *kModes[] = {"RGB24", "Grayscale8", "BlackAndWhite1"};
  std::string text = kSources[static_cast<int>(s.source)];
  if (s.duplex) text += " duplex";
  text += " " + std::to_string(s.x_resolution) + "x" + std::to_string(s.y_resolution) + " dpi ";
  text += kModes[static_cast<int>(s.color_mode)];
  if (s.has_region) {
    text += " region " + std::to_string(s.width) + "x" + std::to_string(s.height) + "+" +
            std::to_string(s.x_offset) + "+" + std::to_string(s.y_offset);
  } else {
    text += " whole area";
  }
  text += " " + (s.format.empty() ? std::string("(default format)") : s.format);
  if (!s.intent.empty()) text += " intent " + s.intent;
  if (s.compression_factor >= 0) text += " compression " + std::to_string(s.compression_factor);
  return text;
}

SettingsResult parse_scan_settings(std::string_view doc, ScanSettings &s, std::string &error) {
  s = ScanSettings{};
  std::vector<XmlNode> nodes;
  if (!read_xml_nodes(doc, nodes, error)) return SettingsResult::kMalformed;
  // Devices that validate what they are sent refuse elements of a namespace
  // they do not know, an undeclared prefix included.
  for (const auto &node : nodes) {
    if (namespace_of(node.uri) != XmlNs::kUnknown) continue;
    error = "element " + node.local + " in " + (node.uri.empty() ? "no known namespace" : "namespace " + node.uri);
    return SettingsResult::kMalformed;
  }
  if (nodes[0].local != "ScanSettings" || namespace_of(nodes[0].uri) != XmlNs::kEscl) {
    error = "no ScanSettings element";
    return SettingsResult::kMalformed;
  }
  auto text_of = [&](int parent, XmlNs ns, const char *local, std::string &text) {
    const int at = find_node(nodes, parent, ns, local);
    if (at < 0) return false;
    text = nodes[static_cast<size_t>(at)].text;
    return true;
  };
  auto number_of = [&](int parent, XmlNs ns, const char *local, int fallback) {
    std::string text;
    if (!text_of(parent, ns, local, text)) return fallback;
    return to_int(text, fallback);
  };
  std::string text;
  if (text_of(0, XmlNs::kPwg, "InputSource", text)) {
    if (text == "Platen") {
      s.source = InputSource::kPlaten;
    } else if (text == "Feeder") {
      s.source = InputSource::kFeeder;
    } else if (text == "Camera") {
      s.source = InputSource::kCamera;
    } else {
      error = "unsupported InputSource " + text;
      return SettingsResult::kUnsupported;
    }
  }
  if (text_of(0, XmlNs::kEscl, "Duplex", text)) s.duplex = text == "true" || text == "1";
  if (text_of(0, XmlNs::kEscl, "ColorMode", text)) {
    if (text == "RGB24") {
      s.color_mode = ColorMode::kRgb24;
    } else if (text == "Grayscale8") {
      s.color_mode = ColorMode::kGrayscale8;
    } else if (text == "BlackAndWhite1") {
      s.color_mode = ColorMode::kBlackAndWhite1;
    } else {
      error = "unsupported ColorMode " + text;
      return SettingsResult::kUnsupported;
    }
  }
  s.x_resolution = number_of(0, XmlNs::kEscl, "XResolution", 300);
  s.y_resolution = number_of(0, XmlNs::kEscl, "YResolution", s.x_resolution);
  if (s.x_resolution <= 0 || s.y_resolution <= 0 || s.x_resolution > kMaxResolution ||
      s.y_resolution > kMaxResolution) {
    error = "unsupported resolution";
    return SettingsResult::kUnsupported;
  }
  const int region = find_node(nodes, 0, XmlNs::kPwg, "ScanRegion");
  if (region >= 0) {
    s.has_region = true;
    s.width = number_of(region, XmlNs::kPwg, "Width", 0);
    s.height = number_of(region, XmlNs::kPwg, "Height", 0);
    s.x_offset = number_of(region, XmlNs::kPwg, "XOffset", 0);
    s.y_offset = number_of(region, XmlNs::kPwg, "YOffset", 0);
    if (s.width <= 0 || s.height <= 0 || s.x_offset < 0 || s.y_offset < 0) {
      error = "unsupported scan region";
      return SettingsResult::kUnsupported;
    }
  }
  // Devices that know both take the extended element, which may name
  // formats the PWG one cannot.
  if (text_of(0, XmlNs::kEscl, "DocumentFormatExt", text) && !text.empty()) {
    s.format = text;
  } else if (text_of(0, XmlNs::kPwg, "DocumentFormat", text)) {
    s.format = text;
  }
  text_of(0, XmlNs::kEscl, "Intent", s.intent);
  if (text_of(0, XmlNs::kEscl, "CompressionFactor", text)) {
    s.compression_factor = to_int(text, -2);
    if (s.compression_factor < 0) {
      error = "unsupported CompressionFactor " + text;
      return SettingsResult::kUnsupported;
    }
  }
  return SettingsResult::kOk;
}

}  // namespace escl_sim
