// Whole scans as the host drives them, against a scripted scanner: every
// request, every channel opened and closed, and the job forgotten at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <sstream>
#include <string>
#include <vector>

#include "device_double.h"
#include "job_session.h"

using jobtest::job_entry;
using jobtest::kStatusRequest;
using jobtest::Session;
using jobtest::status_doc;
using jobtest::with_length;
using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const std::string kScan = "KV-ESCL-SCAN";
const std::string kWebServices = "KV-EWS-NDAT";

std::string next_document(const std::string &id) { return jobtest::next_document_request(id); }

// A page of `size` bytes (a different byte run per page) in chunks of at
// most `chunk_size`.
struct Page {
  std::string data;
  std::string body;
};

Page make_page(size_t size, size_t chunk_size, char seed) {
  Page p;
  for (size_t i = 0; i < size; ++i) p.data += static_cast<char>(seed + i * 7 + i / 251);
  std::ostringstream out;
  for (size_t at = 0; at < size; at += chunk_size) {
    size_t n = std::min(chunk_size, size - at);
    out << std::hex << n << "\r\n" << p.data.substr(at, n) << "\r\n";
  }
  out << "0\r\n\r\n";
  p.body = out.str();
  return p;
}

std::string page_answer(const Page &p) {
  return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n\r\n" + p.body;
}

std::string status(const std::string &scanner, const std::string &adf, const std::string &state,
                   const std::string &id = "J1") {
  return with_length(status_doc(scanner, adf, job_entry(id, state, 1)));
}

// What the host does for one page: image data until the end or a failure.
std::string host_reads_page(Session &s, int *result) {
  std::string page;
  for (;;) {
    *result = bb_get_image_data(s.hs.get());
    if (*result != 0 || s.hs->image_count == 0) return page;
    page.append(reinterpret_cast<const char *>(s.hs->image_buffer), s.hs->image_count);
    s.hs->image_count = 0;
  }
}

// Error-level lines: a scan that succeeds, a feeder batch that ends with
// the device's "no more" included, leaves none.
std::vector<fake::Log> error_lines() {
  std::vector<fake::Log> errors;
  for (const fake::Log &line : fake::logs()) {
    if (line.level <= LOG_ERR) errors.push_back(line);
  }
  return errors;
}

void expect_scan_ended(const fake::Device &dev, const Session &s) {
  EXPECT_EQ(dev.open_count(), 0);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_EQ(std::string(s.hs->job_id, sizeof s.hs->job_id), std::string(sizeof s.hs->job_id, '\0'));
  EXPECT_EQ(s.hs->job_page_count, 0);
}

void set_area(Session &s, int32_t source, int32_t mode) {
  s.hs->current_source = source;
  s.hs->current_mode = mode;
  s.hs->br_x = 13762560;  // A4
  s.hs->br_y = 19464192;
  s.hs->x_range_max = 14149222;
}

TEST(ScanConversation, FlatbedPageFromJobCreationToScanEnd) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_FLATBED, BB_MODE_COLOR);
  Page page = make_page(10000, 4096, 'a');
  auto &post = jobtest::script_post(dev, jobtest::created("http://10.0.0.9/eSCL/ScanJobs/J1"));
  auto &poll = dev.next(kScan).reply(status("Processing", "", "Processing"));
  auto &doc = dev.next(kScan).reply_in_pieces(page_answer(page), 1500);

  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(s.hs->job_page_count, 1);
  EXPECT_STREQ(s.hs->device_ip, "10.0.0.9");
  int result = -1;
  EXPECT_TRUE(host_reads_page(s, &result) == page.data);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(bb_end_page(s.hs.get(), 0), 0);
  EXPECT_TRUE(doc.closed);
  EXPECT_EQ(bb_end_scan(s.hs.get(), 0), 0);

  ASSERT_EQ(post.writes.size(), 2u);
  EXPECT_THAT(post.writes[0], ::testing::StartsWith("POST /eSCL/ScanJobs HTTP/1.1\r\n"));
  EXPECT_THAT(post.writes[1], HasSubstr("<pwg:InputSource>Platen</pwg:InputSource>"));
  EXPECT_THAT(poll.writes, ElementsAre(kStatusRequest));
  EXPECT_THAT(doc.writes, ElementsAre(next_document("J1")));
  // The jobs listed before, the job, the poll, the page.
  EXPECT_EQ(dev.opened_names(), (std::vector<std::string>{kScan, kScan, kScan, kScan}));
  for (fake::Channel *ch : dev.opened()) EXPECT_TRUE(ch->closed);
  expect_scan_ended(dev, s);
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_THAT(error_lines(), IsEmpty());
}

TEST(ScanConversation, ThreePageFeederScanEndsOnNotFound) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_ADF, BB_MODE_GRAY);
  Page pages[] = {make_page(5000, 2048, 'A'), make_page(7000, 3000, 'B'), make_page(300, 4096, 'C')};
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.next(kScan).reply(status("Processing", "ScannerAdfProcessing", "Processing"));
  dev.next(kScan).reply(page_answer(pages[0]));
  // Between pages one status a page: the page start reads the one the
  // continuation check fetched.
  for (int i = 1; i < 3; ++i) {
    dev.next(kScan).reply(status("Processing", "ScannerAdfProcessing", "Processing"));
    dev.next(kScan).reply(page_answer(pages[i]));
  }
  // After the third sheet the feeder is empty while the job still runs.
  dev.next(kScan).reply(status("Processing", "ScannerAdfEmpty", "Processing"));
  auto &last = dev.next(kScan).reply("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  // The end is the device's word only once its status confirms it.
  auto &confirm = dev.next(kScan).reply(status("Idle", "ScannerAdfEmpty", "Completed"));

  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      ASSERT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_GOOD) << i;
    }
    ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << i;
    EXPECT_EQ(s.hs->job_page_count, i + 1);
    int result = -1;
    EXPECT_TRUE(host_reads_page(s, &result) == pages[i].data) << i;
    EXPECT_EQ(result, 0);
    bb_end_page(s.hs.get(), 0);
    EXPECT_EQ(dev.open_count(), 0);
  }
  EXPECT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(s.hs->job_page_count, 4);
  EXPECT_THAT(last.writes, ElementsAre(next_document("J1")));
  EXPECT_TRUE(last.closed);
  EXPECT_THAT(confirm.writes, ElementsAre(kStatusRequest));
  EXPECT_TRUE(fake::sleeps().empty());
  bb_end_scan(s.hs.get(), 0);
  expect_scan_ended(dev, s);
  EXPECT_EQ(dev.opened().size(), 11u);
  for (fake::Channel *ch : dev.opened()) EXPECT_TRUE(ch->closed);
  EXPECT_THAT(error_lines(), IsEmpty());
  EXPECT_TRUE(fake::logged(LOG_INFO, "http 322: invalid http_status=404\n"));
}

TEST(ScanConversation, DuplexJobDeliversBothSides) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_DUPLEX, BB_MODE_COLOR);
  Page front = make_page(3000, 1000, 'f');
  Page back = make_page(3000, 1000, 'b');
  auto &post = jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.next(kScan).reply(status("Processing", "ScannerAdfProcessing", "Processing"));
  dev.next(kScan).reply(page_answer(front));
  dev.next(kScan).reply(status("Processing", "ScannerAdfEmpty", "Processing"));
  dev.next(kScan).reply(page_answer(back));
  dev.next(kScan).reply(status("Idle", "ScannerAdfEmpty", "Completed"));
  dev.next(kScan).reply("HTTP/1.1 404 Not Found\r\n\r\n");

  int result = -1;
  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(host_reads_page(s, &result) == front.data);
  bb_end_page(s.hs.get(), 0);
  ASSERT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_GOOD);
  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(host_reads_page(s, &result) == back.data);
  bb_end_page(s.hs.get(), 0);
  ASSERT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  bb_end_scan(s.hs.get(), 0);

  ASSERT_EQ(post.writes.size(), 2u);
  EXPECT_THAT(post.writes[1], HasSubstr("<pwg:InputSource>Feeder</pwg:InputSource>"));
  EXPECT_THAT(post.writes[1], HasSubstr("<scan:Duplex>true</scan:Duplex>"));
  expect_scan_ended(dev, s);
}

struct StopRow {
  std::string name;
  std::string adf;
  SANE_Status expected;
};

TEST(ScanConversation, FeederStopDuringThePollThenCancellingScanEnd) {
  const StopRow rows[] = {
      {"paper jam", "ScannerAdfJam", SANE_STATUS_JAMMED},
      {"cover opened", "ScannerAdfHatchOpen", SANE_STATUS_COVER_OPEN},
  };
  for (const StopRow &row : rows) {
    fake::Device dev;
    Session s;
    set_area(s, BB_SOURCE_ADF, BB_MODE_GRAY);
    jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
    auto &poll = dev.next(kScan)
                     .reply(status("Processing", "ScannerAdfProcessing", "Pending"))
                     .reply(status("Processing", row.adf, "Processing"));
    auto &cancel = dev.next(kWebServices)
                       .reply(status("Processing", row.adf, "Processing"))
                       .reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");

    EXPECT_EQ(bb_start_scan(s.hs.get()), row.expected) << row.name;
    EXPECT_EQ(s.hs->scan_interrupted, 1) << row.name;
    EXPECT_EQ(fake::slept_total(), 500000u) << row.name;
    EXPECT_THAT(poll.writes, ElementsAre(kStatusRequest, kStatusRequest)) << row.name;
    EXPECT_TRUE(poll.closed) << row.name;
    EXPECT_EQ(s.job_id(), "J1") << row.name;

    EXPECT_EQ(bb_end_scan(s.hs.get(), 1), 0) << row.name;
    EXPECT_THAT(cancel.writes,
                ElementsAre(kStatusRequest, jobtest::request("DELETE", "/eSCL/ScanJobs/J1")))
        << row.name;
    EXPECT_TRUE(cancel.closed) << row.name;
    EXPECT_EQ(dev.opened_names(), (std::vector<std::string>{kScan, kScan, kScan, kWebServices}))
        << row.name;
    expect_scan_ended(dev, s);
  }
}

TEST(ScanConversation, PendingJobOnTheFallBackChannelThenItsPage) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_FLATBED, BB_MODE_GRAY);
  Page page = make_page(2000, 512, 'p');
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.refuse(kScan);
  auto &poll = dev.next(kWebServices);
  for (int i = 0; i < 4; ++i) poll.reply(status("Processing", "", "Pending"));
  poll.reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
      .reply(status("Processing", "", "Processing"));
  auto &doc = dev.next(kScan).reply(page_answer(page));

  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(fake::slept_total(), 4 * 500000u);
  EXPECT_EQ(poll.writes, std::vector<std::string>(5, kStatusRequest));
  EXPECT_TRUE(poll.closed);
  EXPECT_THAT(doc.writes, ElementsAre(next_document("J1")));
  int result = -1;
  EXPECT_TRUE(host_reads_page(s, &result) == page.data);
  bb_end_page(s.hs.get(), 0);
  bb_end_scan(s.hs.get(), 0);
  expect_scan_ended(dev, s);
}

TEST(ScanConversation, PageBreakingOffIsEndedByTheHost) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_FLATBED, BB_MODE_GRAY);
  Page page = make_page(9000, 4000, 'x');
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.next(kScan).reply(status("Processing", "", "Processing"));
  std::string answer = page_answer(page);
  auto &doc = dev.next(kScan).reply(answer.substr(0, answer.size() - 3000));
  auto &cancel = dev.next(kWebServices)
                     .reply(status("Processing", "", "Processing"))
                     .reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");

  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  int result = -1;
  std::string got = host_reads_page(s, &result);
  EXPECT_EQ(result, 1);
  // The first chunk whole, then what came of the second before the break:
  // 3000 bytes short of the body are the third chunk's 1012 bytes of framing
  // and data, the second chunk's line end and its last 1986 bytes.
  EXPECT_EQ(got.size(), 4000u + 2014u);
  EXPECT_EQ(s.hs->image_count, 0);
  bb_end_page(s.hs.get(), 1);
  EXPECT_TRUE(doc.closed);
  // The device still runs the job whose page broke off: it is deleted.
  bb_end_scan(s.hs.get(), 1);
  EXPECT_THAT(cancel.writes,
              ElementsAre(kStatusRequest, jobtest::request("DELETE", "/eSCL/ScanJobs/J1")));
  expect_scan_ended(dev, s);
}

TEST(ScanConversation, JobTheDeviceCancelledIsNotDeleted) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_ADF, BB_MODE_GRAY);
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.next(kScan).reply(status("Processing", "ScannerAdfLoaded", "Canceled"));
  auto &cancel = dev.next(kWebServices).reply(status("Idle", "ScannerAdfLoaded", "Canceled"));

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_CANCELLED);
  EXPECT_EQ(s.hs->scan_interrupted, 1);
  bb_end_scan(s.hs.get(), 1);
  EXPECT_TRUE(cancel.writes.empty());
  EXPECT_EQ(dev.opened().size(), 3u);
  expect_scan_ended(dev, s);
}

TEST(ScanConversation, SecondScanCreatesANewJob) {
  fake::Device dev;
  Session s;
  set_area(s, BB_SOURCE_FLATBED, BB_MODE_GRAY);
  for (const std::string id : {"J1", "J2"}) {
    Page page = make_page(100, 64, id[1]);
    jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/" + id));
    dev.next(kScan).reply(status("Processing", "", "Processing", id));
    auto &doc = dev.next(kScan).reply(page_answer(page));
    ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << id;
    EXPECT_THAT(doc.writes, ElementsAre(next_document(id)));
    int result = -1;
    EXPECT_TRUE(host_reads_page(s, &result) == page.data);
    bb_end_page(s.hs.get(), 0);
    // A second page of a platen job is refused until the scan ends.
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
    bb_end_scan(s.hs.get(), 0);
    expect_scan_ended(dev, s);
  }
}

}  // namespace
