#include "capabilities.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "xml_text.h"

namespace escl_sim {

namespace {

// What one input-caps element offers.
struct SourceSpec {
  int min_width, max_width, min_height, max_height;
  std::vector<std::string> color_modes;
  std::vector<int> discrete;  // discrete resolutions; empty: the range below
  int range_min, range_max, range_normal, range_step;
  int max_optical;
};

// Elements in the order of the eSCL schema: sizes first, then the setting
// profiles, intents, optical maxima and margins. Clients that read by
// position (the size values, the optical maxima) depend on this order.
std::string input_caps(const char *element, const SourceSpec &s, const char *indent) {
  std::ostringstream o;
  std::string in = indent;
  o << in << "<scan:" << element << ">\n"
    << in << "  <scan:MinWidth>" << s.min_width << "</scan:MinWidth>\n"
    << in << "  <scan:MaxWidth>" << s.max_width << "</scan:MaxWidth>\n"
    << in << "  <scan:MinHeight>" << s.min_height << "</scan:MinHeight>\n"
    << in << "  <scan:MaxHeight>" << s.max_height << "</scan:MaxHeight>\n"
    << in << "  <scan:MaxScanRegions>1</scan:MaxScanRegions>\n"
    << in << "  <scan:SettingProfiles>\n"
    << in << "    <scan:SettingProfile>\n"
    << in << "      <scan:ColorModes>\n";
  for (const auto &mode : s.color_modes)
    o << in << "        <scan:ColorMode>" << mode << "</scan:ColorMode>\n";
  o << in << "      </scan:ColorModes>\n"
    << in << "      <scan:DocumentFormats>\n"
    << in << "        <pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>\n"
    << in << "        <pwg:DocumentFormat>image/png</pwg:DocumentFormat>\n"
    << in << "        <scan:DocumentFormatExt>image/jpeg</scan:DocumentFormatExt>\n"
    << in << "        <scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>\n"
    << in << "      </scan:DocumentFormats>\n"
    << in << "      <scan:SupportedResolutions>\n";
  if (!s.discrete.empty()) {
    o << in << "        <scan:DiscreteResolutions>\n";
    for (int r : s.discrete) {
      o << in << "          <scan:DiscreteResolution>\n"
        << in << "            <scan:XResolution>" << r << "</scan:XResolution>\n"
        << in << "            <scan:YResolution>" << r << "</scan:YResolution>\n"
        << in << "          </scan:DiscreteResolution>\n";
    }
    o << in << "        </scan:DiscreteResolutions>\n";
  } else {
    o << in << "        <scan:ResolutionRange>\n";
    for (const char *axis : {"X", "Y"}) {
      o << in << "          <scan:" << axis << "ResolutionRange>\n"
        << in << "            <scan:Min>" << s.range_min << "</scan:Min>\n"
        << in << "            <scan:Max>" << s.range_max << "</scan:Max>\n"
        << in << "            <scan:Normal>" << s.range_normal << "</scan:Normal>\n"
        << in << "            <scan:Step>" << s.range_step << "</scan:Step>\n"
        << in << "          </scan:" << axis << "ResolutionRange>\n";
    }
    o << in << "        </scan:ResolutionRange>\n";
  }
  o << in << "      </scan:SupportedResolutions>\n"
    << in << "      <scan:ColorSpaces>\n"
    << in << "        <scan:ColorSpace>sRGB</scan:ColorSpace>\n"
    << in << "      </scan:ColorSpaces>\n"
    << in << "    </scan:SettingProfile>\n"
    << in << "  </scan:SettingProfiles>\n"
    << in << "  <scan:SupportedIntents>\n"
    << in << "    <scan:Intent>Document</scan:Intent>\n"
    << in << "    <scan:Intent>TextAndGraphic</scan:Intent>\n"
    << in << "    <scan:Intent>Photo</scan:Intent>\n"
    << in << "    <scan:Intent>Preview</scan:Intent>\n"
    << in << "  </scan:SupportedIntents>\n"
    << in << "  <scan:MaxOpticalXResolution>" << s.max_optical << "</scan:MaxOpticalXResolution>\n"
    << in << "  <scan:MaxOpticalYResolution>" << s.max_optical << "</scan:MaxOpticalYResolution>\n"
    << in << "  <scan:RiskyLeftMargin>0</scan:RiskyLeftMargin>\n"
    << in << "  <scan:RiskyRightMargin>0</scan:RiskyRightMargin>\n"
    << in << "  <scan:RiskyTopMargin>0</scan:RiskyTopMargin>\n"
    << in << "  <scan:RiskyBottomMargin>0</scan:RiskyBottomMargin>\n"
    << in << "</scan:" << element << ">\n";
  return o.str();
}

std::string document_head(const char *make_and_model, const char *uuid) {
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<scan:ScannerCapabilities xmlns:scan=\"" << kScanNamespace << "\" xmlns:pwg=\""
    << kPwgNamespace << "\">\n"
    << "  <pwg:Version>2.63</pwg:Version>\n"
    << "  <pwg:MakeAndModel>" << make_and_model << "</pwg:MakeAndModel>\n"
    << "  <scan:MakeAndModel>" << make_and_model << "</scan:MakeAndModel>\n"
    << "  <pwg:SerialNumber>SIM-0001</pwg:SerialNumber>\n"
    << "  <scan:UUID>" << uuid << "</scan:UUID>\n";
  return o.str();
}

const char *kDocumentEnd = "</scan:ScannerCapabilities>\n";

// A4 and US Letter fit: 8.5 x 11.69 inches.
constexpr int kPlatenWidth = 2550;
constexpr int kPlatenHeight = 3508;
// Feeders take legal-length sheets.
constexpr int kFeederHeight = 4200;
// A document that names no optical maximum still gets one, so that no job
// asks for pages of absurd size.
constexpr int kFileMaxResolution = 1200;

SourceCaps caps_of(const SourceSpec &s) {
  return SourceCaps{true, s.max_width, s.max_height, s.max_optical};
}

void flatbed_photo(DeviceModel &m) {
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, {"Grayscale8", "RGB24"},
                    {75, 100, 150, 200, 300, 600, 1200}, 0, 0, 0, 0, 1200};
  m.capabilities = document_head("escl-sim Photo Flatbed", "a8c4e5d0-3e1b-4c57-9a0f-000000000001") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + kDocumentEnd;
  m.platen = caps_of(platen);
}

void mfp(DeviceModel &m) {
  std::vector<std::string> modes = {"BlackAndWhite1", "Grayscale8", "RGB24"};
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, modes, {}, 75, 600, 300, 25, 600};
  SourceSpec feeder{16, kPlatenWidth, 16, kFeederHeight, modes, {}, 75, 600, 300, 25, 600};
  m.capabilities = document_head("escl-sim Multifunction", "a8c4e5d0-3e1b-4c57-9a0f-000000000002") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + "  <scan:Adf>\n" +
                   input_caps("AdfSimplexInputCaps", feeder, "    ") +
                   input_caps("AdfDuplexInputCaps", feeder, "    ") +
                   "    <scan:FeederCapacity>50</scan:FeederCapacity>\n"
                   "    <scan:AdfOptions>\n"
                   "      <scan:AdfOption>DetectPaperLoaded</scan:AdfOption>\n"
                   "      <scan:AdfOption>Duplex</scan:AdfOption>\n"
                   "    </scan:AdfOptions>\n"
                   "  </scan:Adf>\n" +
                   kDocumentEnd;
  m.platen = caps_of(platen);
  m.adf_simplex = caps_of(feeder);
  m.adf_duplex = caps_of(feeder);
}

void camera(DeviceModel &m) {
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, {"Grayscale8", "RGB24"},
                    {75, 150, 300}, 0, 0, 0, 0, 300};
  SourceSpec cam{16, kPlatenWidth, 16, 3300, {"Grayscale8", "RGB24"}, {75, 150, 300}, 0, 0, 0, 0,
                 300};
  m.capabilities = document_head("escl-sim Document Camera", "a8c4e5d0-3e1b-4c57-9a0f-000000000003") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + "  <scan:Camera>\n" +
                   input_caps("CameraInputCaps", cam, "    ") + "  </scan:Camera>\n" + kDocumentEnd;
  m.platen = caps_of(platen);
  m.camera = caps_of(cam);
}

// A source named in a document read from a file: present when its element
// is there, with the first MaxWidth and MaxHeight inside it.
SourceCaps source_in(const std::string &doc, const char *local_name) {
  SourceCaps caps;
  std::string inner;
  if (!xml_element_body(doc, local_name, inner)) return caps;
  caps.present = true;
  caps.max_width = xml_int(inner, "MaxWidth", kPlatenWidth);
  caps.max_height = xml_int(inner, "MaxHeight", kPlatenHeight);
  caps.max_resolution = xml_int(inner, "MaxOpticalXResolution", kFileMaxResolution);
  return caps;
}

}  // namespace

bool load_device_model(const std::string &profile, DeviceModel &model, std::string &error) {
  model = DeviceModel{};
  if (profile == "flatbed-photo") {
    flatbed_photo(model);
  } else if (profile == "mfp") {
    mfp(model);
  } else if (profile == "camera") {
    camera(model);
  } else if (profile.rfind("file:", 0) == 0) {
    std::string path = profile.substr(5);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot read capabilities file " + path;
      return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    model.capabilities = text.str();
    model.platen = source_in(model.capabilities, "PlatenInputCaps");
    model.adf_simplex = source_in(model.capabilities, "AdfSimplexInputCaps");
    model.adf_duplex = source_in(model.capabilities, "AdfDuplexInputCaps");
    model.camera = source_in(model.capabilities, "CameraInputCaps");
    // A document naming no source still gets a platen to scan from.
    if (!model.platen.present && !model.has_adf() && !model.camera.present)
      model.platen = SourceCaps{true, kPlatenWidth, kPlatenHeight, kFileMaxResolution};
  } else {
    error = "unknown profile " + profile;
    return false;
  }
  return true;
}

}  // namespace escl_sim
