#include "page_stamp.h"

#include <algorithm>
#include <cstdlib>

namespace escl_sim {

namespace {

// Blocks of 1/6 inch stay 12 pixels wide at 75 dpi: their centres survive
// JPEG blur and thresholding. The box sits clear of the top left corner,
// where small test scans compare pages with the chart.
constexpr int kLeft300 = 750;
constexpr int kTop300 = 20;
constexpr int kMargin300 = 25;  // white around the blocks
constexpr int kBlock300 = 50;
constexpr int kSheetBits = 14;
// Finder, sheet bits (most significant first), side, parity, finder.
constexpr int kColumns = 1 + kSheetBits + 1 + 1 + 1;
constexpr int kBlocksLeft300 = kLeft300 + kMargin300;
constexpr int kBlocksTop300 = kTop300 + kMargin300;
constexpr int kWidth300 = kColumns * kBlock300 + 2 * kMargin300;
constexpr int kHeight300 = 2 * kBlock300 + 2 * kMargin300;

constexpr Rgb kBlack = {0, 0, 0};
constexpr Rgb kWhite = {255, 255, 255};

// The data bits, column 1 to kColumns - 2.
int data_bit(const PageSide &side, int column) {
  const int sheet = side.sheet & ((1 << kSheetBits) - 1);
  auto bit = [&](int index) {
    if (index < kSheetBits) return (sheet >> (kSheetBits - 1 - index)) & 1;
    return side.back ? 1 : 0;
  };
  const int index = column - 1;
  if (index <= kSheetBits) return bit(index);
  int parity = 0;
  for (int i = 0; i <= kSheetBits; ++i) parity ^= bit(i);
  return parity;
}

bool is_finder(int column) { return column == 0 || column == kColumns - 1; }

// Mean grey of the middle half of a block, or -1 when it lies off the page.
int block_grey(const Image &page, int dpi, int x_offset_300, int y_offset_300, int column,
               int row) {
  const int quarter = kBlock300 / 4;
  const int x300 = kBlocksLeft300 + column * kBlock300 + kBlock300 / 2 - x_offset_300;
  const int y300 = kBlocksTop300 + row * kBlock300 + kBlock300 / 2 - y_offset_300;
  const int x0 = (x300 - quarter) * dpi / 300, x1 = (x300 + quarter) * dpi / 300;
  const int y0 = (y300 - quarter) * dpi / 300, y1 = (y300 + quarter) * dpi / 300;
  if (x300 - quarter < 0 || y300 - quarter < 0 || x1 >= page.width || y1 >= page.height ||
      (page.channels != 1 && page.channels != 3))
    return -1;
  long long sum = 0;
  int count = 0;
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      const uint8_t *p = page.pixels.data() +
                         (static_cast<size_t>(y) * page.width + x) * static_cast<size_t>(page.channels);
      sum += page.channels == 3 ? luma(Rgb{p[0], p[1], p[2]}) : p[0];
      ++count;
    }
  }
  return static_cast<int>(sum / count);
}

}  // namespace

bool stamp_color(const PageSide &side, int x300, int y300, Rgb &color) {
  if (x300 < kLeft300 || x300 >= kLeft300 + kWidth300 || y300 < kTop300 ||
      y300 >= kTop300 + kHeight300)
    return false;
  const int bx = x300 - kBlocksLeft300, by = y300 - kBlocksTop300;
  if (bx < 0 || bx >= kColumns * kBlock300 || by < 0 || by >= 2 * kBlock300) {
    color = kWhite;
    return true;
  }
  const int column = bx / kBlock300;
  const bool top = by < kBlock300;
  const bool black = is_finder(column) || (data_bit(side, column) == 1) == top;
  color = black ? kBlack : kWhite;
  return true;
}

PageStamp read_page_stamp(const Image &page, int dpi, int x_offset_300, int y_offset_300) {
  // Dark enough for a black block, and the least contrast of a bit column.
  constexpr int kDark = 80;
  constexpr int kContrast = 128;
  PageStamp stamp;
  if (dpi <= 0) return stamp;
  int bits[kColumns] = {};
  for (int column = 0; column < kColumns; ++column) {
    const int top = block_grey(page, dpi, x_offset_300, y_offset_300, column, 0);
    const int bottom = block_grey(page, dpi, x_offset_300, y_offset_300, column, 1);
    if (top < 0 || bottom < 0) return stamp;
    if (is_finder(column)) {
      if (std::max(top, bottom) > kDark) return stamp;
    } else if (std::abs(top - bottom) < kContrast) {
      return stamp;
    }
    bits[column] = top < bottom ? 1 : 0;
  }
  int parity = 0;
  for (int column = 1; column < kColumns - 1; ++column) parity ^= bits[column];
  if (parity != 0) return stamp;
  for (int i = 0; i < kSheetBits; ++i) stamp.sheet = stamp.sheet << 1 | bits[1 + i];
  stamp.back = bits[1 + kSheetBits] == 1;
  stamp.found = true;
  return stamp;
}

}  // namespace escl_sim
