#include "chart.h"

#include <array>

#include "page_stamp.h"

namespace escl_sim {

namespace {

// Neighbouring cells step through the palette by 5 across and 7 down; neither
// is a multiple of 12, so no two neighbours share a colour.
constexpr std::array<Rgb, 12> kPalette = {{
    {230, 30, 30},    // red
    {30, 180, 40},    // green
    {40, 60, 220},    // blue
    {240, 220, 40},   // yellow
    {40, 200, 210},   // cyan
    {210, 50, 200},   // magenta
    {250, 250, 250},  // white
    {20, 20, 20},     // black
    {192, 192, 192},  // light grey
    {128, 128, 128},  // mid grey
    {64, 64, 64},     // dark grey
    {240, 140, 30},   // orange
}};
constexpr Rgb kGridColor = {0, 0, 0};

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Position in 1/300 inch of the centre of pixel `index` at dpi.
int sample_position(int offset300, int index, int dpi) {
  return offset300 + static_cast<int>((2LL * index + 1) * 300 / (2LL * dpi));
}

}  // namespace

Rgb chart_color(int x300, int y300) {
  int cx = floor_div(x300, kCellSize300);
  int cy = floor_div(y300, kCellSize300);
  int in_x = x300 - cx * kCellSize300;
  int in_y = y300 - cy * kCellSize300;
  if (in_x < kGridLine300 || in_y < kGridLine300) return kGridColor;
  int index = ((cx * 5 + cy * 7) % 12 + 12) % 12;
  return kPalette[static_cast<size_t>(index)];
}

Rgb page_color(const PageSide &side, int x300, int y300) {
  Rgb c{};
  return stamp_color(side, x300, y300, c) ? c : chart_color(x300, y300);
}

uint8_t luma(Rgb c) { return static_cast<uint8_t>((299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000); }

int pixels_for(int length300, int dpi) {
  long long n = (static_cast<long long>(length300) * dpi + 150) / 300;
  return n < 1 ? 1 : static_cast<int>(n);
}

void chart_row(int xdpi, int ydpi, int x_offset_300, int y_offset_300, int width_px, int y,
               ColorMode mode, const PageSide &side, uint8_t *out) {
  int y300 = sample_position(y_offset_300, y, ydpi);
  for (int x = 0; x < width_px; ++x) {
    Rgb c = page_color(side, sample_position(x_offset_300, x, xdpi), y300);
    switch (mode) {
      case ColorMode::kRgb24:
        *out++ = c.r;
        *out++ = c.g;
        *out++ = c.b;
        break;
      case ColorMode::kGrayscale8:
        *out++ = luma(c);
        break;
      case ColorMode::kBlackAndWhite1:
        *out++ = luma(c) >= 128 ? 255 : 0;
        break;
    }
  }
}

Image render_area(int xdpi, int ydpi, int x_offset_300, int y_offset_300, int width_300,
                  int height_300, ColorMode mode, const PageSide &side) {
  Image img;
  img.width = pixels_for(width_300, xdpi);
  img.height = pixels_for(height_300, ydpi);
  img.channels = mode == ColorMode::kRgb24 ? 3 : 1;
  img.pixels.resize(static_cast<size_t>(img.width) * img.height * img.channels);
  const size_t stride = static_cast<size_t>(img.width) * img.channels;
  for (int y = 0; y < img.height; ++y) {
    chart_row(xdpi, ydpi, x_offset_300, y_offset_300, img.width, y, mode, side,
              img.pixels.data() + y * stride);
  }
  return img;
}

Image render_chart(int dpi, int x_offset_300, int y_offset_300, int width_300, int height_300,
                   int channels, PageSide side) {
  return render_area(dpi, dpi, x_offset_300, y_offset_300, width_300, height_300,
                     channels == 1 ? ColorMode::kGrayscale8 : ColorMode::kRgb24, side);
}

Image render_chart(int dpi, int x_offset_300, int y_offset_300, int width_300, int height_300,
                   int channels) {
  return render_chart(dpi, x_offset_300, y_offset_300, width_300, height_300, channels, PageSide{});
}

}  // namespace escl_sim
