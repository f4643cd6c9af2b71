// scanimage, through SANE's dll meta-backend, scanning from the simulator
// with the backend, the plug-in and the channel library as built.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "chart_compare.h"
#include "scanimage_runner.h"
#include "simulator.h"

using e2e::PageMode;
using ::testing::HasSubstr;

namespace {

// The entry point the plug-in lacks, or empty when it has all sixteen.
std::string missing_entry_point() {
  void *lib = dlopen(BBESCL_PLUGIN_PATH, RTLD_LAZY | RTLD_LOCAL);
  if (!lib) return "the plug-in itself";
  std::string missing;
  for (const char *name : {"bb_open", "bb_close", "bb_get_parameters", "bb_get_scanner_status", "bb_get_adf_state",
                           "bb_get_url", "bb_get_ImagesToTransfer", "bb_get_JobState", "bb_check_scanner_to_continue",
                           "bb_post_scanjob", "bb_get_scanjob", "bb_start_scan", "bb_get_size", "bb_get_image_data",
                           "bb_end_page", "bb_end_scan"})
    if (missing.empty() && !dlsym(lib, name)) missing = name;
  dlclose(lib);
  return missing;
}

class WithSimulator : public ::testing::Test {
 protected:
  // Starts the simulator on a free port and a SANE configuration naming it.
  void start(escl_sim::Config cfg = {}) {
    cfg.log_requests = false;
    sim_ = std::make_unique<escl_sim::Server>(cfg);
    ASSERT_TRUE(sim_->start(0)) << sim_->last_error();
    url_ = sim_->base_url();
    device_ = "bbescl:" + url_;
    scanimage_ = std::make_unique<e2e::Scanimage>(std::vector<std::string>{url_});
  }

  e2e::RunResult scan(std::vector<std::string> args) {
    args.insert(args.begin(), {"-d", device_});
    return scanimage_->run(args);
  }

  int count_requests(const std::string &start) const {
    const std::vector<std::string> r = sim_->requests();
    return static_cast<int>(std::count_if(r.begin(), r.end(), [&](const std::string &line) {
      return line.rfind(start, 0) == 0;
    }));
  }

  // Checks a written page: its size, and how close it is to the chart.
  void expect_chart(const std::string &file, PageMode mode, int dpi, int width, int height, int x0, int y0,
                    double mean_limit, double far_limit) {
    const e2e::PngPage page = e2e::read_png(scanimage_->dir().file(file), mode);
    ASSERT_TRUE(page.error.empty()) << page.error;
    EXPECT_EQ(page.width, width);
    EXPECT_EQ(page.height, height);
    const e2e::Difference d = e2e::compare_with_chart(page, mode, dpi, x0, y0);
    EXPECT_LE(d.mean, mean_limit) << file;
    EXPECT_LE(d.far_share, far_limit) << file;
  }

  std::unique_ptr<escl_sim::Server> sim_;
  std::unique_ptr<e2e::Scanimage> scanimage_;
  std::string url_;
  std::string device_;
};

// Listing devices and loading failures need no working plug-in.
class Setup : public WithSimulator {};

// Scans need the plug-in whole: while it is being built up, they wait.
class Scan : public WithSimulator {
 protected:
  void SetUp() override {
    const std::string missing = missing_entry_point();
    if (!missing.empty()) GTEST_SKIP() << "the plug-in lacks " << missing;
  }
};

// 50 x 40 mm at 150 dpi: round(295.3) x round(236.2) pixels.
constexpr int kPageWidth = 295, kPageHeight = 236;
const std::vector<std::string> kSmallArea = {"--resolution", "150", "-x", "50", "-y", "40", "--format=png"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Setup, ListsTheSimulatedDevice) {
  start();
  const e2e::RunResult r = scanimage_->run({"-L"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("device `" + device_ + "' is a eSCL 127.0.0.1:"));
}

TEST_F(Scan, ListsEveryOptionWithThePlugInNamedExplicitly) {
  start();
  scanimage_->set_env("BBESCL_PLUGIN", BBESCL_PLUGIN_PATH);
  const e2e::RunResult r = scan({"-A"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char *option : {"--mode Lineart|Gray|Color [Color]", "--source Flatbed|ADF|Duplex [Flatbed]",
                             "--resolution 75|100|150|200|300|600dpi [300]", "--preview[=(yes|no)] [no]",
                             "-l 0..215.9mm [0]", "-t 0..297.011mm [0]", "-x 0..215.9mm [215.9]",
                             "-y 0..297.011mm [297.011]", "--threshold 0..100% (in steps of 1) [inactive]",
                             "--brightness -100..100% (in steps of 1) [inactive]"})
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
  // 75 dpi: round(147.6) x round(118.1).
  expect_chart("preview.png", PageMode::kGray, 75, 148, 118, 0, 0, 8.0, 0.05);
}

TEST_F(Scan, AFlatbedBatchEndsAfterItsPage) {
  start();
  const e2e::RunResult r = scan({"--mode", "Gray", "--resolution", "100", "-x", "40", "-y", "30", "--format=png",
                                 "--batch=page%d.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Batch terminated, 1 page scanned"));
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 1);
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
  const e2e::RunResult r = scan({"--source", "Duplex", "--mode", "Gray", "--resolution", "100", "-x", "40", "-y",
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
}

TEST_F(Scan, ABusyDeviceIsAskedAgainUntilItTakesTheJob) {
  escl_sim::Config cfg;
  cfg.busy_503 = 2;
  start(cfg);
  const e2e::RunResult r = scan(with({"--mode", "Gray", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_requests("POST /eSCL/ScanJobs"), 3);
  expect_chart("page.png", PageMode::kGray, 150, kPageWidth, kPageHeight, 0, 0, 6.0, 0.03);
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
