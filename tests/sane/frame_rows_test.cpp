// Frame rows: lineart packing (SANE: a set bit is black, first pixel in the
// high bit), grey/colour conversion both ways, the crop offset, padding, and
// the tone table every adjustment is folded into.
#include "frame_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bb_escl.h"

using bbescl::Adjustments;
using bbescl::FrameLayout;
using bbescl::RowConverter;

namespace {

const bbescl::ToneTable kUnchanged = bbescl::tone_table({});

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
  RowConverter c(FrameLayout{BB_MODE_COLOR, 2, 6}, 3, 1, 128, kUnchanged);
  std::vector<uint8_t> out(6);
  c.convert(rgb.data(), out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{4, 5, 6, 7, 8, 9}));
}

TEST(RowConverter, SpreadsGreyOverColourAndWeighsColourIntoGrey) {
  const std::vector<uint8_t> grey = {0, 100, 255};
  RowConverter to_colour(FrameLayout{BB_MODE_COLOR, 3, 9}, 1, 0, 128, kUnchanged);
  std::vector<uint8_t> colour(9);
  to_colour.convert(grey.data(), colour.data());
  EXPECT_EQ(colour, (std::vector<uint8_t>{0, 0, 0, 100, 100, 100, 255, 255, 255}));

  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  RowConverter to_grey(FrameLayout{BB_MODE_GRAY, 4, 4}, 3, 0, 128, kUnchanged);
  std::vector<uint8_t> g(4);
  to_grey.convert(rgb.data(), g.data());
  EXPECT_EQ(g, (std::vector<uint8_t>{76, 150, 29, 255}));
}

TEST(RowConverter, LineartFromColourGoesThroughGrey) {
  // Red is dark (76), green light (150) at threshold 128.
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0};
  RowConverter c(FrameLayout{BB_MODE_LINEART, 2, 1}, 3, 0, 128, kUnchanged);
  uint8_t out = 0xFF;
  c.convert(rgb.data(), &out);
  EXPECT_EQ(out, 0x80);
}

Adjustments adjusted(void (*change)(Adjustments &)) {
  Adjustments a;
  change(a);
  return a;
}

TEST(ToneTable, FoldsEveryAdjustmentIntoOneLevelForLevelTable) {
  struct Case {
    const char *what;
    Adjustments adjust;
    std::vector<std::pair<int, int>> levels;  // input, output
  };
  const std::vector<Case> cases = {
      {"defaults", {}, {{0, 0}, {1, 1}, {128, 128}, {254, 254}, {255, 255}}},
      {"negative", adjusted([](Adjustments &a) { a.negative = true; }), {{0, 255}, {100, 155}, {255, 0}}},
      // Half the scale at +-100 %: +40 % adds 51 levels, clamped at white.
      {"brighter", adjusted([](Adjustments &a) { a.brightness = 40; }), {{0, 51}, {100, 151}, {204, 255}, {250, 255}}},
      {"darkest", adjusted([](Adjustments &a) { a.brightness = -100; }), {{0, 0}, {127, 0}, {255, 128}}},
      // Twice the slope about mid-grey, which stays.
      {"more contrast", adjusted([](Adjustments &a) { a.contrast = 50; }),
       {{0, 0}, {64, 1}, {100, 73}, {127, 127}, {128, 129}, {200, 255}}},
      {"half contrast", adjusted([](Adjustments &a) { a.contrast = -50; }), {{0, 64}, {128, 128}, {255, 191}}},
      {"no contrast", adjusted([](Adjustments &a) { a.contrast = -100; }), {{0, 128}, {255, 128}}},
      {"full contrast", adjusted([](Adjustments &a) { a.contrast = 100; }), {{127, 0}, {128, 255}}},
      {"gamma 2", adjusted([](Adjustments &a) { a.gamma = 2.0; }), {{0, 0}, {64, 128}, {255, 255}}},
      {"gamma 0.5", adjusted([](Adjustments &a) { a.gamma = 0.5; }), {{0, 0}, {128, 64}, {255, 255}}},
      // 20 % and 80 % of white (51 and 204) become black and white.
      {"shadow and highlight", adjusted([](Adjustments &a) { a.shadow = 20, a.highlight = 80; }),
       {{40, 0}, {51, 0}, {127, 127}, {204, 255}, {230, 255}}},
      {"shadow at the highlight", adjusted([](Adjustments &a) { a.shadow = a.highlight = 50; }),
       {{127, 0}, {128, 255}}},
      // Brightness clamps before the negative: white stays black.
      {"brighter negative", adjusted([](Adjustments &a) { a.brightness = 100, a.negative = true; }),
       {{0, 128}, {200, 0}}},
  };
  for (const Case &c : cases) {
    const bbescl::ToneTable t = bbescl::tone_table(c.adjust);
    EXPECT_EQ(t.identity, std::string(c.what) == "defaults") << c.what;
    for (const auto &[in, out] : c.levels) EXPECT_EQ(t.level[in], out) << c.what << ", level " << in;
  }
}

TEST(RowConverter, AppliesTheToneTableInEveryMode) {
  const bbescl::ToneTable negative = bbescl::tone_table(adjusted([](Adjustments &a) { a.negative = true; }));
  const std::vector<uint8_t> grey = {0, 100, 250};
  std::vector<uint8_t> out(9);
  RowConverter(FrameLayout{BB_MODE_GRAY, 3, 3}, 1, 0, 128, negative).convert(grey.data(), out.data());
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 3), (std::vector<uint8_t>{255, 155, 5}));
  RowConverter(FrameLayout{BB_MODE_COLOR, 3, 9}, 1, 0, 128, negative).convert(grey.data(), out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{255, 255, 255, 155, 155, 155, 5, 5, 5}));
  // Lineart thresholds the adjusted levels: black is white in a negative.
  RowConverter(FrameLayout{BB_MODE_LINEART, 3, 1}, 1, 0, 128, negative).convert(grey.data(), out.data());
  EXPECT_EQ(out[0], 0x20);

  // A frame row decoded in place is only adjusted there.
  std::vector<uint8_t> rgb = {0, 100, 250, 1, 2, 3};
  RowConverter in_place(FrameLayout{BB_MODE_COLOR, 2, 6}, 3, 0, 128, negative);
  EXPECT_TRUE(in_place.converts_in_place(2));
  EXPECT_FALSE(in_place.converts_in_place(3));
  in_place.adjust_in_place(rgb.data());
  EXPECT_EQ(rgb, (std::vector<uint8_t>{255, 155, 5, 254, 253, 252}));
  EXPECT_FALSE(RowConverter(FrameLayout{BB_MODE_COLOR, 2, 6}, 3, 1, 128, negative).converts_in_place(2));
  EXPECT_FALSE(RowConverter(FrameLayout{BB_MODE_GRAY, 2, 2}, 3, 0, 128, negative).converts_in_place(2));
}

}  // namespace
