// The sheet-and-side stamp of every page, read back after the damage a page
// meets on its way to a client (JPEG, thresholding), and from served pages.
#include <gtest/gtest.h>

#include "chart.h"
#include "image_codec.h"
#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

enum class Delivery { kExact, kJpeg, kJpegThresholded };

struct StampCase {
  const char *name;
  PageSide side;
  ColorMode mode;
  int dpi;
  Delivery delivery;
  int x, y, width, height;  // the area scanned, 1/300 inch
};

// The page as a client holds it after decoding.
Image delivered(const StampCase &p) {
  Image page = render_area(p.dpi, p.dpi, p.x, p.y, p.width, p.height, p.mode, p.side);
  if (p.delivery == Delivery::kExact) return page;
  Image back;
  EXPECT_TRUE(decode_jpeg(encode_jpeg(rows_of(page), 90, p.dpi, p.dpi), back));
  if (p.delivery == Delivery::kJpegThresholded)
    for (auto &v : back.pixels) v = v >= 128 ? 255 : 0;
  return back;
}

class StampReadBack : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampReadBack, GivesTheSheetAndSide) {
  const StampCase &p = GetParam();
  PageStamp stamp = read_page_stamp(delivered(p), p.dpi, p.x, p.y);
  EXPECT_TRUE(stamp.found);
  EXPECT_EQ(stamp.sheet, p.side.sheet);
  EXPECT_EQ(stamp.back, p.side.back);
}

using CM = ColorMode;
using D = Delivery;
INSTANTIATE_TEST_SUITE_P(
    Table, StampReadBack,
    ::testing::Values(StampCase{"Colour75", {1, false}, CM::kRgb24, 75, D::kJpeg, 0, 0, 2550, 300},
                      StampCase{"Grey75Back", {1, true}, CM::kGrayscale8, 75, D::kJpeg, 0, 0, 2550, 300},
                      StampCase{"Lineart75", {2, false}, CM::kBlackAndWhite1, 75, D::kJpegThresholded, 0, 0,
                                2550, 300},
                      StampCase{"GreyThresholded100", {3, true}, CM::kGrayscale8, 100, D::kJpegThresholded,
                                0, 0, 2550, 300},
                      StampCase{"Colour150", {12, true}, CM::kRgb24, 150, D::kJpeg, 0, 0, 2550, 600},
                      StampCase{"Lineart200Exact", {255, false}, CM::kBlackAndWhite1, 200, D::kExact, 0, 0,
                                2550, 300},
                      StampCase{"Grey300Offset", {1000, true}, CM::kGrayscale8, 300, D::kJpeg, 600, 10, 1200,
                                250},
                      StampCase{"Colour600Offset", {10000, false}, CM::kRgb24, 600, D::kJpeg, 700, 0, 1100,
                                200},
                      StampCase{"Lineart600", {16383, true}, CM::kBlackAndWhite1, 600, D::kJpegThresholded,
                                700, 0, 1100, 200}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

TEST(Stamp, NotFoundWhereThePageDoesNotHoldItWhole) {
  struct Row {
    const char *name;
    int x, y, width, height;
  } rows[] = {{"below it", 0, 600, 2550, 600}, {"left part", 0, 0, 1200, 300}, {"top cut", 0, 60, 2550, 300}};
  for (const Row &r : rows) {
    Image page = render_chart(150, r.x, r.y, r.width, r.height, 3);
    EXPECT_FALSE(read_page_stamp(page, 150, r.x, r.y).found) << r.name;
  }
  EXPECT_FALSE(read_page_stamp(Image{}, 150, 0, 0).found);
}

TEST(Stamp, SheetsDifferOnlyInsideTheStamp) {
  // The default chart is what platen pages show: sheet 1, front.
  EXPECT_EQ(render_chart(100, 0, 0, 2550, 300, 3).pixels,
            render_chart(100, 0, 0, 2550, 300, 3, PageSide{1, false}).pixels);
  EXPECT_NE(render_chart(100, 0, 0, 2550, 300, 3).pixels,
            render_chart(100, 0, 0, 2550, 300, 3, PageSide{2, true}).pixels);
  // Small scans at the top left corner (50 x 40 mm) and below the stamp's
  // band see the same chart on every sheet.
  for (PageSide side : {PageSide{2, false}, PageSide{77, true}}) {
    EXPECT_EQ(render_chart(150, 0, 0, 590, 472, 1).pixels, render_chart(150, 0, 0, 590, 472, 1, side).pixels);
    EXPECT_EQ(render_chart(75, 0, 180, 2550, 600, 3).pixels, render_chart(75, 0, 180, 2550, 600, 3, side).pixels);
  }
}

// Served pages, decoded as a client gets them: page order and sides.
class ServedStamps : public SimTest {};

TEST_F(ServedStamps, EachPageShowsItsSheetAndSide) {
  struct Row {
    const char *source;
    bool duplex;
    std::vector<PageSide> pages;
  };
  const Row rows[] = {
      {"Platen", false, {{1, false}}},
      {"Feeder", false, {{1, false}, {2, false}, {3, false}}},
      {"Feeder", true, {{1, false}, {1, true}, {2, false}, {2, true}}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(std::string(r.source) + (r.duplex ? " duplex" : ""));
    Config cfg;
    cfg.adf_sheets = static_cast<int>(r.pages.size()) / (r.duplex ? 2 : 1);
    start(cfg);
    RawClient c(port());
    Settings s;
    s.source = r.source;
    s.duplex = r.duplex;
    s.width = 2550;
    s.height = 300;
    std::string id = create_job(c, s);
    for (const PageSide &want : r.pages) {
      Answer a = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
      ASSERT_EQ(a.status, 200);
      Image page;
      ASSERT_TRUE(decode_jpeg(a.body, page));
      PageStamp got = read_page_stamp(page, s.resolution, 0, 0);
      EXPECT_TRUE(got.found);
      EXPECT_EQ(got.sheet, want.sheet);
      EXPECT_EQ(got.back, want.back);
    }
    server().stop();
  }
}

}  // namespace
}  // namespace escl_sim::test
