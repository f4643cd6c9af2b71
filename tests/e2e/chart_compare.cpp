#include "chart_compare.h"

#include <png.h>
#include <stdlib.h>

#include "simulator.h"

namespace e2e {

namespace {
// JPEG rings around the chart's grid lines; anything further off is wrong.
constexpr int kFarDifference = 64;
}  // namespace

PngPage read_png(const std::string &path, PageMode mode) {
  PngPage page;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    page.error = std::string("cannot read ") + path + ": " + image.message;
    return page;
  }
  image.format = mode == PageMode::kColor ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  page.width = static_cast<int>(image.width);
  page.height = static_cast<int>(image.height);
  page.channels = mode == PageMode::kColor ? 3 : 1;
  page.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, page.pixels.data(), 0, nullptr)) {
    page.error = std::string("cannot decode ") + path + ": " + image.message;
  }
  png_image_free(&image);
  return page;
}

Difference compare_with_chart(const PngPage &page, PageMode mode, int dpi, int x0, int y0) {
  Difference d;
  if (page.width <= 0 || page.height <= 0) return {255, 1};
  const int channels = mode == PageMode::kColor ? 3 : 1;
  // Whole 1/300 inch steps: at 150 dpi a pixel is 2 of them.
  const auto to300 = [dpi](int px) { return static_cast<int>((static_cast<long long>(px) * 300 + dpi - 1) / dpi); };
  const escl_sim::Image chart =
      escl_sim::render_chart(dpi, to300(x0), to300(y0), to300(page.width), to300(page.height), channels);
  long long total = 0;
  long long far = 0;
  for (int y = 0; y < page.height; ++y) {
    for (int x = 0; x < page.width; ++x) {
      int worst = 0;
      for (int c = 0; c < channels; ++c) {
        int want = chart.pixels[(static_cast<size_t>(y) * chart.width + x) * channels + c];
        if (mode == PageMode::kLineart) want = want < 128 ? 0 : 255;
        const int got = static_cast<unsigned char>(page.pixels[(static_cast<size_t>(y) * page.width + x) * channels + c]);
        const int diff = abs(want - got);
        total += diff;
        if (diff > worst) worst = diff;
      }
      if (worst > kFarDifference) ++far;
    }
  }
  const double pixels = static_cast<double>(page.width) * page.height;
  d.mean = total / (pixels * channels);
  d.far_share = far / pixels;
  return d;
}

}  // namespace e2e
