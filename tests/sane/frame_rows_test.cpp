// Frame rows: lineart packing (SANE: a set bit is black, first pixel in the
// high bit), grey/colour conversion both ways, the crop offset, padding.
#include "frame_rows.h"

#include <gtest/gtest.h>

#include <vector>

#include "bb_escl.h"

using bbescl::FrameLayout;
using bbescl::RowConverter;

namespace {

TEST(PackLineart, SetsBitsForPixelsDarkerThanTheThreshold) {
  struct Row {
    std::vector<uint8_t> grey;
    int threshold;
    std::vector<uint8_t> packed;
  };
  const std::vector<Row> rows = {
      {{0, 255, 0, 255, 0, 255, 0, 255}, 128, {0xAA}},
      {{127, 128, 129}, 128, {0x80}},            // exactly the threshold is white
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 128, {0xFF, 0x80}},  // nine pixels: the last byte's padding stays 0
      {{200, 200}, 0, {0x00}},                   // threshold 0: nothing is black
      {{254, 255}, 255, {0x80}},                 // threshold 255: only white stays white
  };
  for (const Row &r : rows) {
    std::vector<uint8_t> packed(r.packed.size(), 0x5A);
    bbescl::pack_lineart(r.grey.data(), static_cast<int>(r.grey.size()), r.threshold, packed.data());
    EXPECT_EQ(packed, r.packed);
  }
}

TEST(FrameBytesPerLine, MatchesTheFrameParameters) {
  EXPECT_EQ(bbescl::frame_bytes_per_line(BB_MODE_LINEART, 2551), 319);
  EXPECT_EQ(bbescl::frame_bytes_per_line(BB_MODE_GRAY, 2550), 2550);
  EXPECT_EQ(bbescl::frame_bytes_per_line(BB_MODE_COLOR, 2550), 7650);
}

TEST(RowConverter, CropsColourRowsFromTheirOffset) {
  const std::vector<uint8_t> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  RowConverter c(FrameLayout{BB_MODE_COLOR, 2, 6}, 3, 1, 128, 0);
  std::vector<uint8_t> out(6);
  c.convert(rgb.data(), out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{4, 5, 6, 7, 8, 9}));
}

TEST(RowConverter, SpreadsGreyOverColourAndWeighsColourIntoGrey) {
  const std::vector<uint8_t> grey = {0, 100, 255};
  RowConverter to_colour(FrameLayout{BB_MODE_COLOR, 3, 9}, 1, 0, 128, 0);
  std::vector<uint8_t> colour(9);
  to_colour.convert(grey.data(), colour.data());
  EXPECT_EQ(colour, (std::vector<uint8_t>{0, 0, 0, 100, 100, 100, 255, 255, 255}));

  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  RowConverter to_grey(FrameLayout{BB_MODE_GRAY, 4, 4}, 3, 0, 128, 0);
  std::vector<uint8_t> g(4);
  to_grey.convert(rgb.data(), g.data());
  EXPECT_EQ(g, (std::vector<uint8_t>{76, 150, 29, 255}));
}

TEST(RowConverter, LineartFromColourGoesThroughGrey) {
  // Red is dark (76), green light (150) at threshold 128.
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0};
  RowConverter c(FrameLayout{BB_MODE_LINEART, 2, 1}, 3, 0, 128, 0);
  uint8_t out = 0xFF;
  c.convert(rgb.data(), &out);
  EXPECT_EQ(out, 0x80);
}

TEST(RowConverter, BrightnessShiftsLevelsWithinRange) {
  const std::vector<uint8_t> grey = {0, 100, 250};
  RowConverter c(FrameLayout{BB_MODE_GRAY, 3, 3}, 1, 0, 128, 20);
  std::vector<uint8_t> out(3);
  c.convert(grey.data(), out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{20, 120, 255}));
}

}  // namespace
