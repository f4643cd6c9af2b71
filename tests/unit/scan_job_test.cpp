// Job creation: the ScanSettings document and its request, byte for byte,
// the region arithmetic, and the answer's Location.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "device_double.h"
#include "bb_escl/job_control.h"
#include "job_session.h"

using fake::Log;
using jobtest::Session;
using ::testing::ElementsAre;

namespace {

constexpr SANE_Fixed kMm215_9 = 14149222;  // 215.9 mm: a letter-wide platen
constexpr SANE_Fixed kMm210 = 13762560;    // A4 width
constexpr SANE_Fixed kMm297 = 19464192;    // A4 height
constexpr SANE_Fixed kMm50 = 50 * 65536;

// The text of the first <name>...</name> in a document.
std::string element(const std::string &doc, const std::string &name) {
  size_t start = doc.find("<" + name + ">");
  if (start == std::string::npos) return "(absent)";
  start += name.size() + 2;
  return doc.substr(start, doc.find('<', start) - start);
}

struct Posted {
  std::string header;
  std::string body;
};

Posted post(Session &s, fake::Device &dev, const std::string &answer) {
  auto &ch = dev.next("KV-ESCL-SCAN").reply(answer);
  SANE_Status st = bb_post_scanjob(s.hs.get());
  EXPECT_EQ(st, SANE_STATUS_GOOD);
  EXPECT_EQ(ch.writes.size(), 2u);
  if (ch.writes.size() != 2) return {};
  return {ch.writes[0], ch.writes[1]};
}

TEST(PostScanJob, FlatbedColourA4Conversation) {
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_FLATBED;
  s.hs->current_mode = BB_MODE_COLOR;
  s.hs->current_resolution = 300;
  s.hs->br_x = kMm210;
  s.hs->br_y = kMm297;
  s.hs->x_range_max = kMm215_9;
  auto &ch = dev.next("KV-ESCL-SCAN").reply(
      jobtest::created("http://192.168.1.20:80/eSCL/ScanJobs/1f2e3d"));

  EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_GOOD);

  const std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings "
      "xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\" "
      "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:Version>2.0</pwg:Version>"
      "<scan:Intent>Photo</scan:Intent><pwg:ScanRegions><pwg:ScanRegion>"
      "<pwg:Height>3507</pwg:Height>"
      "<pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>"
      "<pwg:Width>2480</pwg:Width><pwg:XOffset>0</pwg:XOffset><pwg:YOffset>0</pwg:YOffset>"
      "</pwg:ScanRegion></pwg:ScanRegions><pwg:ContentType>Photo</pwg:ContentType>"
      "<pwg:InputSource>Platen</pwg:InputSource><scan:XResolution>300</scan:XResolution>"
      "<scan:YResolution>300</scan:YResolution><scan:ColorMode>RGB24</scan:ColorMode>"
      "<scan:Duplex>false</scan:Duplex></scan:ScanSettings>\r\n";
  const std::string header = "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nHOST: \r\n\r\n";
  EXPECT_THAT(ch.writes, ElementsAre(header, body));
  EXPECT_THAT(ch.write_timeouts, ElementsAre(5, 1));
  EXPECT_TRUE(ch.closed);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_STREQ(s.hs->job_url, "http://192.168.1.20:80/eSCL/ScanJobs/1f2e3d");
  EXPECT_STREQ(s.hs->device_ip, "192.168.1.20:80");
  EXPECT_EQ(s.job_id(), "1f2e3d");
  EXPECT_EQ(s.hs->job_page_count, 1);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1507: bb_post_scanjob.\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1518: Requested_width = [2480], max_width = [2549]\n"));
  EXPECT_EQ(fake::logs_starting("bb_escl 1558:"),
            std::vector<Log>{(Log{6, "bb_escl 1558: bb_post_scanjob returning with stat = [0]"})});
}

struct RegionRow {
  std::string name;
  int32_t source, mode;
  SANE_Fixed tl_x, br_x, tl_y, br_y, x_range_max;
  std::string height, width, x_offset, y_offset, input_source, color_mode, duplex;
};

TEST(PostScanJob, SettingsFollowSourceModeAndArea) {
  const RegionRow rows[] = {
      // The decimal constants round 215.9 mm up to 2550 and the widest
      // feeder scan down to 2549.
      {"platen letter width", 1, 2, 0, kMm215_9, 0, kMm297, kMm215_9, "3507", "2550", "0", "0", "Platen",
       "Grayscale8", "false"},
      {"feeder A4 centred", 2, 3, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "34", "0", "Feeder", "RGB24",
       "false"},
      {"feeder full width: -1/2 truncates to 0", 2, 2, 0, kMm215_9, 0, kMm297, kMm215_9, "3507", "2550", "0", "0",
       "Feeder", "Grayscale8", "false"},
      // Down the sheet a feeder area starts where it starts; across it is
      // centred whatever its left edge.
      {"duplex", 3, 3, kMm50, kMm50 + kMm210, kMm50, kMm50 + kMm297, kMm215_9, "3507", "2480", "34", "590",
       "Feeder", "RGB24", "true"},
      {"lineart goes as grey", 1, 1, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "0", "0", "Platen",
       "Grayscale8", "false"},
      // 50 mm is 590.55/300 inch, truncated like the sizes.
      {"platen area off the origin carries its corner", 1, 3, kMm50, kMm50 + kMm210, kMm50, kMm50 + kMm297,
       kMm215_9, "3507", "2480", "590", "590", "Platen", "RGB24", "false"},
      {"camera", 4, 3, kMm50, kMm210, 0, kMm297, kMm215_9, "3507", "1889", "590", "0", "Camera", "RGB24",
       "false"},
      {"unknown source goes to the platen", 9, 7, 0, kMm210, 0, kMm297, kMm215_9, "3507", "2480", "0", "0",
       "Platen", "Grayscale8", "false"},
      {"offsets are never negative", 1, 3, -kMm50, kMm210, -kMm50, kMm297, kMm215_9, "4098", "3070", "0", "0",
       "Platen", "RGB24", "false"},
  };
  for (const RegionRow &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_source = row.source;
    s.hs->current_mode = row.mode;
    s.hs->current_resolution = 600;
    s.hs->tl_x = row.tl_x;
    s.hs->br_x = row.br_x;
    s.hs->tl_y = row.tl_y;
    s.hs->br_y = row.br_y;
    s.hs->x_range_max = row.x_range_max;
    Posted p = post(s, dev, jobtest::created("/eSCL/ScanJobs/1"));
    EXPECT_EQ(element(p.body, "pwg:Height"), row.height) << row.name;
    EXPECT_EQ(element(p.body, "pwg:Width"), row.width) << row.name;
    EXPECT_EQ(element(p.body, "pwg:XOffset"), row.x_offset) << row.name;
    EXPECT_EQ(element(p.body, "pwg:YOffset"), row.y_offset) << row.name;
    EXPECT_EQ(element(p.body, "pwg:InputSource"), row.input_source) << row.name;
    EXPECT_EQ(element(p.body, "scan:XResolution"), "600") << row.name;
    EXPECT_EQ(element(p.body, "scan:YResolution"), "600") << row.name;
    EXPECT_EQ(element(p.body, "scan:ColorMode"), row.color_mode) << row.name;
    EXPECT_EQ(element(p.body, "scan:Duplex"), row.duplex) << row.name;
    EXPECT_THAT(p.header, ::testing::HasSubstr("Content-Length: " + std::to_string(p.body.size()) + "\r\n"))
        << row.name;
  }
}

TEST(PostScanJob, BadRequestBeforeTheRealAnswerIsReadPast) {
  fake::Device dev;
  Session s;
  Posted p = post(s, dev,
                  "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n" +
                      jobtest::created("/eSCL/ScanJobs/77"));
  EXPECT_EQ(s.job_id(), "77");
  EXPECT_EQ(dev.open_count(), 0);
}

// A created job the answer does not name can be neither scanned nor
// deleted: the start fails.
TEST(PostScanJob, AnswerWithoutAUsableLocationIsAnIoError) {
  for (const char *answer : {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n",
                             "HTTP/1.1 201 Created\r\nLocation: /eSCL/ScanJobs/\r\n\r\n",
                             "HTTP/1.1 201 Created\r\nLocation: /jobs/5\r\n\r\n"}) {
    fake::Device dev;
    Session s;
    dev.next("KV-ESCL-SCAN").reply(answer);
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR) << answer;
    EXPECT_EQ(s.job_id(), "") << answer;
    EXPECT_EQ(fake::logs_starting("bb_escl 1552:").size(), 1u) << answer;
    EXPECT_EQ(fake::logs_starting("bb_escl 1552:")[0].level, 3) << answer;
    EXPECT_EQ(dev.open_count(), 0) << answer;
  }
}

// Busy or warming up: nothing was created, the host may try again.  A 409
// means busy only when the scanner's status says it is working; otherwise
// the settings were refused and asking again would not help.
TEST(PostScanJob, RefusalsThatMeanBusy) {
  const std::string conflict = "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n";
  auto status = [](const std::string &state) {
    const std::string doc = "<scan:ScannerStatus><pwg:State>" + state + "</pwg:State></scan:ScannerStatus>";
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(doc.size()) + "\r\n\r\n" + doc;
  };
  struct Case {
    std::string answer;
    std::string status;  // empty: no status exchange expected
    SANE_Status expected;
  };
  const Case cases[] = {
      {"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", "", SANE_STATUS_DEVICE_BUSY},
      {conflict, status("Processing"), SANE_STATUS_DEVICE_BUSY},
      {conflict, status("Testing"), SANE_STATUS_DEVICE_BUSY},
      {conflict, status("Idle"), SANE_STATUS_IO_ERROR},
      {conflict, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", SANE_STATUS_IO_ERROR},
  };
  for (const Case &c : cases) {
    fake::Device dev;
    Session s;
    dev.next("KV-ESCL-SCAN").reply(c.answer);
    auto *status_channel = c.status.empty() ? nullptr : &dev.next("KV-ESCL-SCAN").reply(c.status);
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), c.expected) << c.status;
    if (status_channel) {
      EXPECT_THAT(status_channel->writes, ElementsAre(bb::kScannerStatusRequest)) << c.status;
    }
    EXPECT_EQ(dev.open_count(), 0) << c.status;
    EXPECT_EQ(s.bb->http, nullptr);
  }
}

TEST(PostScanJob, FailuresAreIoErrorsAndLeaveTheJobFields) {
  struct Case {
    std::string name;
    void (*script)(fake::Device &);
    Log message;
  };
  const Case cases[] = {
      {"channel refused", [](fake::Device &d) { d.refuse("KV-ESCL-SCAN"); },
       {3, "bb_escl 1511: Unable to open http connection\n"}},
      {"header write fails", [](fake::Device &d) { d.next("KV-ESCL-SCAN").write_result = 5; },
       {3, "bb_escl 1539: Unable to write eSCL header in http conection\n"}},
      {"scanner refuses the job's settings",
       [](fake::Device &d) {
         d.next("KV-ESCL-SCAN").reply("HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n");
         d.next("KV-ESCL-SCAN").reply(
             "HTTP/1.1 200 OK\r\nContent-Length: 27\r\n\r\n<pwg:State>Idle</pwg:State>");
       },
       {3, "bb_escl 1550: the device refused the job's settings (409)\n"}},
      {"no answer", [](fake::Device &d) { d.next("KV-ESCL-SCAN").fail_read(5); },
       {6, "bb_escl 1558: bb_post_scanjob returning with stat = [9]"}},
  };
  for (const Case &c : cases) {
    fake::Device dev;
    Session s;
    s.set_job("keep");
    strcpy(s.hs->job_url, "/eSCL/ScanJobs/keep");
    c.script(dev);
    EXPECT_EQ(bb_post_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR) << c.name;
    EXPECT_TRUE(fake::logged(c.message.level, c.message.text)) << c.name;
    EXPECT_EQ(s.job_id(), "keep") << c.name;
    EXPECT_STREQ(s.hs->job_url, "/eSCL/ScanJobs/keep") << c.name;
    EXPECT_EQ(dev.open_count(), 0) << c.name;
    EXPECT_EQ(s.bb->http, nullptr) << c.name;
  }
}

TEST(PostScanJob, PageChannelLeftOpenIsClosedFirst) {
  fake::Device dev;
  Session s;
  auto &page = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  post(s, dev, jobtest::created("/eSCL/ScanJobs/2"));
  EXPECT_TRUE(page.closed);
  EXPECT_EQ(dev.open_count(), 0);
}

}  // namespace
