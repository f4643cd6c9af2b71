// scanimage against simulated devices that behave like independent eSCL
// servers and real devices: feeder jobs Pending between sheets, long job
// lists, job URIs written in other ways, answers without a location, a
// byte-order mark before the capabilities.  Every fault test also checks
// that the device is left with no live job.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scan_fixture.h"

using ::testing::HasSubstr;
using namespace e2e;

namespace {

// Full feeder width (the backend asks feeders for their whole width), the
// top 20 mm: enough for the sheet stamp at 75 dpi.
const std::vector<std::string> kFeederStrip = {"--mode", "Gray", "--resolution", "75", "-y", "20",
                                               "--format=png", "--batch=page%d.png"};

struct BatchRow {
  const char *name;
  const char *source;
  int sheets;
  bool pending_between_pages;
};

// Every page of a batch, in order, none twice, none lost; one job.
TEST_F(Scan, FeederBatchesGiveEverySheetInOrder) {
  const BatchRow rows[] = {
      {"feeder", "ADF", 10, false},
      {"feeder pending between pages", "ADF", 10, true},
      {"duplex pending between pages", "ADF Duplex", 3, true},
  };
  for (const BatchRow &row : rows) {
    escl_sim::Config cfg;
    cfg.adf_sheets = row.sheets;
    cfg.pending_between_pages = row.pending_between_pages;
    start(cfg);
    std::vector<std::string> args = {"--source", row.source};
    args.insert(args.end(), kFeederStrip.begin(), kFeederStrip.end());
    const RunResult r = scan(args);
    ASSERT_EQ(r.exit_code, 0) << row.name << ": " << r.err;
    const bool duplex = std::string(row.source) == "ADF Duplex";
    const int pages = duplex ? 2 * row.sheets : row.sheets;
    EXPECT_THAT(r.err, HasSubstr("Batch terminated, " + std::to_string(pages) + " pages scanned")) << row.name;
    for (int page = 1; page <= pages; ++page) {
      const escl_sim::PageStamp stamp = stamp_of("page" + std::to_string(page) + ".png", PageMode::kGray, 75);
      ASSERT_TRUE(stamp.found) << row.name << " page " << page;
      EXPECT_EQ(stamp.sheet, duplex ? (page + 1) / 2 : page) << row.name << " page " << page;
      EXPECT_EQ(stamp.back, duplex && page % 2 == 0) << row.name << " page " << page;
    }
    EXPECT_FALSE(std::filesystem::exists(scanimage_->dir().file("page" + std::to_string(pages + 1) + ".png")));
    EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 1) << row.name;
    // One status request a page; before the job, one for the feeder's
    // state and one noting the jobs already listed; at the end of the
    // batch, one for the end and one confirming it.
    EXPECT_LE(count_requests("GET /eSCL/ScannerStatus"), pages + 4) << row.name;
    EXPECT_EQ(sim_->jobs_alive(), 0) << row.name;
  }
}

// A cancel while the job waits in Pending ends the scan at once and
// deletes the job.
TEST_F(Scan, SigintDuringAPendingWaitEndsWithinASecond) {
  escl_sim::Config cfg;
  cfg.pending_polls = 1000000;  // Pending, the scanner Processing, for ever
  start(cfg);
  const pid_t pid = scanimage_->spawn(with({"-d", device_, "--source", "ADF", "-o", "page.png"}, kSmallArea));
  bool waiting = false;
  for (int i = 0; i < 400 && !waiting; ++i) {
    waiting = count_requests("GET /eSCL/ScannerStatus") >= 3;
    if (!waiting) usleep(25000);
  }
  ASSERT_TRUE(waiting) << scanimage_->stderr_so_far();
  EXPECT_EQ(sim_->jobs_alive(), 1);
  const double asked = now_seconds();
  kill(pid, SIGINT);
  const RunResult r = scanimage_->wait(pid);
  EXPECT_LT(now_seconds() - asked, 1.0);
  EXPECT_THAT(r.err, HasSubstr("Operation was canceled"));
  EXPECT_EQ(count_requests("DELETE /eSCL/ScanJobs/"), 1);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

struct StatusRow {
  const char *name;
  void (*apply)(escl_sim::Config &);
};

// Long job lists and the ways devices write a job's URI cost no status
// requests beyond those of the plainest device.
TEST_F(Scan, StatusDocumentsOfRealDevicesCostNoRepolls) {
  const StatusRow rows[] = {
      {"plain", [](escl_sim::Config &) {}},
      {"200 past jobs", [](escl_sim::Config &c) { c.past_jobs = 200; }},
      {"200 past jobs, chunked", [](escl_sim::Config &c) {
         c.past_jobs = 200;
         c.framing = escl_sim::Framing::kChunked;
       }},
      {"padded job URI", [](escl_sim::Config &c) { c.job_uri_style = escl_sim::JobUriStyle::kPadded; }},
      {"absolute job URI", [](escl_sim::Config &c) { c.job_uri_style = escl_sim::JobUriStyle::kAbsolute; }},
      {"job URI with a trailing slash",
       [](escl_sim::Config &c) { c.job_uri_style = escl_sim::JobUriStyle::kTrailingSlash; }},
  };
  int plain = -1;
  for (const StatusRow &row : rows) {
    escl_sim::Config cfg;
    row.apply(cfg);
    start(cfg);
    const RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
    ASSERT_EQ(r.exit_code, 0) << row.name << ": " << r.err;
    const int polls = count_requests("GET /eSCL/ScannerStatus");
    if (plain < 0) plain = polls;
    EXPECT_EQ(polls, plain) << row.name;
    EXPECT_EQ(sim_->jobs_alive(), 0) << row.name;
  }
}

// "503 Service Unavailable" to the document request: not ready yet.
TEST_F(Scan, ADocumentAnsweredBusyIsAskedForAgain) {
  escl_sim::Config cfg;
  cfg.busy_next_document = 2;
  start(cfg);
  const RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_requests("GET /eSCL/ScanJobs/"), 3);
  expect_chart("page.png", PageMode::kGray, 150, kPageWidth, kPageHeight, 0, 0, 6.0, 0.03);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

// A job the device will not name can be neither scanned nor deleted: the
// scan fails at once, and no second job is created.
TEST_F(Scan, AJobCreatedWithoutALocationIsAnIoError) {
  escl_sim::Config cfg;
  cfg.no_location = true;
  start(cfg);
  scanimage_->set_env("SANE_DEBUG_BBESCL", "1");
  const RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("Error during device I/O"));
  EXPECT_THAT(r.err, HasSubstr("the first page did not start"));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 1);
  EXPECT_EQ(count_requests("GET /eSCL/ScanJobs/"), 0);
  // The job the device made is found in the status by what is new there,
  // and deleted.
  EXPECT_EQ(count_requests("DELETE /eSCL/ScanJobs/"), 1);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, CapabilitiesAfterAByteOrderMarkAreRead) {
  escl_sim::Config cfg;
  cfg.capabilities_bom = true;
  start(cfg);
  const RunResult r = scan(with({"--mode", "Color", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, ADeviceWithNoScanSourceIsRefusedAtOpen) {
  const std::string caps = ::testing::TempDir() + "/caps-no-source.xml";
  {
    std::ofstream out(caps);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan:ScannerCapabilities>"
           "<pwg:Version>2.63</pwg:Version><pwg:MakeAndModel>No Source</pwg:MakeAndModel>"
           "</scan:ScannerCapabilities>\n";
  }
  escl_sim::Config cfg;
  cfg.profile = "file:" + caps;
  start(cfg);
  scanimage_->set_env("SANE_DEBUG_BBESCL", "1");
  const RunResult r = scan({"-A"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("published no scan source"));
  EXPECT_THAT(r.err, HasSubstr("open of device " + device_ + " failed"));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 0);
  std::filesystem::remove(caps);
}

}  // namespace
