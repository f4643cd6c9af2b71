// The simulator's request and document readers, fed whole and split at
// every position.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http_request.h"
#include "scan_settings.h"
#include "xml_text.h"

namespace escl_sim {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

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
      "xmlns:pwg=\"http://x/schemas/2010/12/sm\"><pwg:Version>2.0</pwg:Version><scan:Intent>Photo</scan:Intent>"
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
  ASSERT_EQ(parse_scan_settings("<ScanSettings><DocumentFormat>image/jpeg</DocumentFormat>"
                                "<DocumentFormatExt>image/png</DocumentFormatExt></ScanSettings>",
                                s, error),
            SettingsResult::kOk);
  EXPECT_EQ(s.format, "image/png");
  EXPECT_EQ(s.source, InputSource::kPlaten);
  EXPECT_EQ(s.x_resolution, 300);
  EXPECT_FALSE(s.has_region);
  ASSERT_EQ(parse_scan_settings("<ScanSettings><XResolution>150</XResolution></ScanSettings>", s, error),
            SettingsResult::kOk);
  EXPECT_EQ(s.y_resolution, 150);
}

TEST(ScanSettingsReader, RefusedDocuments) {
  struct Row {
    const char *doc;
    SettingsResult result;
  } rows[] = {
      {"", SettingsResult::kMalformed},
      {"<Other/>", SettingsResult::kMalformed},
      {"<ScanSettings><XResolution>9600</XResolution></ScanSettings>", SettingsResult::kUnsupported},
      {"<ScanSettings><XResolution>-5</XResolution></ScanSettings>", SettingsResult::kUnsupported},
      {"<ScanSettings><ScanRegion><Width>0</Width><Height>10</Height></ScanRegion></ScanSettings>",
       SettingsResult::kUnsupported},
      {"<ScanSettings><ScanRegion><Width>10</Width><Height>10</Height><XOffset>-1</XOffset></ScanRegion>"
       "</ScanSettings>",
       SettingsResult::kUnsupported},
      {"<ScanSettings><ColorMode>CMYK32</ColorMode></ScanSettings>", SettingsResult::kUnsupported},
      {"<ScanSettings><InputSource>Tray</InputSource></ScanSettings>", SettingsResult::kUnsupported},
  };
  for (const auto &r : rows) {
    ScanSettings s;
    std::string error;
    EXPECT_EQ(parse_scan_settings(r.doc, s, error), r.result) << r.doc;
    EXPECT_FALSE(error.empty()) << r.doc;
  }
}

}  // namespace
}  // namespace escl_sim
