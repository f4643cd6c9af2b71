#include "scan_settings.h"

#include "xml_text.h"

namespace escl_sim {

namespace {

// Resolutions beyond this are refused before any page is rendered.
constexpr int kMaxResolution = 4800;

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
  return text;
}

SettingsResult parse_scan_settings(std::string_view doc, ScanSettings &s, std::string &error) {
  s = ScanSettings{};
  std::string body;
  if (!xml_element_body(doc, "ScanSettings", body)) {
    error = "no ScanSettings element";
    return SettingsResult::kMalformed;
  }
  std::string text;
  if (xml_element_text(body, "InputSource", text)) {
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
  if (xml_element_text(body, "Duplex", text)) s.duplex = text == "true" || text == "1";
  if (xml_element_text(body, "ColorMode", text)) {
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
  s.x_resolution = xml_int(body, "XResolution", 300);
  s.y_resolution = xml_int(body, "YResolution", s.x_resolution);
  if (s.x_resolution <= 0 || s.y_resolution <= 0 || s.x_resolution > kMaxResolution ||
      s.y_resolution > kMaxResolution) {
    error = "unsupported resolution";
    return SettingsResult::kUnsupported;
  }
  std::string region;
  if (xml_element_body(body, "ScanRegion", region)) {
    s.has_region = true;
    s.width = xml_int(region, "Width", 0);
    s.height = xml_int(region, "Height", 0);
    s.x_offset = xml_int(region, "XOffset", 0);
    s.y_offset = xml_int(region, "YOffset", 0);
    if (s.width <= 0 || s.height <= 0 || s.x_offset < 0 || s.y_offset < 0) {
      error = "unsupported scan region";
      return SettingsResult::kUnsupported;
    }
  }
  if (xml_element_text(body, "DocumentFormatExt", text) && !text.empty()) {
    s.format = text;
  } else if (xml_element_text(body, "DocumentFormat", text)) {
    s.format = text;
  }
  return SettingsResult::kOk;
}

}  // namespace escl_sim
