// The scanimage end-to-end fixture: the simulator on a free loopback port,
// a SANE configuration naming it, and checks of what was scanned.
#pragma once

#include <dlfcn.h>
#include <time.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "chart_compare.h"
#include "scanimage_runner.h"
#include "simulator.h"

namespace e2e {

// Monotonic seconds, for the time bounds of scans.
inline double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}


// The entry point the plug-in lacks, or empty when it has all sixteen.
inline std::string missing_entry_point() {
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

  // The stamp of sheet and side on a written page whose top-left pixel is
  // the device's area origin.
  escl_sim::PageStamp stamp_of(const std::string &file, PageMode mode, int dpi) const {
    const PngPage png = read_png(scanimage_->dir().file(file), mode);
    escl_sim::Image image;
    image.width = png.width;
    image.height = png.height;
    image.channels = png.channels;
    image.pixels.assign(png.pixels.begin(), png.pixels.end());
    if (!png.error.empty()) return {};
    return escl_sim::read_page_stamp(image, dpi, 0, 0);
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

// 50 x 40 mm at 150 dpi: 590 x 472/300 inch, 295 x 236 pixels.
inline constexpr int kPageWidth = 295, kPageHeight = 236;
inline const std::vector<std::string> kSmallArea = {"--resolution", "150", "-x", "50", "-y", "40", "--format=png"};

inline std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace e2e
