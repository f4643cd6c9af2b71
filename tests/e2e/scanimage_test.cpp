// scanimage, through SANE's dll meta-backend, scanning from the simulator
// with the backend, the plug-in and the channel library as built.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "scan_fixture.h"

using ::testing::HasSubstr;
using namespace e2e;

namespace {

TEST_F(Setup, ListsTheSimulatedDevice) {
  start();
  const e2e::RunResult r = scanimage_->run({"-L"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // Make and model as the device's capabilities name them.
  EXPECT_THAT(r.out, HasSubstr("device `" + device_ + "' is a escl-sim Multifunction multi-function peripheral"));
}

TEST_F(Scan, ListsEveryOptionWithThePlugInNamedExplicitly) {
  start();
  scanimage_->set_env("BBESCL_PLUGIN", BBESCL_PLUGIN_PATH);
  const e2e::RunResult r = scan({"-A"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char *option : {"--mode Lineart|Gray|Color [Color]", "--source Flatbed|ADF|ADF Duplex [Flatbed]",
                             "--resolution 75|100|150|200|300|600dpi [300]", "--preview[=(yes|no)] [no]",
                             "-l 0..215.9mm [0]", "-t 0..297.011mm [0]", "-x 0..215.9mm [215.9]",
                             "-y 0..297.011mm [297.011]", "--threshold 0..100% (in steps of 1) [inactive]",
                             "--brightness -100..100% (in steps of 1) [0]", "--contrast -100..100% (in steps of 1) [0]",
                             "--analog-gamma 0.0999908..4 [1]", "--negative[=(yes|no)] [no]"})
    EXPECT_THAT(r.out, HasSubstr(option));
}

TEST_F(Scan, ColourPageMatchesTheChart) {
  start();
  const e2e::RunResult r = scan(with({"--mode", "Color", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, GreyPageMatchesTheChart) {
  start();
  const e2e::RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kGray, 150, kPageWidth, kPageHeight, 0, 0, 6.0, 0.03);
}

TEST_F(Scan, LineartPageIsTheChartThresholded) {
  escl_sim::Config cfg;
  cfg.format = "image/png";  // lossless, so every bit can be checked
  start(cfg);
  const e2e::RunResult r = scan(with({"--mode", "Lineart", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("page.png", PageMode::kLineart, 150, kPageWidth, kPageHeight, 0, 0, 0.0, 0.0);
}

TEST_F(Scan, JpegLineartStaysCloseToTheChart) {
  start();
  const e2e::RunResult r = scan(with({"--mode", "Lineart", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Mid grey sits on the threshold, where JPEG noise flips pixels.
  expect_chart("page.png", PageMode::kLineart, 150, kPageWidth, kPageHeight, 0, 0, 40.0, 0.2);
}

TEST_F(Scan, RegionHasItsSizeAndItsPlaceOnThePage) {
  escl_sim::Config cfg;
  cfg.format = "image/png";
  start(cfg);
  const e2e::RunResult r = scan({"--mode", "Color", "--resolution", "150", "-l", "20", "-t", "30", "-x", "60",
                                 "-y", "70", "--format=png", "-o", "region.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // 60 x 70 mm from (20, 30) mm at 150 dpi.
  expect_chart("region.png", PageMode::kColor, 150, 354, 413, 118, 177, 0.0, 0.0);
}

TEST_F(Scan, APreviewScansAtTheLowestResolution) {
  start();
  const e2e::RunResult r = scan({"--preview=yes", "--mode", "Gray", "-x", "50", "-y", "40", "--format=png", "-o",
                                 "preview.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // 50 x 40 mm is 590 x 472/300 inch: 147 x 118 whole pixels at 75 dpi.
  expect_chart("preview.png", PageMode::kGray, 75, 147, 118, 0, 0, 8.0, 0.05);
}

// "Several pages from the flatbed": each page a job of its own, as many as
// the frontend asks for, every one the whole chart.
TEST_F(Scan, AFlatbedBatchScansEveryPageAskedFor) {
  start();
  const e2e::RunResult r = scan({"--mode", "Gray", "--resolution", "100", "-x", "40", "-y", "30", "--format=png",
                                 "--batch=page%d.png", "--batch-count=3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Batch terminated, 3 pages scanned"));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 3);
  for (int page = 1; page <= 3; ++page)
    expect_chart("page" + std::to_string(page) + ".png", PageMode::kGray, 100, 157, 118, 0, 0, 8.0, 0.05);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, ACameraPageComesFromTheCameraSource) {
  escl_sim::Config cfg;
  cfg.profile = "camera";
  start(cfg);
  const e2e::RunResult r = scan({"--source", "Camera", "--mode", "Color", "--resolution", "150", "-x", "50", "-y",
                                 "40", "--format=png", "-o", "camera.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  expect_chart("camera.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
}

// The page is decoded as it arrives: scanimage's peak memory stays the
// same for a page sixteen times the size.
TEST_F(Scan, MemoryDoesNotGrowWithThePage) {
  start();
  long peak_kb[2] = {};
  const char *resolutions[2] = {"150", "600"};
  for (int i = 0; i < 2; ++i) {
    const e2e::RunResult r =
        scan({"--mode", "Gray", "--resolution", resolutions[i], "--format=pnm", "-o", "page.pnm"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    peak_kb[i] = r.peak_rss_kb;
  }
  // 600 dpi grey A4 is about 35 MB of pixels.
  EXPECT_LT(peak_kb[1] - peak_kb[0], 4096) << peak_kb[0] << " kB at 150 dpi, " << peak_kb[1] << " kB at 600 dpi";
}

// Devices list their past jobs in the status document; on the simulator the
// list outgrows the plug-in's 5120-byte status buffer after about nine jobs.
// The plug-in keeps what fits, so scans go on working.
TEST_F(Scan, TwelveScansInARowOnOneDevice) {
  start();
  for (int i = 0; i < 12; ++i) {
    const e2e::RunResult r = scan({"--mode", "Gray", "--resolution", "75", "-x", "20", "-y", "20",
                                   "--format=pnm", "-o", "page.pnm"});
    ASSERT_EQ(r.exit_code, 0) << "scan " << i + 1 << ": " << r.err;
  }
}

TEST_F(Scan, DuplexFeederBatchGivesEveryPage) {
  escl_sim::Config cfg;
  cfg.adf_sheets = 2;
  start(cfg);
  const e2e::RunResult r = scan({"--source", "ADF Duplex", "--mode", "Gray", "--resolution", "100", "-x", "40", "-y",
                                 "30", "--format=png", "--batch=page%d.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Batch terminated, 4 pages scanned"));
  for (int page = 1; page <= 4; ++page)
    expect_chart("page" + std::to_string(page) + ".png", PageMode::kGray, 100, 157, 118, 0, 0, 6.0, 0.03);
  EXPECT_FALSE(std::filesystem::exists(scanimage_->dir().file("page5.png")));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 1);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, AJamIsReportedAfterThePagesBeforeIt) {
  escl_sim::Config cfg;
  cfg.adf_sheets = 3;
  cfg.jam_at_page = 2;
  start(cfg);
  const e2e::RunResult r = scan({"--source", "ADF", "--mode", "Gray", "--resolution", "100", "-x", "40", "-y",
                                 "30", "--format=png", "--batch=page%d.png"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("sane_start: Document feeder jammed"));
  EXPECT_TRUE(std::filesystem::exists(scanimage_->dir().file("page1.png")));
  EXPECT_FALSE(std::filesystem::exists(scanimage_->dir().file("page2.png")));
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, AnOpenCoverIsReportedOnTheFirstPage) {
  escl_sim::Config cfg;
  cfg.cover_open_at_page = 1;
  start(cfg);
  const e2e::RunResult r = scan({"--source", "ADF", "--resolution", "100", "-x", "40", "-y", "30",
                                 "--format=png", "-o", "page.png"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("sane_start: Scanner cover is open"));
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, AJobTheDeviceAbortsIsReportedAsCancelled) {
  escl_sim::Config cfg;
  cfg.abort_job = true;
  start(cfg);
  const e2e::RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("sane_start: Operation was canceled"));
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, AnEmptyFeederIsReportedAsOutOfDocuments) {
  escl_sim::Config cfg;
  cfg.adf_sheets = 0;
  start(cfg);
  const e2e::RunResult r = scan({"--source", "ADF", "--resolution", "100", "-x", "40", "-y", "30",
                                 "--format=png", "-o", "page.png"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("sane_start: Document feeder out of documents"));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 0);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

// Busy: "503 Service Unavailable", or "409 Conflict" while the status shows
// the scanner working for someone else.
TEST_F(Scan, ABusyDeviceIsAskedAgainUntilItTakesTheJob) {
  for (const bool conflict : {false, true}) {
    SCOPED_TRACE(conflict ? "409" : "503");
    escl_sim::Config cfg;
    (conflict ? cfg.busy_409 : cfg.busy_503) = 2;
    start(cfg);
    const e2e::RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 3);
    EXPECT_EQ(sim_->jobs_alive(), 0);
    expect_chart("page.png", PageMode::kGray, 150, kPageWidth, kPageHeight, 0, 0, 6.0, 0.03);
  }
}

TEST_F(Scan, ACancelInTheMiddleOfAPageLeavesNoJob) {
  escl_sim::Config cfg;
  cfg.adf_sheets = 3;          // the job has pages to come when the user stops
  cfg.chunk_size = 4096;
  cfg.stall_image_at = 60000;  // the page stops coming part way, the connection stays
  start(cfg);
  const pid_t pid = scanimage_->spawn({"-d", device_, "--progress", "--source", "ADF", "--mode", "Color",
                                       "--resolution", "150", "--format=png", "--batch=page%d.png"});
  // Wait, bounded, until rows have arrived.
  bool reading = false;
  for (int i = 0; i < 600 && !reading; ++i) {
    reading = scanimage_->stderr_so_far().find("Progress: ") != std::string::npos;
    if (!reading) usleep(50000);
  }
  ASSERT_TRUE(reading) << scanimage_->stderr_so_far();
  EXPECT_EQ(sim_->jobs_alive(), 1);
  kill(pid, SIGINT);
  const e2e::RunResult r = scanimage_->wait(pid);
  EXPECT_THAT(r.err, HasSubstr("received signal"));
  EXPECT_THAT(r.err, HasSubstr("sane_read: Operation was canceled"));
  EXPECT_EQ(count_requests("DELETE /eSCL/ScanJobs/"), 1);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Scan, APageCutOffIsAnIoErrorAndLeavesNoJob) {
  escl_sim::Config cfg;
  cfg.drop_image_at = 20000;
  start(cfg);
  const e2e::RunResult r = scan({"--mode", "Color", "--resolution", "150", "--format=png", "-o", "page.png"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("Error during device I/O"));
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

TEST_F(Setup, AMissingPlugInIsAClearError) {
  start();
  scanimage_->set_env("BBESCL_PLUGIN", "/nonexistent/bb_escl-x86_32.so.3");
  scanimage_->set_env("SANE_DEBUG_BBESCL", "1");
  const e2e::RunResult r = scan({"-A"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("[bbescl] error: cannot load the plug-in /nonexistent/bb_escl-x86_32.so.3"));
  EXPECT_THAT(r.err, HasSubstr("open of device " + device_ + " failed"));
}

TEST_F(Scan, AnUnreachableDeviceIsAClearError) {
  start();
  const std::string gone = url_;
  sim_->stop();
  scanimage_->set_env("SANE_DEBUG_BBESCL", "1");
  const e2e::RunResult r = scan({"-A"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_THAT(r.err, HasSubstr("[bbescl] error:"));
  EXPECT_THAT(r.err, HasSubstr("open of device " + device_ + " failed"));
}

}  // namespace
