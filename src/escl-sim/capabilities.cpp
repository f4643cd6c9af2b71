#include "capabilities.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <vector>

#include "xml_names.h"
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
  std::vector<std::string> formats;
  std::vector<std::string> intents;
};

// Formats the simulator renders, in the order most devices list them.
const std::vector<std::string> kImageFormats = {"image/jpeg", "image/png"};
// Intents as multifunction devices list them for every source.
const std::vector<std::string> kOfficeIntents = {"Document", "TextAndGraphic", "Photo", "Preview"};

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
    << in << "      <scan:DocumentFormats>\n";
  // Devices list every format twice: the PWG element for older clients,
  // then the extended one.
  for (const auto &f : s.formats) o << in << "        <pwg:DocumentFormat>" << f << "</pwg:DocumentFormat>\n";
  for (const auto &f : s.formats)
    o << in << "        <scan:DocumentFormatExt>" << f << "</scan:DocumentFormatExt>\n";
  o << in << "      </scan:DocumentFormats>\n"
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
    << in << "  <scan:SupportedIntents>\n";
  for (const auto &intent : s.intents) o << in << "    <scan:Intent>" << intent << "</scan:Intent>\n";
  o << in << "  </scan:SupportedIntents>\n"
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
  return SourceCaps{true, s.max_width, s.max_height, s.max_optical, s.formats, s.intents};
}

// Where devices put it: after the sources, for all of them.
std::string compression_element(const CompressionSupport &c) {
  std::ostringstream o;
  o << "  <scan:CompressionFactorSupport>\n"
    << "    <scan:Min>" << c.min << "</scan:Min>\n"
    << "    <scan:Max>" << c.max << "</scan:Max>\n"
    << "    <scan:Normal>" << c.normal << "</scan:Normal>\n"
    << "    <scan:Step>1</scan:Step>\n"
    << "  </scan:CompressionFactorSupport>\n";
  return o.str();
}

void flatbed_photo(DeviceModel &m) {
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, {"Grayscale8", "RGB24"},
                    {75, 100, 150, 200, 300, 600, 1200}, 0, 0, 0, 0, 1200, kImageFormats,
                    {"Document", "Photo", "Preview"}};
  m.capabilities = document_head("escl-sim Photo Flatbed", "a8c4e5d0-3e1b-4c57-9a0f-000000000001") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + kDocumentEnd;
  m.platen = caps_of(platen);
}

void mfp(DeviceModel &m) {
  std::vector<std::string> modes = {"BlackAndWhite1", "Grayscale8", "RGB24"};
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, modes, {}, 75, 600, 300, 25, 600, kImageFormats,
                    kOfficeIntents};
  SourceSpec feeder{16, kPlatenWidth, 16, kFeederHeight, modes, {}, 75, 600, 300, 25, 600, kImageFormats,
                    kOfficeIntents};
  // The whole scale, as office devices offer it; Normal is what their own
  // scan-to-mail uses.
  m.compression = CompressionSupport{true, 0, 100, 25};
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
                   compression_element(m.compression) + kDocumentEnd;
  m.platen = caps_of(platen);
  m.adf_simplex = caps_of(feeder);
  m.adf_duplex = caps_of(feeder);
}

// An office device that lists PDF first and takes a job without a format as
// a PDF job: platen and simplex feeder, discrete resolutions, its
// compression range 5-95 (Normal 25), as a captured B235 document has them.
void pdf_first(DeviceModel &m) {
  std::vector<std::string> modes = {"RGB24", "Grayscale8", "BlackAndWhite1"};
  std::vector<std::string> formats = {"application/pdf", "image/jpeg", "image/png"};
  std::vector<std::string> intents = {"Document", "Photo", "Preview", "TextAndGraphic"};
  std::vector<int> resolutions = {75, 150, 200, 300, 600};
  SourceSpec platen{300, kPlatenWidth, 300, kPlatenHeight, modes, resolutions, 0, 0, 0, 0, 600, formats,
                    intents};
  SourceSpec feeder{1230, kPlatenWidth, 1740, kFeederHeight, modes, resolutions, 0, 0, 0, 0, 600, formats,
                    intents};
  m.compression = CompressionSupport{true, 5, 95, 25};
  m.capabilities = document_head("escl-sim Office PDF", "a8c4e5d0-3e1b-4c57-9a0f-000000000004") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + "  <scan:Adf>\n" +
                   input_caps("AdfSimplexInputCaps", feeder, "    ") +
                   "    <scan:FeederCapacity>50</scan:FeederCapacity>\n"
                   "    <scan:AdfOptions>\n"
                   "      <scan:AdfOption>DetectPaperLoaded</scan:AdfOption>\n"
                   "    </scan:AdfOptions>\n"
                   "  </scan:Adf>\n" +
                   compression_element(m.compression) + kDocumentEnd;
  m.platen = caps_of(platen);
  m.adf_simplex = caps_of(feeder);
}

void camera(DeviceModel &m) {
  SourceSpec platen{16, kPlatenWidth, 16, kPlatenHeight, {"Grayscale8", "RGB24"},
                    {75, 150, 300}, 0, 0, 0, 0, 300, kImageFormats, kOfficeIntents};
  // A camera takes documents and objects; it has no preview pass.
  SourceSpec cam{16, kPlatenWidth, 16, 3300, {"Grayscale8", "RGB24"}, {75, 150, 300}, 0, 0, 0, 0,
                 300, kImageFormats, {"Document", "Photo", "Object"}};
  m.capabilities = document_head("escl-sim Document Camera", "a8c4e5d0-3e1b-4c57-9a0f-000000000003") +
                   "  <scan:Platen>\n" + input_caps("PlatenInputCaps", platen, "    ") +
                   "  </scan:Platen>\n" + "  <scan:Camera>\n" +
                   input_caps("CameraInputCaps", cam, "    ") + "  </scan:Camera>\n" + kDocumentEnd;
  m.platen = caps_of(platen);
  m.camera = caps_of(cam);
}

// Texts of the elements below `ancestor` with one of the local names, in
// document order, each once. Captured documents are read by local name:
// some write their numbers in no namespace at all.
std::vector<std::string> texts_below(const std::vector<XmlNode> &nodes, int ancestor,
                                     std::initializer_list<std::string_view> names) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < nodes.size(); ++i) {
    bool named = false;
    for (auto n : names) named = named || nodes[i].local == n;
    bool below = false;
    for (int up = nodes[i].parent; up >= 0 && !below; up = nodes[static_cast<size_t>(up)].parent)
      below = up == ancestor;
    if (!named || !below || nodes[i].text.empty()) continue;
    if (std::find(texts.begin(), texts.end(), nodes[i].text) == texts.end()) texts.push_back(nodes[i].text);
  }
  return texts;
}

int node_named(const std::vector<XmlNode> &nodes, std::string_view local) {
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].local == local) return static_cast<int>(i);
  return -1;
}

// A source named in a document read from a file: present when its element
// is there, with the first MaxWidth and MaxHeight inside it, and the
// formats and intents its setting profiles list.
SourceCaps source_in(const std::string &doc, const std::vector<XmlNode> &nodes, const char *local_name) {
  SourceCaps caps;
  std::string inner;
  if (!xml_element_body(doc, local_name, inner)) return caps;
  caps.present = true;
  caps.max_width = xml_int(inner, "MaxWidth", kPlatenWidth);
  caps.max_height = xml_int(inner, "MaxHeight", kPlatenHeight);
  caps.max_resolution = xml_int(inner, "MaxOpticalXResolution", kFileMaxResolution);
  const int at = node_named(nodes, local_name);
  if (at < 0) return caps;
  caps.formats = texts_below(nodes, at, {"DocumentFormat", "DocumentFormatExt"});
  // Some devices write scan:SupportedIntent inside scan:SupportedIntents.
  caps.intents = texts_below(nodes, at, {"Intent", "SupportedIntent"});
  return caps;
}

CompressionSupport compression_in(const std::vector<XmlNode> &nodes) {
  CompressionSupport c;
  const int at = node_named(nodes, "CompressionFactorSupport");
  if (at < 0) return c;
  auto number = [&](std::string_view name) {
    const std::vector<std::string> t = texts_below(nodes, at, {name});
    return t.empty() ? -1 : std::atoi(t[0].c_str());
  };
  c.min = number("Min");
  c.max = number("Max");
  c.normal = number("Normal");
  c.present = c.min >= 0 && c.max > c.min;
  return c;
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
  } else if (profile == "pdf-first") {
    pdf_first(model);
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
    // A document that does not read as XML still serves; its sources then
    // list no formats or intents.
    std::vector<XmlNode> nodes;
    std::string ignored;
    if (!read_xml_nodes(model.capabilities, nodes, ignored)) nodes.clear();
    model.platen = source_in(model.capabilities, nodes, "PlatenInputCaps");
    model.adf_simplex = source_in(model.capabilities, nodes, "AdfSimplexInputCaps");
    model.adf_duplex = source_in(model.capabilities, nodes, "AdfDuplexInputCaps");
    model.camera = source_in(model.capabilities, nodes, "CameraInputCaps");
    model.compression = compression_in(nodes);
    // A document naming no source still gets a platen to scan from.
    if (!model.platen.present && !model.has_adf() && !model.camera.present)
      model.platen = SourceCaps{true, kPlatenWidth, kPlatenHeight, kFileMaxResolution, {}, {}};
  } else {
    error = "unknown profile " + profile;
    return false;
  }
  return true;
}

}  // namespace escl_sim
