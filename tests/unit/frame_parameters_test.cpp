// bb_get_parameters: frame format, depth and size from the scan area or
// from the host's processed image.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "bb_escl.h"
#include "device_double.h"

using fake::Log;
using ::testing::ElementsAre;

namespace {

struct Host {
  struct Free {
    void operator()(host_session *p) const { free(p); }
  };
  std::unique_ptr<host_session, Free> hs{
      static_cast<host_session *>(calloc(1, sizeof(host_session)))};
  host_session *operator->() const { return hs.get(); }
};

// SANE_Fixed millimetres, as the host holds them.
constexpr SANE_Fixed mm(double v) { return static_cast<SANE_Fixed>(v * 65536.0); }

constexpr SANE_Int kUntouched = -12345;

struct FrameCase {
  const char *name;
  int32_t mode, dpi, option;
  SANE_Fixed tl_x, tl_y, br_x, br_y;
  int32_t image_pixels, image_rows;
  SANE_Parameters expected;  // format, last_frame, bytes_per_line, pixels_per_line, lines, depth
};

class Frame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frame, Reported) {
  const FrameCase &c = GetParam();
  fake::Device dev;
  Host host;
  host->current_mode = c.mode;
  host->current_resolution = c.dpi;
  host->effective_tl_x = c.tl_x;
  host->effective_tl_y = c.tl_y;
  host->effective_br_x = c.br_x;
  host->effective_br_y = c.br_y;
  host->image_pixels_per_row = c.image_pixels;
  host->image_rows = c.image_rows;
  SANE_Parameters p{SANE_FRAME_RED, 0, kUntouched, kUntouched, kUntouched, 0};
  EXPECT_EQ(bb_get_parameters(host.hs.get(), &p, c.option), 0);
  EXPECT_EQ(p.format, c.expected.format);
  EXPECT_EQ(p.last_frame, SANE_TRUE);
  EXPECT_EQ(p.bytes_per_line, c.expected.bytes_per_line);
  EXPECT_EQ(p.pixels_per_line, c.expected.pixels_per_line);
  EXPECT_EQ(p.lines, c.expected.lines);
  EXPECT_EQ(p.depth, c.expected.depth);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1198: bb_get_parameters entry...\n"}));
}

// Sizes are truncated to whole 1/300 inch, as the job's region is, then to
// whole pixels.  215.9 mm is held as 14149222, 2550.0/300 in with the
// qualified divisor; 297.18 mm as 19475988, 3510.0.
const SANE_Fixed kLetterWidth = mm(215.9);
const SANE_Fixed kHeight = mm(297.18);
INSTANTIATE_TEST_SUITE_P(
    Cases, Frame,
    ::testing::Values(
        FrameCase{"gray_letter", BB_MODE_GRAY, 300, 0, 0, 0, kLetterWidth, kHeight, 0, 0,
                  {SANE_FRAME_GRAY, 1, 2550, 2550, 3510, 8}},
        FrameCase{"color_triples_gray", BB_MODE_COLOR, 300, 0, 0, 0, kLetterWidth, kHeight, 0, 0,
                  {SANE_FRAME_RGB, 1, 7650, 2550, 3510, 8}},
        // Eight pixels a byte, rounded up to whole bytes: 2551 -> 319.
        FrameCase{"lineart_host_image", BB_MODE_LINEART, 300, 1, 0, 0, 0, 0, 2551, 100,
                  {SANE_FRAME_GRAY, 1, 319, 2551, 100, 1}},
        FrameCase{"lineart_whole_bytes", BB_MODE_LINEART, 300, 1, 0, 0, 0, 0, 2552, 1,
                  {SANE_FRAME_GRAY, 1, 319, 2552, 1, 1}},
        FrameCase{"option_two_is_scan_area", BB_MODE_GRAY, 300, 2, 0, 0, kLetterWidth, kHeight,
                  9, 9, {SANE_FRAME_GRAY, 1, 2550, 2550, 3510, 8}},
        // A4 at 600 dpi: 2480 x 3507/300 in, so 4960 x 7014, not 4961 x 7016.
        FrameCase{"a4_as_the_job_truncates", BB_MODE_COLOR, 600, 0, 0, 0, mm(210), mm(297), 0, 0,
                  {SANE_FRAME_RGB, 1, 14880, 4960, 7014, 8}},
        // The area need not start at 0: 10 mm .. 35.4 mm is one inch.
        FrameCase{"offset_area", BB_MODE_GRAY, 600, 0, mm(10), mm(20), mm(35.4), mm(45.4), 0, 0,
                  {SANE_FRAME_GRAY, 1, 600, 600, 600, 8}},
        // 50 x 40 mm is 590 x 472/300 in: 147.5 x 118 pixels at 75 dpi.
        FrameCase{"part_pixels_dropped", BB_MODE_GRAY, 75, 0, 0, 0, mm(50), mm(40), 0, 0,
                  {SANE_FRAME_GRAY, 1, 147, 147, 118, 8}},
        // Any option other than 0, 1, 2 leaves the size members alone.
        FrameCase{"option_three", BB_MODE_GRAY, 300, 3, 0, 0, kLetterWidth, kHeight, 5, 5,
                  {SANE_FRAME_GRAY, 1, kUntouched, kUntouched, kUntouched, 8}},
        FrameCase{"option_minus_one", BB_MODE_LINEART, 300, -1, 0, 0, kLetterWidth, kHeight, 5,
                  5, {SANE_FRAME_GRAY, 1, kUntouched, kUntouched, kUntouched, 1}},
        // Modes other than 1 and 2 are Color.
        FrameCase{"mode_zero_is_color", 0, 100, 1, 0, 0, 0, 0, 10, 2,
                  {SANE_FRAME_RGB, 1, 30, 10, 2, 8}},
        FrameCase{"mode_four_is_color", 4, 100, 1, 0, 0, 0, 0, 10, 2,
                  {SANE_FRAME_RGB, 1, 30, 10, 2, 8}},
        // Extreme inputs saturate rather than overflow.
        FrameCase{"huge_resolution", BB_MODE_COLOR, INT32_MAX, 0, INT32_MIN, INT32_MIN,
                  INT32_MAX, INT32_MAX, 0, 0,
                  {SANE_FRAME_RGB, 1, INT32_MAX, INT32_MAX, INT32_MAX, 8}},
        FrameCase{"huge_host_image", BB_MODE_COLOR, 300, 1, 0, 0, 0, 0, INT32_MAX, 1,
                  {SANE_FRAME_RGB, 1, INT32_MAX, INT32_MAX, 1, 8}}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
