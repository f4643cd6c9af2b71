// The test chart every page shows: a function of the position on the page in
// 1/300 inch, so that a region scan shows the matching part of the page.
#pragma once

#include <cstdint>

#include "simulator.h"

namespace escl_sim {

enum class ColorMode { kRgb24, kGrayscale8, kBlackAndWhite1 };

// Half-inch cells in a palette of twelve colours, with a thin dark grid on
// the cell borders: large flat areas survive JPEG, the grid shows offsets.
inline constexpr int kCellSize300 = 150;
inline constexpr int kGridLine300 = 4;

struct Rgb {
  uint8_t r, g, b;
};

// Colour of the chart at (x, y), 1/300 inch from its top left corner.
Rgb chart_color(int x300, int y300);

// Colour of a page of `side` there: the chart with the sheet's stamp over it.
Rgb page_color(const PageSide &side, int x300, int y300);

// ITU-R BT.601 luma, the grey a colour scans as in Grayscale8.
uint8_t luma(Rgb c);

// Pixel count of a length in 1/300 inch at dpi, rounded to the nearest
// whole pixel (at least 1), as clients compute the size they expect.
int pixels_for(int length300, int dpi);

// Row y of an area width_px pixels wide (see render_area), into out.
void chart_row(int xdpi, int ydpi, int x_offset_300, int y_offset_300, int width_px, int y,
               ColorMode mode, const PageSide &side, uint8_t *out);

// The area sampled at the centre of each pixel, with separate horizontal and
// vertical resolutions. Black-and-white pages are grey pages thresholded at
// half intensity, one byte a pixel (0 or 255).
Image render_area(int xdpi, int ydpi, int x_offset_300, int y_offset_300, int width_300,
                  int height_300, ColorMode mode, const PageSide &side = {});

}  // namespace escl_sim
