// Page start: job creation or continuation, the status poll on one channel
// (and its fall-back), and the next-document request whose channel stays
// open at the image data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_double.h"
#include "job_session.h"

using fake::Log;
using jobtest::job_entry;
using jobtest::kStatusRequest;
using jobtest::Session;
using jobtest::status_doc;
using jobtest::with_length;
using ::testing::ElementsAre;
using ::testing::Each;

namespace {

const std::string kPageHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kPageBody = "4\r\nJPEG\r\n0\r\n\r\n";

std::string status_answer(const std::string &scanner, const std::string &adf,
                          const std::string &job_state, const std::string &id = "J1") {
  return with_length(status_doc(scanner, adf, job_entry(id, job_state)));
}

using jobtest::next_document_request;

// The rest of the open page channel, read the way the image reader does.
std::string rest_of_page(Session &s) {
  std::string out;
  char c = 0;
  int32_t n = 0;
  while (http_read_size(s.bb->http, &c, 1, 1, &n) == HTTP_OK) out += c;
  return out;
}

void setup_flatbed(Session &s) {
  s.hs->current_source = BB_SOURCE_FLATBED;
  s.hs->current_mode = BB_MODE_GRAY;
  s.hs->br_x = 13762560;
  s.hs->br_y = 19464192;
  s.hs->x_range_max = 14149222;
}

TEST(StartScan, FlatbedFirstPageProcessingAtOnce) {
  fake::Device dev;
  Session s;
  setup_flatbed(s);
  s.hs->scan_interrupted = 1;  // left from an earlier scan
  auto &post = jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  auto &poll = dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "", "Processing"));
  auto &doc = dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);

  EXPECT_EQ(s.hs->scan_interrupted, 0);
  EXPECT_EQ(s.job_id(), "J1");
  EXPECT_EQ(s.hs->job_page_count, 1);
  EXPECT_TRUE(post.closed);
  EXPECT_EQ(poll.written, kStatusRequest);
  EXPECT_THAT(poll.write_timeouts, ElementsAre(5));
  EXPECT_TRUE(poll.closed);
  EXPECT_EQ(doc.written, next_document_request("J1"));
  EXPECT_THAT(doc.write_timeouts, ElementsAre(1));
  EXPECT_FALSE(doc.closed);
  EXPECT_EQ(dev.open_count(), 1);
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_EQ(fake::logs().front(),
            (Log{6, "bb_escl 1633: bb_start_scan entry. job_id=,  input_src[1]\n"}));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1697: jobstate =[4] version=[0]\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1718: SANE_STATUS_COMPLETED or SANE_STATUS_PROCESSING.\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1728: JOBSTATE [4].\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1575: bb_get_scanjob..\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1615: bb_get_scanjob stat=[0] bytes_read=[" +
                                  std::to_string(kPageHeader.size()) + "].\n"));
  EXPECT_EQ(fake::logs().back(),
            (Log{6, "bb_escl 1742: bb_start_scan returning with status ret = (0)\n"}));
  EXPECT_EQ(rest_of_page(s), kPageBody);
  EXPECT_STREQ(s.hs->page_content_type, "image/jpeg");
}

// ---- the poll's decision table ---------------------------------------------

struct PollRow {
  std::string name;
  int32_t source;
  std::string scanner, adf, job_state;
  SANE_Status expected;
  int32_t interrupted;
  bool document_requested;
};

TEST(StartScan, FirstStatusAnswerDecides) {
  const PollRow rows[] = {
      {"feeder jam wins over a processing job", 2, "Processing", "ScannerAdfJam", "Processing",
       SANE_STATUS_JAMMED, 1, false},
      {"duplex cover open", 3, "Processing", "ScannerAdfHatchOpen", "Pending",
       SANE_STATUS_COVER_OPEN, 1, false},
      {"a jam reported for the platen is ignored", 1, "Processing", "ScannerAdfJam", "Processing",
       SANE_STATUS_GOOD, 0, true},
      {"an empty feeder is left to the job state", 2, "Processing", "ScannerAdfEmpty",
       "Processing", SANE_STATUS_GOOD, 0, true},
      {"a busy feeder is left to the job state", 2, "Processing", "ScannerAdfProcessing",
       "Completed", SANE_STATUS_GOOD, 0, true},
      {"job cancelled on the device", 2, "Idle", "ScannerAdfLoaded", "Canceled",
       SANE_STATUS_CANCELLED, 1, false},
      {"job aborted", 1, "Idle", "", "Aborted", SANE_STATUS_CANCELLED, 1, false},
      {"completed job", 1, "Idle", "", "Completed", SANE_STATUS_GOOD, 0, true},
      // Some devices start scanning only when the document is asked for.
      {"pending on an idle scanner", 1, "Idle", "", "Pending", SANE_STATUS_GOOD, 0, true},
  };
  for (const PollRow &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_source = row.source;
    // A platen page creates its job; a feeder page continues one.
    if (row.source == BB_SOURCE_ADF || row.source == BB_SOURCE_DUPLEX)
      s.set_job("J1");
    else
      jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
    auto &poll = dev.next("KV-ESCL-SCAN").reply(status_answer(row.scanner, row.adf, row.job_state));
    dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

    EXPECT_EQ(bb_start_scan(s.hs.get()), row.expected) << row.name;
    EXPECT_EQ(s.hs->scan_interrupted, row.interrupted) << row.name;
    EXPECT_EQ(poll.writes.size(), 1u) << row.name;
    EXPECT_TRUE(fake::sleeps().empty()) << row.name;
    EXPECT_EQ(dev.open_count(), row.document_requested ? 1 : 0) << row.name;
    EXPECT_EQ(s.bb->http != nullptr, row.document_requested) << row.name;
    EXPECT_EQ(s.job_id(), "J1") << row.name;  // a stopped job stays for the cancel
  }
}

TEST(StartScan, FeederJamIsLoggedWithItsState) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfJam", "Processing"));
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_JAMMED);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1686: ADF is in error state (6), hence Exiting.....\n"));
  EXPECT_TRUE(fake::logs_starting("bb_escl 1405:").empty());  // the job state is not read
  // The result is logged, then the status channel closed.
  const auto &logs = fake::logs();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[logs.size() - 2],
            (Log{6, "bb_escl 1742: bb_start_scan returning with status ret = (6)\n"}));
  EXPECT_THAT(logs.back().text, ::testing::StartsWith("http 284: http_close()"));
  EXPECT_EQ(dev.open_count(), 0);
}

// The first page of a job: Pending on a busy scanner is waited for.
TEST(StartScan, PendingFirstPageIsPolledEveryHalfSecondOnOneChannel) {
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_ADF;
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  auto &poll = dev.next("KV-ESCL-SCAN")
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"))
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"))
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"))
                   .reply(status_answer("Processing", "ScannerAdfProcessing", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  // Half a second each, in slices short enough for a cancel to be seen.
  EXPECT_EQ(fake::slept_total(), 1500000u);
  EXPECT_THAT(fake::sleeps(), Each(100000u));
  EXPECT_EQ(poll.writes, std::vector<std::string>(4, kStatusRequest));
  EXPECT_THAT(poll.read_timeouts, Each(1));
  EXPECT_EQ(fake::logs_starting("bb_escl 1723:").size(), 3u);
  EXPECT_EQ(fake::logs_starting("bb_escl 1663:").size(), 4u);
}

// A further page of a job Pending again: some servers scan the next sheet
// only when its document is asked for, whatever the scanner state.
TEST(StartScan, FurtherPagePendingRequestsTheDocumentAtOnce) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  auto &poll = dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"));
  auto &doc = dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(poll.writes.size(), 1u);
  EXPECT_EQ(doc.written, next_document_request("J1"));
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_EQ(s.hs->job_page_count, 2);
}

// "503 Service Unavailable" to the document request: not ready yet.
TEST(StartScan, DocumentAnsweredBusyIsAskedForAgain) {
  const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 4\r\n\r\nbusy";
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"));
  auto &first = dev.next("KV-ESCL-SCAN").reply(busy);
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"));
  auto &second = dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << jobtest::dump_logs();
  EXPECT_TRUE(first.closed);
  EXPECT_EQ(second.written, next_document_request("J1"));
  EXPECT_EQ(fake::slept_total(), 500000u);
  // The counted body of the refusal is read by its length, not waited out.
  EXPECT_EQ(first.read_timeouts.size(), 1u);
  EXPECT_EQ(rest_of_page(s), kPageBody);
}

TEST(StartScan, PendingJobThatNeverStartsEndsAfterFiveMinutesOfSleeps) {
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_ADF;
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  auto &poll = dev.next("KV-ESCL-SCAN");
  for (int i = 0; i < 700; ++i) poll.reply(status_answer("Processing", "ScannerAdfLoaded", "Pending"));

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(fake::slept_total(), 300000000ULL);
  EXPECT_EQ(poll.writes.size(), 600u);
  EXPECT_TRUE(poll.closed);
  EXPECT_EQ(dev.open_calls(), 3);  // the jobs before, the job, the poll; no document request
  EXPECT_TRUE(fake::logged(3, "bb_escl 1745: bb_start_scan job not ready after 300 seconds, giving up\n"));
  EXPECT_EQ(s.hs->scan_interrupted, 0);
}

// The host asks for a cancel while the plug-in waits: every wait ends
// within half a second of it, with CANCELLED and nothing more sent.
TEST(StartScan, CancelEndsEveryWaitWithinHalfASecond) {
  struct Row {
    std::string name;
    std::string status;  // what every poll answers
    std::string document;
  };
  const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
  const Row rows[] = {
      {"pending poll", status_answer("Processing", "ScannerAdfLoaded", "Pending"), ""},
      {"job not listed", status_answer("Processing", "ScannerAdfLoaded", "Completed", "J0"), ""},
      {"document busy", status_answer("Processing", "ScannerAdfLoaded", "Processing"), busy},
  };
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_source = BB_SOURCE_ADF;
    jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
    for (int round = 0; round < 10; ++round) {
      auto &poll = dev.next("KV-ESCL-SCAN");
      for (int i = 0; i < 50; ++i) poll.reply(row.status);
      if (!row.document.empty()) dev.next("KV-ESCL-SCAN").reply(row.document);
    }
    unsigned long long asked_at = 0;
    fake::on_sleep([&](size_t n) {
      if (n == 7) {
        s.hs->cancel_requested = 1;
        asked_at = fake::slept_total();
      }
    });
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_CANCELLED) << row.name;
    EXPECT_LE(fake::slept_total() - asked_at, 500000u) << row.name;
    EXPECT_EQ(dev.open_count(), 0) << row.name;
    EXPECT_EQ(s.job_id(), "J1") << row.name;  // left for the cancelling scan end
  }
  // Asked before the call: nothing goes out.
  fake::Device dev;
  Session s;
  s.hs->cancel_requested = 1;
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_CANCELLED);
  EXPECT_EQ(dev.open_calls(), 0);
}

TEST(StartScan, EmptyStatusAnswerIsPolledAgain) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  // Content-Length: 0 and nothing more: the reader's look for a further
  // header meets silence, and no byte of a document came.
  auto &poll = dev.next("KV-ESCL-SCAN")
                   .reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                   .silence()
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(fake::slept_total(), 500000u);
  EXPECT_EQ(poll.writes.size(), 2u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1723: JOBSTATE_CONITNUE************\n"));
  EXPECT_TRUE(fake::logged(3, "bb_escl 828: HEADER NOT FOUND. Retrying.\n"));
}

TEST(StartScan, JobListedLateIsLookedForAgain) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  auto &poll = dev.next("KV-ESCL-SCAN")
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Completed", "J0"))
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Completed", "J0"))
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Processing", "J1"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_THAT(fake::sleeps(), ElementsAre(100000u, 100000u));
  EXPECT_EQ(poll.writes.size(), 3u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1701: bb_start_scan job not listed yet, polling again (2)\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1728: JOBSTATE [4].\n"));
}

TEST(StartScan, JobNeverListedGoesToTheDocumentAfterTwentyRepolls) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  auto &poll = dev.next("KV-ESCL-SCAN");
  for (int i = 0; i < 30; ++i) poll.reply(with_length(status_doc("Processing", "ScannerAdfLoaded")));
  auto &doc = dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(poll.writes.size(), 21u);
  EXPECT_EQ(fake::sleeps(), std::vector<unsigned>(21, 100000u));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1728: JOBSTATE [5].\n"));
  EXPECT_EQ(doc.written, next_document_request("J1"));
  EXPECT_EQ(dev.open_count(), 0);
}

// An empty chunked body is an empty answer, decoded like a counted one.
TEST(StartScan, EmptyChunkedStatusIsPolledAgain) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  auto &poll = dev.next("KV-ESCL-SCAN")
                   .reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
                   .reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << jobtest::dump_logs();
  EXPECT_EQ(fake::slept_total(), 500000u);
  EXPECT_EQ(poll.writes.size(), 2u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1723: JOBSTATE_CONITNUE************\n"));
}

TEST(StartScan, BadRequestAnswersBeforeTheStatusAreReadPast) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_DUPLEX;
  dev.next("KV-ESCL-SCAN")
      .reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
      .reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
      .reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(fake::sleeps().empty());
}

// A 400 with a page of its own before the document: the page is read by
// its length, and the document's header after it is found whole, even
// when the page does not end in a line end.
TEST(StartScan, BadRequestBodiesBeforeTheDocumentAreReadPast) {
  const std::string page = "<html><body>400 Bad Request</body></html>\n";
  const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: " + std::to_string(page.size()) +
                          "\r\n\r\n" + page;
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(bad + bad + kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << jobtest::dump_logs();
  EXPECT_EQ(rest_of_page(s), kPageBody);
}

// ---- "no page" answers: the end only when the status confirms it -------------

const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
const std::string kConflict = "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n";
const std::string kGone = "HTTP/1.1 410 Gone\r\nContent-Length: 0\r\n\r\n";

struct Status {
  std::string scanner, adf, job;
};

struct NoPageRow {
  std::string name;
  int32_t source;
  std::vector<std::string> documents;  // answers to the document requests
  std::vector<Status> statuses;        // the status read after each "no page"
  SANE_Status expected;
  unsigned long long slept_us;
};

TEST(StartScan, NoPageAnswersEndTheJobOnlyWhenTheStatusConfirms) {
  const std::string page = kPageHeader + kPageBody;
  const NoPageRow rows[] = {
      {"404, job completed, feeder empty", 2, {kNotFound}, {{"Idle", "ScannerAdfEmpty", "Completed"}},
       SANE_STATUS_NO_DOCS, 0},
      // A server answers 409 after the last sheet and leaves its job running.
      {"409, idle scanner, feeder empty", 2, {kConflict}, {{"Idle", "ScannerAdfEmpty", "Processing"}},
       SANE_STATUS_NO_DOCS, 0},
      {"410, job cancelled", 3, {kGone}, {{"Idle", "ScannerAdfLoaded", "Canceled"}}, SANE_STATUS_NO_DOCS, 0},
      {"404, job aborted", 2, {kNotFound}, {{"Idle", "ScannerAdfLoaded", "Aborted"}}, SANE_STATUS_NO_DOCS, 0},
      {"404, job pending, feeder empty", 2, {kNotFound}, {{"Processing", "ScannerAdfEmpty", "Pending"}},
       SANE_STATUS_NO_DOCS, 0},
      // Brother devices answer 404 while they draw in the next sheet.
      {"404 while the next sheet comes", 2, {kNotFound, kNotFound, page},
       {{"Processing", "ScannerAdfProcessing", "Processing"}, {"Processing", "ScannerAdfLoaded", "Processing"}},
       SANE_STATUS_GOOD, 300000 + 450000},
      {"404 while the last sheet is scanned, then completed", 2, {kNotFound, kNotFound},
       {{"Processing", "ScannerAdfEmpty", "Processing"}, {"Idle", "ScannerAdfEmpty", "Completed"}},
       SANE_STATUS_NO_DOCS, 300000},
      {"pauses grow to 2 s", 2, {kNotFound, kGone, kConflict, kNotFound, kNotFound, kNotFound, kNotFound, page},
       std::vector<Status>(7, {"Processing", "ScannerAdfLoaded", "Processing"}), SANE_STATUS_GOOD,
       300000 + 450000 + 700000 + 1000000 + 1500000 + 2000000 + 2000000},
      {"jam seen after the refusal", 2, {kNotFound}, {{"Processing", "ScannerAdfJam", "Processing"}},
       SANE_STATUS_JAMMED, 0},
      // Xerox B205/B215 answer 404 or 410 to the first requests of a job
      // still scanning the platen.
      {"platen 404 and 410 while processing", 1, {kNotFound, kGone, page},
       {{"Processing", "", "Processing"}, {"Processing", "", "Processing"}}, SANE_STATUS_GOOD, 300000 + 450000},
      {"platen 404, job completed", 1, {kNotFound}, {{"Idle", "", "Completed"}}, SANE_STATUS_NO_DOCS, 0},
      {"camera 410, job aborted", 4, {kGone}, {{"Idle", "", "Aborted"}}, SANE_STATUS_NO_DOCS, 0},
      {"platen 409 is no end", 1, {kConflict}, {}, SANE_STATUS_IO_ERROR, 0},
  };
  for (const NoPageRow &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_source = row.source;
    const bool feeder = row.source == BB_SOURCE_ADF || row.source == BB_SOURCE_DUPLEX;
    if (feeder)
      s.set_job("J1");
    else
      jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
    dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", feeder ? "ScannerAdfProcessing" : "", "Processing"));
    std::vector<fake::Channel *> documents;
    std::vector<fake::Channel *> statuses;
    for (size_t i = 0; i < row.documents.size(); ++i) {
      documents.push_back(&dev.next("KV-ESCL-SCAN").reply(row.documents[i]));
      if (i < row.statuses.size()) {
        const Status &st = row.statuses[i];
        statuses.push_back(&dev.next("KV-ESCL-SCAN").reply(status_answer(st.scanner, st.adf, st.job)));
      }
    }

    EXPECT_EQ(bb_start_scan(s.hs.get()), row.expected) << row.name << jobtest::dump_logs();
    EXPECT_EQ(fake::slept_total(), row.slept_us) << row.name;
    for (fake::Channel *d : documents) EXPECT_EQ(d->written, next_document_request("J1")) << row.name;
    for (fake::Channel *st : statuses) EXPECT_EQ(st->written, kStatusRequest) << row.name;
    EXPECT_EQ(dev.opened().size(), (feeder ? 1u : 3u) + documents.size() + statuses.size()) << row.name;
    EXPECT_EQ(dev.open_count(), row.expected == SANE_STATUS_GOOD ? 1 : 0) << row.name;
    // A feeder's end is no error.
    for (const Log &l : fake::logs())
      if (l.level == 3 && l.text.starts_with("bb_escl ") && !l.text.starts_with("bb_escl 1575:"))
        ADD_FAILURE() << row.name << ": " << l.text;
  }
}

// A "no page" answer after the poll saw the job ended needs no further
// status: a final state does not change.
TEST(StartScan, NoPageAfterAnEndedJobIsJudgedOnThePollsStatus) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfEmpty", "Completed"));
  dev.next("KV-ESCL-SCAN").reply(kNotFound);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(dev.opened().size(), 2u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1732: bb_start_scan no further page (404, job state 2)\n"));
}

// Some Ricoh devices end a feeder job after each sheet: while the feeder
// shows paper, the batch goes on with a new job of the same settings.
TEST(StartScan, FeederJobEndingAfterEachSheetGoesOnWithANewJob) {
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_ADF;
  s.hs->current_mode = BB_MODE_GRAY;
  s.hs->br_x = 13762560;
  s.hs->br_y = 19464192;
  auto &first_post = jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfProcessing", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(rest_of_page(s), kPageBody);
  bb_end_page(s.hs.get(), 0);

  // The job completed after its sheet; the feeder still holds paper.
  dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfLoaded", "Completed"));
  auto &asked = dev.next("KV-ESCL-SCAN").reply(kNotFound);
  auto &second_post = jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J2"),
                                           job_entry("J1", "Completed"));
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfProcessing", "Processing", "J2"));
  auto &page = dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  ASSERT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD) << jobtest::dump_logs();
  EXPECT_EQ(asked.written, next_document_request("J1"));
  EXPECT_EQ(page.written, next_document_request("J2"));
  EXPECT_EQ(s.job_id(), "J2");
  EXPECT_EQ(s.hs->job_page_count, 1);
  ASSERT_EQ(second_post.writes.size(), 2u);
  EXPECT_EQ(second_post.writes, first_post.writes);  // the same settings
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_EQ(fake::logs_starting("bb_escl 1736:").size(), 1u);
  bb_end_page(s.hs.get(), 0);

  // The feeder empty at last: the batch ends.
  dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfEmpty", "Completed", "J2"));
  dev.next("KV-ESCL-SCAN").reply(kNotFound);
  const size_t opened = dev.opened().size();
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(dev.opened().size(), opened + 2);  // no new job
  EXPECT_EQ(dev.open_count(), 0);
}

// A job that delivered several sheets was the whole batch, whatever the
// feeder reads after it.
TEST(StartScan, JobOfSeveralSheetsCompletedWithTheFeederLoadedEndsTheBatch) {
  for (int32_t source : {BB_SOURCE_ADF, BB_SOURCE_DUPLEX}) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    s.hs->job_page_count = 2 + (source == BB_SOURCE_DUPLEX ? 1 : 0);  // pages delivered so far
    s.hs->current_source = source;
    dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfLoaded", "Completed"));
    dev.next("KV-ESCL-SCAN").reply(kNotFound);
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS) << source;
    EXPECT_EQ(dev.opened().size(), 2u) << source;
    EXPECT_TRUE(fake::logs_starting("bb_escl 1736:").empty()) << source;
  }
}

// A new job that has no page either ends the batch: no job after job.
TEST(StartScan, NewJobWithoutAPageEndsTheBatch) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfLoaded", "Completed"));
  dev.next("KV-ESCL-SCAN").reply(kNotFound);
  jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J2"));
  dev.next("KV-ESCL-SCAN").reply(status_answer("Idle", "ScannerAdfLoaded", "Completed", "J2"));
  dev.next("KV-ESCL-SCAN").reply(kNotFound);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(dev.opened().size(), 6u);
  EXPECT_EQ(s.job_id(), "J2");  // for the scan end
}

// ---- channels ---------------------------------------------------------------

TEST(StartScan, StatusFallsBackToTheWebServicesChannel) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.refuse("KV-ESCL-SCAN");
  auto &poll = dev.next("KV-EWS-NDAT").reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  auto &doc = dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);

  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1655: Failed to Open Channel ff/cc/0. Trying for Channel ff/4/1\n"));
  EXPECT_EQ(poll.written, kStatusRequest);
  EXPECT_TRUE(poll.closed);
  EXPECT_EQ(doc.written, next_document_request("J1"));
  EXPECT_EQ(dev.opened_names(), (std::vector<std::string>{"KV-EWS-NDAT", "KV-ESCL-SCAN"}));
}

TEST(StartScan, NoStatusChannelIsAnIoError) {
  for (int first_page = 0; first_page < 2; ++first_page) {
    fake::Device dev;
    Session s;
    s.hs->current_source = BB_SOURCE_ADF;
    if (first_page)
      jobtest::script_post(dev, jobtest::created("/eSCL/ScanJobs/J1"));
    else
      s.set_job("J1");
    dev.refuse("KV-ESCL-SCAN");
    dev.refuse("KV-EWS-NDAT");
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(s.job_id(), "J1");
    EXPECT_EQ(s.hs->job_page_count, first_page ? 1 : 2);  // counted before the poll
    EXPECT_EQ(dev.open_count(), 0);
    EXPECT_EQ(s.bb->http, nullptr);
  }
}

TEST(StartScan, SecondStartOfAPlatenOrCameraJobIsRefused) {
  for (int32_t source : {BB_SOURCE_FLATBED, BB_SOURCE_CAMERA}) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    s.hs->current_source = source;
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(dev.open_calls(), 0);
    EXPECT_EQ(s.hs->job_page_count, 1);
  }
}

TEST(StartScan, FailedJobCreationEndsTheStart) {
  fake::Device dev;
  Session s;
  setup_flatbed(s);
  jobtest::script_jobs_before(dev);
  dev.refuse("KV-ESCL-SCAN");
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(dev.open_calls(), 2);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1742: bb_start_scan returning with status ret = (9)\n"));
}

TEST(StartScan, PollExchangeFailuresAreIoErrors) {
  {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    s.hs->current_source = BB_SOURCE_ADF;
    dev.next("KV-ESCL-SCAN").write_result = 5;
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "bb_escl 1667: Unable to write scanner status to http conection\n"));
    EXPECT_EQ(dev.open_count(), 0);
  }
  {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    s.hs->current_source = BB_SOURCE_ADF;
    dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 500 Internal Server Error\r\n\r\n");
    EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(dev.open_count(), 0);
    EXPECT_EQ(dev.open_calls(), 1);
  }
}

TEST(StartScan, PageChannelLeftOpenIsClosedFirst) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  auto &stale = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  dev.next("KV-ESCL-SCAN").reply(status_answer("Processing", "ScannerAdfLoaded", "Processing"));
  dev.next("KV-ESCL-SCAN").reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_start_scan(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(stale.closed);
  EXPECT_EQ(dev.open_count(), 1);
}

// ---- next document ----------------------------------------------------------

struct DocumentRow {
  std::string name;
  std::string answer;
  SANE_Status expected;
};

TEST(GetScanJob, AnswerDecides) {
  const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  const DocumentRow rows[] = {
      {"page follows", kPageHeader + kPageBody, SANE_STATUS_GOOD},
      {"no further page", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", SANE_STATUS_NO_DOCS},
      // Not ready yet: the page start asks again.
      {"device busy", "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n",
       SANE_STATUS_DEVICE_BUSY},
      {"bad request first", bad + kPageHeader + kPageBody, SANE_STATUS_GOOD},
      {"bad request, then 404", bad + bad + "HTTP/1.1 404 Not Found\r\n\r\n", SANE_STATUS_NO_DOCS},
      // A fourth 400 is a refusal, not a page.
      {"four bad requests", bad + bad + bad + bad, SANE_STATUS_IO_ERROR},
      {"no answer", "", SANE_STATUS_IO_ERROR},
  };
  for (const DocumentRow &row : rows) {
    fake::Device dev;
    Session s;
    s.set_job("J9");
    auto &ch = dev.next("KV-ESCL-SCAN");
    // Each answer arrives in a read of its own, as a device sends it.
    size_t at = 0;
    while (at < row.answer.size()) {
      size_t next = row.answer.find("HTTP/1.1", at + 1);
      if (next == std::string::npos) next = row.answer.size();
      ch.reply(row.answer.substr(at, next - at));
      at = next;
    }
    EXPECT_EQ(bb_get_scanjob(s.hs.get()), row.expected) << row.name;
    EXPECT_EQ(ch.written, next_document_request("J9")) << row.name;
    EXPECT_EQ(ch.closed, row.expected != SANE_STATUS_GOOD) << row.name;
    EXPECT_EQ(s.bb->http != nullptr, row.expected == SANE_STATUS_GOOD) << row.name;
    EXPECT_EQ(fake::logs_starting("bb_escl 1615:").size(), 1u) << row.name;
  }
}

// The page's media type goes to the host; an answer without one, or with
// no page, leaves it empty.
TEST(GetScanJob, PageContentTypeIsHandedToTheHost) {
  const DocumentRow rows[] = {
      {"image/png", "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 4\r\n\r\nPNG!",
       SANE_STATUS_GOOD},
      {"image/jpeg", "HTTP/1.1 200 OK\r\ncontent-type: Image/JPEG; charset=x\r\nContent-Length: 4\r\n\r\nJPEG",
       SANE_STATUS_GOOD},
      {"", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nJPEG", SANE_STATUS_GOOD},
      {"", "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n",
       SANE_STATUS_NO_DOCS},
  };
  for (const DocumentRow &row : rows) {
    fake::Device dev;
    Session s;
    s.set_job("J9");
    strcpy(s.hs->page_content_type, "stale/left");
    dev.next("KV-ESCL-SCAN").reply(row.answer);
    EXPECT_EQ(bb_get_scanjob(s.hs.get()), row.expected) << row.answer;
    EXPECT_STREQ(s.hs->page_content_type, row.name.c_str()) << row.answer;
  }
}

TEST(GetScanJob, BadRequestRereadsAreLogged) {
  fake::Device dev;
  Session s;
  s.set_job("J9");
  const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  dev.next("KV-ESCL-SCAN").reply(bad).reply(kPageHeader + kPageBody);
  EXPECT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_EQ(fake::logs_starting("bb_escl 1596:"),
            std::vector<Log>{(Log{6, "bb_escl 1596: bb_get_scanjob read_header 2 ret=0 bytes_read=" +
                                         std::to_string(kPageHeader.size()) + " \n"})});
  EXPECT_EQ(rest_of_page(s), kPageBody);
}

TEST(GetScanJob, NotFoundIsLoggedAndTheChannelClosed) {
  fake::Device dev;
  Session s;
  s.set_job("J9");
  dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_NO_DOCS);
  ASSERT_EQ(fake::logs_starting("bb_escl 1615:").size(), 1u);
  EXPECT_THAT(fake::logs_starting("bb_escl 1615:")[0].text,
              ::testing::StartsWith("bb_escl 1615: bb_get_scanjob stat=[7] bytes_read=["));
  EXPECT_EQ(dev.open_count(), 0);
  // The feeder's "no more" is the batch's normal end, not an error.
  EXPECT_TRUE(fake::logged(6, "http 322: invalid http_status=404\n"));
  for (const fake::Log &line : fake::logs()) EXPECT_NE(line.level, 3) << line;
}

TEST(GetScanJob, UnnamedJobAsksForAnEmptyPath) {
  fake::Device dev;
  Session s;
  auto &ch = dev.next("KV-ESCL-SCAN").reply("HTTP/1.1 404 Not Found\r\n\r\n");
  EXPECT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(ch.written, next_document_request(""));
}

TEST(GetScanJob, OpenAndWriteFailures) {
  {
    fake::Device dev;
    Session s;
    dev.refuse("KV-ESCL-SCAN");
    EXPECT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "bb_escl 1578: Unable to open http connection\n"));
    EXPECT_EQ(dev.open_calls(), 1);  // no fall-back channel
  }
  {
    fake::Device dev;
    Session s;
    dev.next("KV-ESCL-SCAN").write_result = 5;
    EXPECT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "bb_escl 1586: Unable to write get scan job request\n"));
    EXPECT_EQ(dev.open_count(), 0);
  }
}

}  // namespace
