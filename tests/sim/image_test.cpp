// The pages the simulator serves: decoded back and compared with the chart,
// for each colour mode, format, resolution and region.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "chart.h"
#include "image_codec.h"
#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

// Mean absolute difference per sample; images must have the same shape.
double mean_difference(const Image &a, const Image &b) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.channels, b.channels);
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
  return sum / static_cast<double>(a.pixels.size());
}

TEST(Chart, NeighbouringCellsDifferAndGridLinesAreBlack) {
  for (int cy = 0; cy < 12; ++cy) {
    for (int cx = 0; cx < 12; ++cx) {
      int x = cx * kCellSize300 + 75, y = cy * kCellSize300 + 75;
      Rgb c = chart_color(x, y), right = chart_color(x + kCellSize300, y),
          below = chart_color(x, y + kCellSize300);
      EXPECT_FALSE(c.r == right.r && c.g == right.g && c.b == right.b) << cx << "," << cy;
      EXPECT_FALSE(c.r == below.r && c.g == below.g && c.b == below.b) << cx << "," << cy;
    }
  }
  Rgb line = chart_color(kCellSize300, 75);
  EXPECT_EQ(line.r + line.g + line.b, 0);
}

TEST(Chart, RegionIsTheMatchingPartOfThePage) {
  Image page = render_chart(150, 0, 0, 900, 600, 3);
  Image region = render_chart(150, 300, 150, 300, 300, 3);
  ASSERT_EQ(region.width, 150);
  ASSERT_EQ(region.height, 150);
  for (int y = 0; y < region.height; ++y)
    for (int x = 0; x < region.width; ++x)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(region.pixels[(y * 150 + x) * 3 + c], page.pixels[((y + 75) * page.width + x + 150) * 3 + c]);
}

TEST(Chart, SizeIsRoundedToWholePixels) {
  struct Row {
    int length300, dpi, pixels;
  } rows[] = {{300, 75, 75}, {590, 75, 148}, {2550, 300, 2550}, {1, 75, 1}, {2550, 600, 5100}};
  for (const auto &r : rows) EXPECT_EQ(pixels_for(r.length300, r.dpi), r.pixels) << r.length300;
}

TEST(Chart, GreyIsTheLumaOfColourAndBlackAndWhiteItsThreshold) {
  Image rgb = render_area(100, 100, 0, 0, 600, 600, ColorMode::kRgb24);
  Image grey = render_area(100, 100, 0, 0, 600, 600, ColorMode::kGrayscale8);
  Image bw = render_area(100, 100, 0, 0, 600, 600, ColorMode::kBlackAndWhite1);
  ASSERT_EQ(grey.channels, 1);
  for (size_t i = 0; i < grey.pixels.size(); ++i) {
    Rgb c{rgb.pixels[i * 3], rgb.pixels[i * 3 + 1], rgb.pixels[i * 3 + 2]};
    ASSERT_EQ(grey.pixels[i], luma(c));
    ASSERT_EQ(bw.pixels[i], grey.pixels[i] >= 128 ? 255 : 0);
  }
}

TEST(Codec, PngRoundTripIsExact) {
  for (int channels : {1, 3}) {
    Image img = render_chart(75, 40, 70, 500, 400, channels);
    Image back;
    ASSERT_TRUE(decode_png(encode_png(rows_of(img), 75, 75), back));
    EXPECT_EQ(back.pixels, img.pixels);
  }
}

TEST(Codec, JpegRoundTripIsClose) {
  for (int channels : {1, 3}) {
    Image img = render_chart(150, 0, 0, 600, 450, channels);
    Image back;
    ASSERT_TRUE(decode_jpeg(encode_jpeg(rows_of(img), 90, 150, 150), back));
    EXPECT_LT(mean_difference(back, img), 6.0);
  }
}

TEST(Codec, DecodersRefuseWhatIsNoImage) {
  Image img;
  EXPECT_FALSE(decode_jpeg("not a jpeg", img));
  EXPECT_FALSE(decode_png("not a png", img));
  std::string png = encode_png(rows_of(render_chart(75, 0, 0, 300, 300, 3)), 75, 75);
  EXPECT_FALSE(decode_png(png.substr(0, png.size() / 2), img));
  EXPECT_EQ(img.pixels.size(), 0u);
}

struct PageCase {
  const char *name;
  Settings settings;
  bool png;
  ColorMode mode;
};

class ServedPage : public SimTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(ServedPage, DecodesToTheChartOfItsRegion) {
  const PageCase &p = GetParam();
  start();
  RawClient c(port());
  std::string id = create_job(c, p.settings);
  ASSERT_FALSE(id.empty());
  Answer a = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  ASSERT_EQ(a.status, 200);
  ASSERT_TRUE(a.complete);
  EXPECT_EQ(a.header("Content-Type"), p.png ? "image/png" : "image/jpeg");
  Image page;
  ASSERT_TRUE(p.png ? decode_png(a.body, page) : decode_jpeg(a.body, page));
  const Settings &s = p.settings;
  Image chart = render_area(s.resolution, s.resolution, s.x_offset, s.y_offset, s.width, s.height, p.mode);
  double diff = mean_difference(page, chart);
  if (p.png) {
    EXPECT_EQ(diff, 0.0);
  } else {
    EXPECT_LT(diff, 8.0);
  }
}

Settings region(int dpi, const char *mode, int x, int y, int w, int h, const char *format = "") {
  Settings s;
  s.resolution = dpi;
  s.color_mode = mode;
  s.x_offset = x;
  s.y_offset = y;
  s.width = w;
  s.height = h;
  s.format = format;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ServedPage,
    ::testing::Values(
        PageCase{"JpegColour75", region(75, "RGB24", 0, 0, 600, 450), false, ColorMode::kRgb24},
        PageCase{"JpegGrey150Offset", region(150, "Grayscale8", 310, 620, 450, 300), false,
                 ColorMode::kGrayscale8},
        PageCase{"PngColour100Offset", region(100, "RGB24", 150, 75, 600, 300, "image/png"), true,
                 ColorMode::kRgb24},
        PageCase{"PngBlackAndWhite200", region(200, "BlackAndWhite1", 0, 0, 300, 300, "image/png"),
                 true, ColorMode::kBlackAndWhite1},
        PageCase{"PngGrey300", region(300, "Grayscale8", 2000, 3000, 300, 300, "image/png"), true,
                 ColorMode::kGrayscale8}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

TEST_F(SimTest, DefaultFormatServesPngWhenConfigured) {
  Config cfg;
  cfg.format = "image/png";
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  Answer a = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  EXPECT_EQ(a.header("Content-Type"), "image/png");
  Image img;
  EXPECT_TRUE(decode_png(a.body, img));
}

TEST_F(SimTest, WholeAreaWithoutRegion) {
  start();
  RawClient c(port());
  Settings s;
  s.region = false;
  s.resolution = 75;
  s.format = "image/png";
  std::string id = create_job(c, s);
  Answer a = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  Image img;
  ASSERT_TRUE(decode_png(a.body, img));
  EXPECT_EQ(img.width, pixels_for(2550, 75));
  EXPECT_EQ(img.height, pixels_for(3508, 75));
}

}  // namespace
}  // namespace escl_sim::test
