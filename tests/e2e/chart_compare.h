// Compares a page that scanimage wrote (PNG) with the simulator's chart.
#pragma once

#include <string>

namespace e2e {

enum class PageMode { kColor, kGray, kLineart };

struct PngPage {
  int width = 0;
  int height = 0;
  int channels = 0;  // 3 colour, 1 grey (lineart is read as 0/255 grey)
  std::string pixels;
  std::string error;  // set when the file could not be read
};

PngPage read_png(const std::string &path, PageMode mode);

struct Difference {
  double mean = 0;       // mean absolute difference over every sample
  double far_share = 0;  // share of pixels off by more than a JPEG edge allows
};

// The page against the chart area whose top-left pixel is (x0, y0) at
// `dpi`; `dpi` must divide 300 or be a multiple of it so the pixels fall on
// the chart's own grid.  Lineart is compared with the chart thresholded at
// grey 128.
Difference compare_with_chart(const PngPage &page, PageMode mode, int dpi, int x0, int y0);

}  // namespace e2e
