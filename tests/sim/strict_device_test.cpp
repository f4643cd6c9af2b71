// What strict devices check and how real devices write their answers: the
// Host header, the namespaces of ScanSettings, the formats, intents and
// compression a source offers, documents re-written by XML libraries, and
// text answers in small chunks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "capabilities.h"
#include "chart.h"
#include "image_codec.h"
#include "sim_fixture.h"
#include "status_doc.h"
#include "xml_names.h"

namespace escl_sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char *kPwg = "http://www.pwg.org/schemas/2010/12/sm";

// A ScanSettings document for the platen (or `source`) around `inner`.
std::string settings_doc(const std::string &inner, const std::string &source = "Platen") {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings xmlns:scan=\"") + kScanNamespace +
         "\" xmlns:pwg=\"" + kPwg +
         "\"><pwg:Version>2.63</pwg:Version><pwg:ScanRegions><pwg:ScanRegion><pwg:Height>300</pwg:Height>"
         "<pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits><pwg:Width>300</pwg:Width>"
         "<pwg:XOffset>0</pwg:XOffset><pwg:YOffset>0</pwg:YOffset></pwg:ScanRegion></pwg:ScanRegions>"
         "<pwg:InputSource>" +
         source + "</pwg:InputSource><scan:XResolution>75</scan:XResolution><scan:YResolution>75</scan:YResolution>" +
         inner + "</scan:ScanSettings>";
}

std::string request(const std::string &line, const std::string &host_line, const std::string &body = {}) {
  std::string r = line + "\r\n" + host_line;
  if (!body.empty()) r += "Content-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return r + "\r\n" + body;
}

class StrictDevice : public SimTest {};

TEST_F(StrictDevice, HostMustNameAPortUnlessLenient) {
  struct Row {
    const char *name;
    std::function<void(Config &)> setup;
    std::string host_line;  // "PORT" stands for the device's port
    bool create;            // job creation, else a status request
    int status;
  } rows[] = {
      {"none", {}, "", false, 400},
      {"empty", {}, "Host: \r\n", false, 400},
      {"no port", {}, "Host: 127.0.0.1\r\n", false, 400},
      {"no port, create", {}, "Host: 127.0.0.1\r\n", true, 400},
      {"with port", {}, "Host: 127.0.0.1:PORT\r\n", false, 200},
      {"IPv6 with port", {}, "Host: [::1]:PORT\r\n", true, 201},
      {"IPv6 without", {}, "Host: [::1]\r\n", false, 400},
      {"lenient, none", [](Config &c) { c.lenient_host = true; }, "", true, 201},
      {"lenient, no port", [](Config &c) { c.lenient_host = true; }, "Host: 127.0.0.1\r\n", false, 200},
      {"maker, create by address", [](Config &c) { c.host_localhost = true; }, "Host: 127.0.0.1:PORT\r\n", true, 400},
      {"maker, create by localhost", [](Config &c) { c.host_localhost = true; }, "Host: localhost\r\n", true, 201},
      {"maker, create by localhost:port", [](Config &c) { c.host_localhost = true; }, "Host: localhost:PORT\r\n",
       true, 201},
      {"maker, lenient, create by address", [](Config &c) { c.host_localhost = c.lenient_host = true; },
       "Host: 127.0.0.1:PORT\r\n", true, 400},
      {"maker, status by address", [](Config &c) { c.host_localhost = true; }, "Host: 127.0.0.1:PORT\r\n", false,
       200},
      {"maker, status by localhost", [](Config &c) { c.host_localhost = true; }, "Host: localhost\r\n", false, 400},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    Config cfg;
    if (r.setup) r.setup(cfg);
    start(cfg);
    RawClient c(port());
    std::string host = r.host_line;
    if (size_t at = host.find("PORT"); at != std::string::npos) host.replace(at, 4, std::to_string(port()));
    const Answer a = r.create ? c.exchange(request("POST /eSCL/ScanJobs HTTP/1.1", host, scan_settings({})))
                              : c.exchange(request("GET /eSCL/ScannerStatus HTTP/1.1", host));
    EXPECT_EQ(a.status, r.status);
    EXPECT_EQ(server().jobs_alive(), r.status == 201 ? 1 : 0);
    // That maker's embedded server names itself in every answer.
    EXPECT_EQ(a.header("Server") == "escl-sim", !cfg.host_localhost) << a.header("Server");
    server().stop();
  }
}

TEST_F(StrictDevice, ScanSettingsInUnknownNamespacesAreRefused) {
  const std::string ns = std::string(" xmlns:ns0=\"") + kScanNamespace + "\" xmlns:ns2=\"" + kPwg + "\"";
  struct Row {
    const char *name;
    std::string doc;
    int status;
  } rows[] = {
      {"as clients write it", scan_settings({}), 201},
      {"other prefixes", "<ns0:ScanSettings" + ns + "><ns2:InputSource>Platen</ns2:InputSource><ns0:XResolution>75"
                         "</ns0:XResolution></ns0:ScanSettings>", 201},
      {"undeclared prefix", std::string("<scan:ScanSettings xmlns:scan=\"") + kScanNamespace +
                                "\"><pwg:InputSource>Platen</pwg:InputSource></scan:ScanSettings>", 400},
      {"unknown namespace", settings_doc("<v:Tone xmlns:v=\"http://example.org/vendor\">warm</v:Tone>"), 400},
      {"no namespace", "<ScanSettings><InputSource>Platen</InputSource></ScanSettings>", 400},
  };
  start();
  for (const auto &r : rows) {
    RawClient c(port());
    EXPECT_EQ(c.exchange(post_scan_job(r.doc)).status, r.status) << r.name;
  }
}

TEST_F(StrictDevice, FormatsIntentsAndCompressionAsTheSourceOffers) {
  struct Row {
    const char *name;
    const char *profile;
    std::string inner;
    std::string source;
    int status;
    const char *content_type;  // of the page, when created
  } rows[] = {
      {"mfp default", "mfp", "", "Platen", 201, "image/jpeg"},
      {"format ext", "mfp", "<scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>", "Platen", 201, "image/png"},
      {"pwg format", "mfp", "<pwg:DocumentFormat>image/png</pwg:DocumentFormat>", "Feeder", 201, "image/png"},
      {"ext wins", "mfp",
       "<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat><scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>",
       "Platen", 201, "image/png"},
      {"pdf not offered", "mfp", "<scan:DocumentFormatExt>application/pdf</scan:DocumentFormatExt>", "Platen", 409, ""},
      {"pdf first", "pdf-first", "", "Platen", 201, "application/pdf"},
      {"pdf first, feeder", "pdf-first", "", "Feeder", 201, "application/pdf"},
      {"pdf first, jpeg asked", "pdf-first", "<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>", "Platen", 201,
       "image/jpeg"},
      {"intent listed", "camera", "<scan:Intent>Object</scan:Intent>", "Camera", 201, "image/jpeg"},
      {"intent not listed", "camera", "<scan:Intent>Preview</scan:Intent>", "Camera", 409, ""},
      {"intent of another source", "camera", "<scan:Intent>Object</scan:Intent>", "Platen", 409, ""},
      {"compression in range", "mfp", "<scan:CompressionFactor>100</scan:CompressionFactor>", "Platen", 201,
       "image/jpeg"},
      {"compression out of range", "pdf-first", "<scan:CompressionFactor>2</scan:CompressionFactor>", "Platen", 409,
       ""},
      {"compression ignored", "flatbed-photo", "<scan:CompressionFactor>500</scan:CompressionFactor>", "Platen", 201,
       "image/jpeg"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    Config cfg;
    cfg.profile = r.profile;
    start(cfg);
    RawClient c(port());
    const Answer created = c.exchange(post_scan_job(settings_doc(r.inner, r.source)));
    ASSERT_EQ(created.status, r.status);
    if (r.status == 201) {
      const Answer page = c.exchange(get("/eSCL/ScanJobs/" + job_id_of(created.header("Location")) + "/NextDocument"));
      EXPECT_EQ(page.status, 200);
      EXPECT_EQ(page.header("Content-Type"), r.content_type);
      const std::string magic = page.body.substr(0, 4);
      EXPECT_EQ(magic, std::string(r.content_type) == "image/png"    ? "\x89PNG"
                       : std::string(r.content_type) == "image/jpeg" ? "\xFF\xD8\xFF\xE0"
                                                                     : "%PDF");
    }
    server().stop();
  }
}

TEST_F(StrictDevice, LowerCompressionFactorGivesALargerPage) {
  Config cfg;
  start(cfg);
  auto page_size = [&](int factor) {
    RawClient c(port());
    const Answer created = c.exchange(post_scan_job(
        settings_doc("<scan:CompressionFactor>" + std::to_string(factor) + "</scan:CompressionFactor>")));
    return c.exchange(get("/eSCL/ScanJobs/" + job_id_of(created.header("Location")) + "/NextDocument")).body.size();
  };
  const size_t best = page_size(0), normal = page_size(25), most = page_size(100);
  EXPECT_GT(best, normal);
  EXPECT_GT(normal, most);
}

// A PDF page holds the JPEG page whole, and its cross-reference table
// points at its objects.
TEST_F(StrictDevice, PdfPageWrapsTheJpegChart) {
  Config cfg;
  cfg.profile = "pdf-first";
  start(cfg);
  RawClient c(port());
  const std::string id = create_job(c);
  const std::string pdf = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument")).body;
  ASSERT_THAT(pdf, StartsWith("%PDF-1.4"));
  EXPECT_THAT(pdf, HasSubstr("/Width 75 /Height 75 /ColorSpace /DeviceRGB"));
  const size_t start_at = pdf.find("stream\n", pdf.find("/DCTDecode")) + 7;
  const size_t end_at = pdf.find("\nendstream", start_at);
  Image page;
  ASSERT_TRUE(decode_jpeg(pdf.substr(start_at, end_at - start_at), page));
  EXPECT_EQ(page.width, 75);
  const size_t xref = std::stoul(pdf.substr(pdf.rfind("startxref\n") + 10));
  EXPECT_EQ(pdf.compare(xref, 4, "xref"), 0);
  const size_t entries = pdf.find(" f \n", xref) + 4;  // after the free entry of object 0
  for (int object = 1; object <= 5; ++object) {
    const size_t offset = std::stoul(pdf.substr(entries + 20 * static_cast<size_t>(object - 1), 10));
    EXPECT_EQ(pdf.compare(offset, 8, std::to_string(object) + " 0 obj\n"), 0) << object;
  }
}

TEST_F(StrictDevice, ProfilesListFormatsTwiceAndIntentsPerSource) {
  for (const char *profile : {"flatbed-photo", "mfp", "camera", "pdf-first"}) {
    SCOPED_TRACE(profile);
    DeviceModel model;
    std::string error;
    ASSERT_TRUE(load_device_model(profile, model, error));
    std::vector<XmlNode> nodes;
    ASSERT_TRUE(read_xml_nodes(model.capabilities, nodes, error)) << error;
    for (const SourceCaps *caps : {&model.platen, &model.adf_simplex, &model.adf_duplex, &model.camera}) {
      if (!caps->present) continue;
      EXPECT_FALSE(caps->formats.empty());
      EXPECT_FALSE(caps->intents.empty());
    }
    // Every format once as pwg:DocumentFormat and once as DocumentFormatExt,
    // inside a setting profile.
    int pwg = 0, ext = 0;
    for (const auto &node : nodes) {
      if (node.local != "DocumentFormat" && node.local != "DocumentFormatExt") continue;
      const XmlNode &formats = nodes[static_cast<size_t>(node.parent)];
      EXPECT_EQ(formats.local, "DocumentFormats");
      EXPECT_EQ(nodes[static_cast<size_t>(formats.parent)].local, "SettingProfile");
      (node.local == "DocumentFormat" ? pwg : ext) += 1;
      EXPECT_EQ(namespace_of(node.uri), node.local == "DocumentFormat" ? XmlNs::kPwg : XmlNs::kEscl);
    }
    EXPECT_GT(pwg, 0);
    EXPECT_EQ(pwg, ext);
  }
  // A captured document's lists are what its jobs may ask for.
  DeviceModel kyocera;
  std::string error;
  ASSERT_TRUE(load_device_model(std::string("file:") + BB_DEVICES_DIR + "/caps-kyocera-ecosys-m2040dn.xml", kyocera,
                                error));
  EXPECT_THAT(kyocera.platen.formats, ::testing::ElementsAre("image/jpeg", "application/pdf"));
  EXPECT_THAT(kyocera.platen.intents, ::testing::Contains("TextAndGraphic"));
  DeviceModel xerox;
  ASSERT_TRUE(load_device_model(std::string("file:") + BB_DEVICES_DIR + "/caps-xerox-b235.xml", xerox, error));
  EXPECT_EQ(xerox.platen.formats.front(), "application/pdf");
  EXPECT_TRUE(xerox.compression.present);
  EXPECT_EQ(xerox.compression.max, 95);
}

TEST_F(StrictDevice, DocumentsRewrittenAsXmlLibrariesWriteThem) {
  struct Row {
    NamespacePrefixes style;
    const char *status_piece;  // how the job state is written
    const char *caps_piece;
  } rows[] = {
      {NamespacePrefixes::kNs0, "<ns2:JobState>Processing</ns2:JobState>", "<ns0:ScannerCapabilities xmlns:ns0="},
      {NamespacePrefixes::kPwg2, "<pwg2:JobState>Processing</pwg2:JobState>", "xmlns:pwg2=\"http://www.pwg.org"},
      {NamespacePrefixes::kEscl1, "<pwg:JobState>Processing</pwg:JobState>", kScan10Namespace},
  };
  for (const auto &r : rows) {
    for (const std::string &profile :
         {std::string("mfp"), std::string("file:") + BB_DEVICES_DIR + "/caps-canon-ts5300.xml"}) {
      SCOPED_TRACE(profile);
      Config cfg;
      cfg.profile = profile;
      cfg.namespace_prefixes = r.style;
      start(cfg);
      RawClient c(port());
      create_job(c);
      const std::string status = c.exchange(get("/eSCL/ScannerStatus")).body;
      const std::string caps = c.exchange(get("/eSCL/ScannerCapabilities")).body;
      EXPECT_THAT(status, HasSubstr(r.status_piece));
      EXPECT_THAT(caps, HasSubstr(r.caps_piece));
      // The same elements in the same namespaces, whatever the prefixes.
      std::vector<XmlNode> nodes;
      std::string error;
      ASSERT_TRUE(read_xml_nodes(caps, nodes, error)) << error;
      DeviceModel model;
      ASSERT_TRUE(load_device_model(profile, model, error));
      std::vector<XmlNode> original;
      ASSERT_TRUE(read_xml_nodes(model.capabilities, original, error));
      ASSERT_EQ(nodes.size(), original.size());
      for (size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i].local, original[i].local);
        EXPECT_EQ(namespace_of(nodes[i].uri), namespace_of(original[i].uri)) << nodes[i].local;
      }
      if (r.style != NamespacePrefixes::kEscl1) {
        EXPECT_THAT(caps, Not(HasSubstr(kScan10Namespace)));
      }
      server().stop();
    }
  }
}

TEST_F(StrictDevice, TextAnswersInSmallChunks) {
  Config cfg;
  cfg.status_chunk_size = 7;
  start(cfg);
  RawClient c(port());
  const Answer created = c.exchange(post_scan_job(scan_settings({})));
  EXPECT_EQ(created.status, 201);
  EXPECT_TRUE(created.chunked);
  for (const char *path : {"/eSCL/ScannerStatus", "/eSCL/ScannerCapabilities"}) {
    const Answer a = c.exchange(get(path));
    EXPECT_TRUE(a.chunked) << path;
    EXPECT_TRUE(a.complete) << path;
    EXPECT_THAT(a.body, HasSubstr("<pwg:Version>")) << path;
    // No element name of eight bytes or more crosses the wire whole.
    EXPECT_THAT(a.raw, Not(HasSubstr("<pwg:Version>"))) << path;
    EXPECT_THAT(a.raw, HasSubstr("\r\n7\r\n")) << path;
  }
}

}  // namespace
}  // namespace escl_sim::test
