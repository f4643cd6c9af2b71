// The simulator's request and document readers, fed whole and split at
// every position.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http_request.h"
#include "scan_settings.h"
#include "xml_names.h"
#include "xml_text.h"

namespace escl_sim {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

constexpr const char *kEscl = "http://schemas.example.com/imaging/escl/2011/05/03";
constexpr const char *kPwg = "http://www.pwg.org/schemas/2010/12/sm";

// A ScanSettings document around `inner`, its prefixes declared as clients
// declare them.
std::string settings_doc(const std::string &inner) {
  return std::string("<scan:ScanSettings xmlns:scan=\"") + kEscl + "\" xmlns:pwg=\"" + kPwg + "\">" + inner +
         "</scan:ScanSettings>";
}

TEST(TakeRequest, SameResultWhateverTheSplit) {
  const std::string wire =
      "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 5\r\nHOST: \r\n\r\nhello"
      "GET /eSCL/ScannerStatus HTTP/1.1\r\nHOST: \r\n\r\n";
  for (size_t split = 0; split <= wire.size(); ++split) {
    std::string buffer = wire.substr(0, split);
    std::vector<Request> got;
    Request req;
    auto drain = [&] {
      ParseStatus st;
      while ((st = take_request(buffer, req)) == ParseStatus::kComplete) got.push_back(req);
      ASSERT_EQ(st, ParseStatus::kNeedMore) << split;
    };
    drain();
    buffer += wire.substr(split);
    drain();
    ASSERT_EQ(got.size(), 2u) << split;
    EXPECT_EQ(got[0].line, "POST /eSCL/ScanJobs HTTP/1.1");
    EXPECT_EQ(got[0].body, "hello");
    EXPECT_EQ(got[0].header("content-type"), "text/xml");
    EXPECT_EQ(got[0].header("Host"), "");
    EXPECT_EQ(got[1].path, "/eSCL/ScannerStatus");
    EXPECT_TRUE(buffer.empty());
  }
}

TEST(TakeRequest, HeadersAndConnectionRules) {
  struct Row {
    std::string wire;
    bool keep_alive;
  } rows[] = {
      {"GET / HTTP/1.1\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", false},
      {"GET / HTTP/1.0\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
  };
  for (auto &r : rows) {
    Request req;
    ASSERT_EQ(take_request(r.wire, req), ParseStatus::kComplete);
    EXPECT_EQ(req.keep_alive, r.keep_alive) << req.line;
  }
  std::string wire = "\r\nGET /a?b=c HTTP/1.1\r\nX-One:  spaced value \r\n\r\n";
  Request req;
  ASSERT_EQ(take_request(wire, req), ParseStatus::kComplete);
  EXPECT_EQ(req.path, "/a");
  EXPECT_THAT(req.headers, ElementsAre(Pair("X-One", "spaced value")));
}

TEST(TakeRequest, ChunkedBodyIsDecoded) {
  std::string wire = "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n2\r\nde\r\n0\r\nTrailer: x\r\n\r\nrest";
  Request req;
  ASSERT_EQ(take_request(wire, req), ParseStatus::kComplete);
  EXPECT_EQ(req.body, "abcde");
  EXPECT_EQ(wire, "rest");
}

TEST(TakeRequest, LimitsAndMalformedInput) {
  Request req;
  std::string no_end(kMaxHeaderBytes + 1, 'a');
  EXPECT_EQ(take_request(no_end, req), ParseStatus::kTooLarge);
  std::string big_body = "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes + 1) + "\r\n\r\n";
  EXPECT_EQ(take_request(big_body, req), ParseStatus::kTooLarge);
  std::string huge_number = "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n";
  EXPECT_EQ(take_request(huge_number, req), ParseStatus::kBad);
  std::string negative = "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n";
  EXPECT_EQ(take_request(negative, req), ParseStatus::kBad);
  std::string both = "POST / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(take_request(both, req), ParseStatus::kBad);
}

TEST(TakeRequest, ExpectContinueReportsTheHead) {
  std::string wire = "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n";
  Request req;
  EXPECT_EQ(take_request(wire, req), ParseStatus::kHeadComplete);
  wire += "abc";
  EXPECT_EQ(take_request(wire, req), ParseStatus::kComplete);
  EXPECT_EQ(req.body, "abc");
}

TEST(XmlText, LocalNamesWhateverThePrefix) {
  const std::string doc =
      "<?xml version=\"1.0\"?><!-- <a:X>comment</a:X> --><root><a:X attr=\"1\">\r\n 42 \r\n</a:X>"
      "<X/><b:Outer><b:Outer>inner</b:Outer></b:Outer></root>";
  std::string text;
  ASSERT_TRUE(xml_element_text(doc, "X", text));
  EXPECT_EQ(text, "42");
  EXPECT_EQ(xml_int(doc, "X", -1), 42);
  EXPECT_EQ(xml_int(doc, "Missing", -1), -1);
  std::string body;
  ASSERT_TRUE(xml_element_body(doc, "Outer", body));
  EXPECT_EQ(body, "<b:Outer>inner</b:Outer>");
  EXPECT_FALSE(xml_element_body("<a>unclosed", "a", body));
  EXPECT_EQ(xml_int("<n>12x</n>", "n", -1), -1);
  EXPECT_EQ(xml_int("<n>99999999999</n>", "n", -1), -1);
}

TEST(ScanSettingsReader, DocumentAsThePluginWritesIt) {
  const std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings xmlns:scan=\"http://x/imaging/escl/2011/05/03\" "
      "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:Version>2.0</pwg:Version><scan:Intent>Photo</scan:Intent>"
      "<pwg:ScanRegions><pwg:ScanRegion><pwg:Height>3507</pwg:Height><pwg:ContentRegionUnits>"
      "escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits><pwg:Width>2480</pwg:Width><pwg:XOffset>34"
      "</pwg:XOffset><pwg:YOffset>0</pwg:YOffset></pwg:ScanRegion></pwg:ScanRegions><pwg:ContentType>Photo"
      "</pwg:ContentType><pwg:InputSource>Feeder</pwg:InputSource><scan:XResolution>300</scan:XResolution>"
      "<scan:YResolution>300</scan:YResolution><scan:ColorMode>Grayscale8</scan:ColorMode><scan:Duplex>true"
      "</scan:Duplex></scan:ScanSettings>\r\n";
  ScanSettings s;
  std::string error;
  ASSERT_EQ(parse_scan_settings(doc, s, error), SettingsResult::kOk) << error;
  EXPECT_EQ(s.source, InputSource::kFeeder);
  EXPECT_TRUE(s.duplex);
  EXPECT_EQ(s.x_resolution, 300);
  EXPECT_EQ(s.color_mode, ColorMode::kGrayscale8);
  EXPECT_TRUE(s.has_region);
  EXPECT_EQ(s.width, 2480);
  EXPECT_EQ(s.height, 3507);
  EXPECT_EQ(s.x_offset, 34);
  EXPECT_EQ(s.format, "");
}

TEST(ScanSettingsReader, FormatExtWinsAndDefaults) {
  ScanSettings s;
  std::string error;
  ASSERT_EQ(parse_scan_settings(settings_doc("<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>"
                                             "<scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>"),
                                s, error),
            SettingsResult::kOk);
  EXPECT_EQ(s.format, "image/png");
  EXPECT_EQ(s.source, InputSource::kPlaten);
  EXPECT_EQ(s.x_resolution, 300);
  EXPECT_FALSE(s.has_region);
  EXPECT_EQ(s.intent, "");
  EXPECT_EQ(s.compression_factor, -1);
  ASSERT_EQ(parse_scan_settings(settings_doc("<pwg:DocumentFormat>image/png</pwg:DocumentFormat>"
                                             "<scan:XResolution>150</scan:XResolution><scan:Intent>Preview"
                                             "</scan:Intent><scan:CompressionFactor>40</scan:CompressionFactor>"),
                                s, error),
            SettingsResult::kOk);
  EXPECT_EQ(s.y_resolution, 150);
  EXPECT_EQ(s.format, "image/png");
  EXPECT_EQ(s.intent, "Preview");
  EXPECT_EQ(s.compression_factor, 40);
}

TEST(ScanSettingsReader, RefusedDocuments) {
  struct Row {
    std::string doc;
    SettingsResult result;
  } rows[] = {
      {"", SettingsResult::kMalformed},
      {"<Other/>", SettingsResult::kMalformed},
      {std::string("<scan:Other xmlns:scan=\"") + kEscl + "\"/>", SettingsResult::kMalformed},
      {settings_doc("<scan:XResolution>9600</scan:XResolution>"), SettingsResult::kUnsupported},
      {settings_doc("<scan:XResolution>-5</scan:XResolution>"), SettingsResult::kUnsupported},
      {settings_doc("<pwg:ScanRegions><pwg:ScanRegion><pwg:Width>0</pwg:Width><pwg:Height>10</pwg:Height>"
                    "</pwg:ScanRegion></pwg:ScanRegions>"),
       SettingsResult::kUnsupported},
      {settings_doc("<pwg:ScanRegions><pwg:ScanRegion><pwg:Width>10</pwg:Width><pwg:Height>10</pwg:Height>"
                    "<pwg:XOffset>-1</pwg:XOffset></pwg:ScanRegion></pwg:ScanRegions>"),
       SettingsResult::kUnsupported},
      {settings_doc("<scan:ColorMode>CMYK32</scan:ColorMode>"), SettingsResult::kUnsupported},
      {settings_doc("<pwg:InputSource>Tray</pwg:InputSource>"), SettingsResult::kUnsupported},
      {settings_doc("<scan:CompressionFactor>-3</scan:CompressionFactor>"), SettingsResult::kUnsupported},
  };
  for (const auto &r : rows) {
    ScanSettings s;
    std::string error;
    EXPECT_EQ(parse_scan_settings(r.doc, s, error), r.result) << r.doc;
    EXPECT_FALSE(error.empty()) << r.doc;
  }
}

// Strict devices refuse elements in namespaces they do not know and read
// the rest by namespace, whatever prefix the client chose.
TEST(ScanSettingsReader, NamespacesDecideNotPrefixes) {
  const std::string pwg = std::string("xmlns:pwg=\"") + kPwg + "\"";
  struct Row {
    std::string doc;
    SettingsResult result;
    int resolution;  // read when kOk
    InputSource source;
  } rows[] = {
      // other prefixes, as XML libraries choose them
      {std::string("<ns0:ScanSettings xmlns:ns0=\"") + kEscl + "\" xmlns:ns2=\"" + kPwg +
           "\"><ns0:XResolution>150</ns0:XResolution><ns2:InputSource>Feeder</ns2:InputSource></ns0:ScanSettings>",
       SettingsResult::kOk, 150, InputSource::kFeeder},
      // eSCL as the default namespace
      {std::string("<ScanSettings xmlns=\"") + kEscl + "\" " + pwg +
           "><XResolution>200</XResolution><pwg:InputSource>Camera</pwg:InputSource></ScanSettings>",
       SettingsResult::kOk, 200, InputSource::kCamera},
      // the eSCL 1.0 URI, and one declared on the element that uses it
      {std::string("<scan:ScanSettings xmlns:scan=\"") + kScan10Namespace + "\"><scan:XResolution xmlns:p=\"" + kPwg +
           "\">75</scan:XResolution><p:InputSource xmlns:p=\"" + kPwg + "\">Feeder</p:InputSource></scan:ScanSettings>",
       SettingsResult::kOk, 75, InputSource::kFeeder},
      // an element of the wrong namespace is no setting: the source stays Platen
      {settings_doc("<scan:InputSource>Feeder</scan:InputSource><scan:XResolution>100</scan:XResolution>"),
       SettingsResult::kOk, 100, InputSource::kPlaten},
      // the units' "escl:" is text, not an element: no declaration needed
      {settings_doc("<pwg:ScanRegions><pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches"
                    "</pwg:ContentRegionUnits><pwg:Width>10</pwg:Width><pwg:Height>10</pwg:Height></pwg:ScanRegion>"
                    "</pwg:ScanRegions>"),
       SettingsResult::kOk, 300, InputSource::kPlaten},
      // an undeclared prefix
      {std::string("<scan:ScanSettings xmlns:scan=\"") + kEscl +
           "\"><pwg:InputSource>Feeder</pwg:InputSource></scan:ScanSettings>",
       SettingsResult::kMalformed, 0, InputSource::kPlaten},
      // a namespace the device does not know, root or child
      {settings_doc("<x:Extra xmlns:x=\"http://example.org/vendor\">1</x:Extra>"), SettingsResult::kMalformed, 0,
       InputSource::kPlaten},
      {std::string("<scan:ScanSettings xmlns:scan=\"http://schemas.example.com/imaging/escl/2012/01/01\"/>"),
       SettingsResult::kMalformed, 0, InputSource::kPlaten},
      // no namespace at all, or the root in the PWG one
      {"<ScanSettings><XResolution>150</XResolution></ScanSettings>", SettingsResult::kMalformed, 0,
       InputSource::kPlaten},
      {std::string("<pwg:ScanSettings ") + pwg + "/>", SettingsResult::kMalformed, 0, InputSource::kPlaten},
      // tags that do not nest
      {settings_doc("<scan:XResolution>150</pwg:XResolution>"), SettingsResult::kMalformed, 0, InputSource::kPlaten},
  };
  for (const auto &r : rows) {
    ScanSettings s;
    std::string error;
    ASSERT_EQ(parse_scan_settings(r.doc, s, error), r.result) << r.doc << ": " << error;
    if (r.result != SettingsResult::kOk) continue;
    EXPECT_EQ(s.x_resolution, r.resolution) << r.doc;
    EXPECT_EQ(s.source, r.source) << r.doc;
  }
}

TEST(XmlNames, RewrittenPrefixesKeepEveryElementInItsNamespace) {
  const std::string doc = std::string("<?xml version=\"1.0\"?>\n<scan:Caps xmlns:scan=\"") + kEscl +
                          "\" xmlns:pwg=\"" + kPwg +
                          "\"><!-- <scan:Comment/> --><pwg:Version>2.63</pwg:Version><scan:Units>"
                          "escl:ThreeHundredthsOfInches</scan:Units><scan:Format scan:default=\"true\">image/jpeg"
                          "</scan:Format><Plain>1</Plain></scan:Caps>\n";
  struct Row {
    NamespacePrefixes style;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } rows[] = {
      {NamespacePrefixes::kStandard, {"<scan:Caps", "<pwg:Version>"}, {"ns0"}},
      {NamespacePrefixes::kNs0,
       {"<ns0:Caps xmlns:ns0=", "xmlns:ns2=", "<ns2:Version>2.63</ns2:Version>", "</ns0:Caps>",
        "ns0:default=\"true\"", ">escl:ThreeHundredthsOfInches<", "<!-- <scan:Comment/> -->", "<Plain>"},
       {"<scan:Caps", "<pwg:", "xmlns:scan", "xmlns:pwg"}},
      {NamespacePrefixes::kPwg2,
       {"<scan:Caps", "xmlns:pwg2=", "<pwg2:Version>2.63</pwg2:Version>"},
       {"<pwg:", "xmlns:pwg="}},
      {NamespacePrefixes::kEscl1,
       {std::string("xmlns:scan=\"") + kScan10Namespace + "\"", "<scan:Caps", "<pwg:Version>"},
       {kEscl}},
  };
  std::vector<XmlNode> before;
  std::string error;
  ASSERT_TRUE(read_xml_nodes(doc, before, error)) << error;
  for (const auto &r : rows) {
    const std::string out = rewrite_prefixes(doc, r.style);
    for (const auto &piece : r.present) EXPECT_NE(out.find(piece), std::string::npos) << piece << "\n" << out;
    for (const auto &piece : r.absent) EXPECT_EQ(out.find(piece), std::string::npos) << piece << "\n" << out;
    std::vector<XmlNode> after;
    ASSERT_TRUE(read_xml_nodes(out, after, error)) << error;
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].local, before[i].local);
      EXPECT_EQ(namespace_of(after[i].uri), namespace_of(before[i].uri)) << after[i].local;
      EXPECT_EQ(after[i].text, before[i].text);
    }
  }
}

TEST(HostHeader, PortRequiredLocalhostRecognised) {
  struct Row {
    const char *host;
    bool has_port;
    bool localhost;
  } rows[] = {
      {"127.0.0.1:8080", true, false}, {"127.0.0.1", false, false},   {"", false, false},
      {"[::1]:631", true, false},      {"[::1]", false, false},       {"[::1]631", false, false},
      {"::1:80", false, false},        {"scanner:", false, false},    {":80", false, false},
      {"scanner:65536", false, false}, {"scanner:8x", false, false},  {"localhost", false, true},
      {"LocalHost:80", true, true},    {"localhost:", false, false},  {"localhost.lan:80", true, false},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(host_has_port(r.host), r.has_port) << r.host;
    EXPECT_EQ(host_is_localhost(r.host), r.localhost) << r.host;
  }
}

}  // namespace
}  // namespace escl_sim
