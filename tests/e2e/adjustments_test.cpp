// Tone adjustments end to end: lossless pages compared, sample by sample,
// with the chart's levels put through what each option is documented to do.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "scan_fixture.h"

using namespace e2e;

namespace {

double clamped(double v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

struct Adjusted {
  const char *name;
  PageMode mode;
  std::vector<std::string> options;
  std::function<double(double)> level;  // what a chart level becomes
  double threshold = 0;                 // lineart: black below this level
};

class Adjustments : public Scan {
 protected:
  // Scans each case's small area and compares every sample with the chart.
  void run_cases(const std::vector<Adjusted> &cases);
};

TEST_F(Adjustments, ChangeTheLevelsAsDocumented) {
  const std::vector<Adjusted> cases = {
      // +-100 % brightness is half the scale: 40 % adds 51 levels.
      {"brighter", PageMode::kGray, {"--brightness", "40"}, [](double v) { return clamped(v + 51); }},
      {"more contrast", PageMode::kGray, {"--contrast", "50"},
       [](double v) { return clamped((v - 127.5) * 2 + 127.5); }},
      {"gamma 2", PageMode::kGray, {"--analog-gamma", "2"}, [](double v) { return 255 * sqrt(v / 255); }},
      {"negative", PageMode::kColor, {"--negative=yes"}, [](double v) { return 255 - v; }},
      {"darker and flatter", PageMode::kColor, {"--brightness", "-20", "--contrast", "-50"},
       [](double v) { return (clamped(v - 25.5) - 127.5) * 0.5 + 127.5; }},
  };
  escl_sim::Config cfg;
  cfg.format = "image/png";  // lossless: every sample can be checked
  start(cfg);
  run_cases(cases);
}

// Line art thresholds the adjusted levels (30 % is level 77) where the
// backend thresholds grey itself: on a device without 1-bit black and
// white, which otherwise thresholds the page on its own.
TEST_F(Adjustments, LineartThresholdsTheAdjustedLevels) {
  escl_sim::Config cfg;
  cfg.profile = "flatbed-photo";
  cfg.format = "image/png";
  start(cfg);
  run_cases({{"lineart negative", PageMode::kLineart, {"--negative=yes", "--threshold", "30"},
              [](double v) { return 255 - v; }, 77}});
}

void Adjustments::run_cases(const std::vector<Adjusted> &cases) {
  const escl_sim::Image grey = escl_sim::render_chart(150, 0, 0, 2 * kPageWidth, 2 * kPageHeight, 1);
  const escl_sim::Image colour = escl_sim::render_chart(150, 0, 0, 2 * kPageWidth, 2 * kPageHeight, 3);
  for (const Adjusted &c : cases) {
    const char *mode = c.mode == PageMode::kColor ? "Color" : (c.mode == PageMode::kGray ? "Gray" : "Lineart");
    const RunResult r = scan(with(with({"--mode", mode, "-o", "page.png"}, c.options), kSmallArea));
    ASSERT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    const PngPage page = read_png(scanimage_->dir().file("page.png"), c.mode);
    ASSERT_TRUE(page.error.empty()) << page.error;
    ASSERT_EQ(page.width * page.height, kPageWidth * kPageHeight) << c.name;
    const escl_sim::Image &chart = c.mode == PageMode::kColor ? colour : grey;
    int wrong = 0;
    std::string first;
    for (size_t i = 0; i < page.pixels.size(); ++i) {
      const double want = c.level(chart.pixels[i]);
      const int got = static_cast<unsigned char>(page.pixels[i]);
      bool right = abs(got - want) <= 1;
      if (c.mode == PageMode::kLineart)
        right = fabs(want - c.threshold) < 1 || got == (want < c.threshold ? 0 : 255);
      if (!right && wrong++ == 0)
        first = "sample " + std::to_string(i) + ": chart " + std::to_string(chart.pixels[i]) + ", expected " +
                std::to_string(want) + ", got " + std::to_string(got);
    }
    EXPECT_EQ(wrong, 0) << c.name << ", first " << first;
  }
}

}  // namespace
