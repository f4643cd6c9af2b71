// Between and after pages: the continuation decision, page end, scan end
// and the deletion of a job the device stopped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bb_escl/job_control.h"
#include "device_double.h"
#include "job_session.h"

using fake::Log;
using jobtest::job_entry;
using jobtest::kStatusRequest;
using jobtest::Session;
using jobtest::status_doc;
using jobtest::with_length;
using ::testing::ElementsAre;

namespace {

const std::string kDelete = jobtest::request("DELETE", "/eSCL/ScanJobs/J1");
const std::string kDeleted = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// ---- continuation -----------------------------------------------------------

struct ContinueRow {
  std::string name;
  bool job;
  int32_t source;
  std::string scanner, adf, job_state;  // job_state empty: the job is not listed
  SANE_Status expected;
  bool images_read;
};

TEST(CheckScannerToContinue, DecisionTable) {
  const ContinueRow rows[] = {
      {"no job, scanner in use", false, 2, "Processing", "ScannerAdfLoaded", "", SANE_STATUS_DEVICE_BUSY, false},
      {"no job, idle, feeder empty", false, 2, "Idle", "ScannerAdfEmpty", "", SANE_STATUS_NO_DOCS, false},
      {"no job, idle, feeder loaded", false, 2, "Idle", "ScannerAdfLoaded", "", SANE_STATUS_GOOD, false},
      {"no job, idle, duplex without feeder state", false, 3, "Idle", "", "", SANE_STATUS_UNSUPPORTED, false},
      {"no job, idle, platen", false, 1, "Idle", "ScannerAdfEmpty", "", SANE_STATUS_GOOD, false},
      {"platen job", true, 1, "Processing", "ScannerAdfJam", "Aborted", SANE_STATUS_GOOD, false},
      {"camera job", true, 4, "Processing", "", "", SANE_STATUS_GOOD, false},
      {"feeder empty, job processing", true, 2, "Processing", "ScannerAdfEmpty", "Processing", SANE_STATUS_GOOD, true},
      {"feeder empty, job pending", true, 2, "Processing", "ScannerAdfEmpty", "Pending", SANE_STATUS_GOOD, true},
      {"feeder empty, job completed", true, 3, "Idle", "ScannerAdfEmpty", "Completed", SANE_STATUS_GOOD, true},
      {"feeder empty, job gone", true, 2, "Idle", "ScannerAdfEmpty", "", SANE_STATUS_NO_DOCS, true},
      {"feeder empty, job aborted", true, 2, "Idle", "ScannerAdfEmpty", "Aborted", SANE_STATUS_NO_DOCS, true},
      {"feeder busy, job processing", true, 2, "Processing", "ScannerAdfProcessing", "Processing", SANE_STATUS_GOOD, true},
      {"feeder busy, job cancelled", true, 2, "Processing", "ScannerAdfProcessing", "Canceled", SANE_STATUS_DEVICE_BUSY, true},
      {"feeder jam, job processing", true, 2, "Processing", "ScannerAdfJam", "Processing", SANE_STATUS_JAMMED, false},
      {"feeder loaded", true, 2, "Processing", "ScannerAdfLoaded", "Processing", SANE_STATUS_GOOD, false},
      {"feeder cover open", true, 3, "Processing", "ScannerAdfHatchOpen", "Pending", SANE_STATUS_COVER_OPEN, false},
      {"feeder mispick", true, 3, "Processing", "ScannerAdfMispick", "Pending", SANE_STATUS_UNSUPPORTED, false},
  };
  for (const ContinueRow &row : rows) {
    fake::Device dev;
    Session s;
    if (row.job) s.set_job("J1");
    s.hs->current_source = row.source;
    std::string jobs = row.job_state.empty() ? job_entry("J0", "Processing", 1)
                                             : job_entry("J1", row.job_state, 2);
    auto &ch = dev.next("KV-ESCL-SCAN").reply(with_length(status_doc(row.scanner, row.adf, jobs)));

    EXPECT_EQ(bb_check_scanner_to_continue(s.hs.get()), row.expected) << row.name;
    EXPECT_EQ(ch.written, kStatusRequest) << row.name;
    EXPECT_TRUE(ch.closed) << row.name;
    EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 1453: bb_check_scanner_to_continue entry\n"}))
        << row.name;
    EXPECT_EQ(fake::logs().back(),
              (Log{6, "bb_escl 1491: bb_check_scanner_to_continue returning with (" +
                          std::to_string(row.expected) + ").\n"}))
        << row.name;
    EXPECT_EQ(fake::logs_starting("bb_escl 1481:").size(), row.images_read ? 1u : 0u) << row.name;
  }
}

TEST(CheckScannerToContinue, ImageCountIsLoggedButDoesNotDecide) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN")
      .reply(with_length(status_doc("Processing", "ScannerAdfEmpty", job_entry("J1", "Processing", 0))));
  EXPECT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_GOOD);
  EXPECT_TRUE(fake::logged(
      6, "bb_escl 1481: bb_check_scanner_to_continue JobState =[4] ImagesToTransfer=[0]..\n"));
}

TEST(CheckScannerToContinue, FailedStatusFetchIsAnIoError) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  dev.refuse("KV-ESCL-SCAN");
  EXPECT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_IO_ERROR);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1491: bb_check_scanner_to_continue returning with (9).\n"));
}

TEST(CheckScannerToContinue, CapturedIdleScannerWithEmptyFeeder) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  fake::Device dev;
  Session s;
  s.hs->current_source = BB_SOURCE_ADF;
  dev.next("KV-ESCL-SCAN")
      .reply(with_length(jobtest::device_doc("status-epson-et-4800-idle-adf-empty-jobs-uuid-first.xml")));
  EXPECT_EQ(bb_check_scanner_to_continue(s.hs.get()), SANE_STATUS_NO_DOCS);
}

// ---- page and scan end ------------------------------------------------------

TEST(EndPage, ClosesThePageChannelAndKeepsTheJob) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  auto &page = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  fake::reset_captures();
  EXPECT_EQ(bb_end_page(s.hs.get(), 1), 0);
  EXPECT_TRUE(page.closed);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_EQ(s.job_id(), "J1");
  EXPECT_EQ(s.hs->job_page_count, 1);
  EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 1822: bb_end_page(error=1)\n"}));
}

TEST(EndPage, WithoutAChannelChangesNothing) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  EXPECT_EQ(bb_end_page(s.hs.get(), 0), 0);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1822: bb_end_page(error=0)\n"}));
  EXPECT_EQ(s.job_id(), "J1");
  EXPECT_EQ(dev.open_calls(), 0);
}

TEST(EndScan, ForgetsTheJobWithoutCancel) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->job_page_count = 3;
  s.hs->scan_interrupted = 1;
  strcpy(s.hs->job_url, "/eSCL/ScanJobs/J1");
  auto &page = dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  EXPECT_EQ(bb_end_scan(s.hs.get(), 0), 0);
  EXPECT_TRUE(page.closed);
  EXPECT_EQ(std::string(s.hs->job_id, sizeof s.hs->job_id), std::string(sizeof s.hs->job_id, '\0'));
  EXPECT_EQ(s.hs->job_page_count, 0);
  EXPECT_EQ(s.hs->scan_interrupted, 1);
  EXPECT_STREQ(s.hs->job_url, "/eSCL/ScanJobs/J1");
  EXPECT_TRUE(fake::logs_starting("bb_escl 952:").empty());
  EXPECT_EQ(dev.open_calls(), 1);
}

TEST(EndScan, CancelAfterTheJobEndedSendsNothing) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.bb->job_ended = 1;  // the device last reported it Completed
  strcpy(s.hs->job_url, "/eSCL/ScanJobs/J1");
  EXPECT_EQ(bb_end_scan(s.hs.get(), 1), 0);
  EXPECT_EQ(dev.open_calls(), 0);
  EXPECT_THAT(fake::logs(),
              ElementsAre(Log{6, "bb_escl 1836: bb_end_scan(cancel_job=1)\n"},
                          Log{6, "bb_escl 952: bb_cancel_job entry. job_id=[J1] url=[/eSCL/ScanJobs/J1]\n"}));
  EXPECT_EQ(s.job_id(), "");
}

TEST(EndScan, CancelWithoutAJobSendsNothing) {
  fake::Device dev;
  Session s;
  s.hs->scan_interrupted = 1;
  EXPECT_EQ(bb_end_scan(s.hs.get(), 1), 0);
  EXPECT_EQ(dev.open_calls(), 0);
  EXPECT_EQ(fake::logs().size(), 2u);
}

// ---- job cancel ---------------------------------------------------------------

TEST(CancelJob, StoppedJobOnABusyScannerIsDeleted) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->current_source = BB_SOURCE_ADF;
  s.hs->scan_interrupted = 1;
  auto &ch = dev.next("KV-EWS-NDAT")
                 .reply(with_length(status_doc("Processing", "ScannerAdfJam", job_entry("J1", "Processing"))))
                 .reply(kDeleted);
  EXPECT_EQ(bb_end_scan(s.hs.get(), 1), 0);
  EXPECT_THAT(ch.writes, ElementsAre(kStatusRequest, kDelete));
  EXPECT_THAT(ch.write_timeouts, ElementsAre(5, 1));
  EXPECT_TRUE(ch.closed);
  EXPECT_EQ(dev.opened_names(), std::vector<std::string>{"KV-EWS-NDAT"});
  EXPECT_EQ(s.job_id(), "");
  EXPECT_EQ(s.hs->job_page_count, 0);
  EXPECT_TRUE(fake::logged(6, "bb_escl 993: bb_cancel_job len=" + std::to_string(kDeleted.size()) +
                                  " buf=" + kDeleted + "\n"));
  EXPECT_EQ(fake::logs().back(), (Log{6, "bb_escl 1004: bb_cancel_job returning with status = [0].\n"}));
}

TEST(CancelJob, FallsBackToTheScanChannel) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->scan_interrupted = 1;
  dev.refuse("KV-EWS-NDAT");
  auto &ch = dev.next("KV-ESCL-SCAN")
                 .reply(with_length(status_doc("Processing", "", job_entry("J1", "Pending"))))
                 .reply(kDeleted);
  EXPECT_EQ(bb_cancel_job(s.hs.get()), 0);
  EXPECT_TRUE(fake::logged(6, "bb_escl 960: Failed to Open Channel ff/4/1. Trying for Channel ff/cc/0\n"));
  EXPECT_THAT(ch.writes, ElementsAre(kStatusRequest, kDelete));
  EXPECT_EQ(dev.open_count(), 0);
}

struct NoDeleteRow {
  std::string name;
  std::string scanner, job_state;
};

TEST(CancelJob, JobNoLongerRunningIsNotDeleted) {
  const NoDeleteRow rows[] = {
      {"job completed", "Processing", "Completed"},
      {"job cancelled", "Processing", "Canceled"},
      {"job aborted", "Processing", "Aborted"},
  };
  for (const NoDeleteRow &row : rows) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    s.hs->scan_interrupted = 1;
    auto &ch = dev.next("KV-EWS-NDAT")
                   .reply(with_length(status_doc(row.scanner, "", job_entry("J1", row.job_state))));
    EXPECT_EQ(bb_cancel_job(s.hs.get()), 0) << row.name;
    EXPECT_THAT(ch.writes, ElementsAre(kStatusRequest)) << row.name;
    EXPECT_TRUE(ch.closed) << row.name;
    EXPECT_TRUE(fake::logged(6, "bb_escl 979: bb_cancel_job Exiting as no job running.\n")) << row.name;
  }
}

TEST(CancelJob, JobMissingFromABusyScannerIsDeleted) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->scan_interrupted = 1;
  auto &ch = dev.next("KV-EWS-NDAT")
                 .reply(with_length(status_doc("Processing", "", job_entry("J0", "Processing"))))
                 .reply(kDeleted);
  EXPECT_EQ(bb_cancel_job(s.hs.get()), 0);
  EXPECT_THAT(ch.writes, ElementsAre(kStatusRequest, kDelete));
}

TEST(CancelJob, UnansweredDeleteIsOnlyLogged) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  s.hs->scan_interrupted = 1;
  dev.next("KV-EWS-NDAT")
      .reply(with_length(status_doc("Processing", "", job_entry("J1", "Processing"))));
  EXPECT_EQ(bb_cancel_job(s.hs.get()), 0);
  // The failed header read leaves only its failure mark in the buffer.
  ASSERT_EQ(fake::logs_starting("bb_escl 993:").size(), 1u);
  EXPECT_THAT(fake::logs_starting("bb_escl 993:")[0].text,
              ::testing::StartsWith("bb_escl 993: bb_cancel_job len=0 buf="));
  EXPECT_EQ(dev.open_count(), 0);
}

// A job still live on an idle scanner waits for its document request: it
// is deleted like any other job that has not ended.
TEST(CancelJob, LiveJobOnAnIdleScannerIsDeleted) {
  for (const char *state : {"Pending", "Processing"}) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    auto &ch = dev.next("KV-EWS-NDAT")
                   .reply(with_length(status_doc("Idle", "", job_entry("J1", state))))
                   .reply(kDeleted);
    EXPECT_EQ(bb_cancel_job(s.hs.get()), 0) << state;
    EXPECT_THAT(ch.writes, ElementsAre(kStatusRequest, kDelete)) << state;
  }
}

TEST(CancelJob, NoChannelGivesOneAndSendsNothing) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  dev.refuse("KV-EWS-NDAT");
  dev.refuse("KV-ESCL-SCAN");
  EXPECT_EQ(bb_cancel_job(s.hs.get()), 1);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1004: bb_cancel_job returning with status = [1].\n"));
  EXPECT_EQ(dev.open_count(), 0);
}

// Without the status the job's state is unknown: it is deleted all the
// same, on a new channel.
TEST(CancelJob, FailedStatusExchangeStillDeletesOnANewChannel) {
  struct Case {
    std::string name;
    void (*script)(fake::Device &);
  };
  const Case cases[] = {
      {"status write fails", [](fake::Device &d) { d.next("KV-EWS-NDAT").write_result = 5; }},
      {"no status answer", [](fake::Device &d) { d.next("KV-EWS-NDAT").fail_read(5); }},
  };
  for (const Case &c : cases) {
    fake::Device dev;
    Session s;
    s.set_job("J1");
    c.script(dev);
    auto &second = dev.next("KV-EWS-NDAT").reply(kDeleted);
    EXPECT_EQ(bb_cancel_job(s.hs.get()), 0) << c.name;
    EXPECT_THAT(second.writes, ElementsAre(kDelete)) << c.name;
    EXPECT_EQ(dev.open_count(), 0) << c.name;
  }
  fake::Device dev;
  Session s;
  s.set_job("J1");
  dev.next("KV-EWS-NDAT").write_result = 5;
  bb_cancel_job(s.hs.get());
  EXPECT_TRUE(fake::logged(3, "bb_escl 967: Unable to write scanner status\n"));
}

}  // namespace
