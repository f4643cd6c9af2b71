// The area asked of the device starts at its origin; the crop gives back
// the area chosen.
#include "scan_area.h"

#include <gtest/gtest.h>

#include "published_session.h"

using bbescl::Area;
using bbescl::AreaPlan;

namespace {

bool operator==(const Area &a, const Area &b) {
  return a.tl_x == b.tl_x && a.tl_y == b.tl_y && a.br_x == b.br_x && a.br_y == b.br_y;
}

class ScanArea : public ::testing::Test {
 protected:
  fixtures::SessionPtr hs = fixtures::published_session();
  const source_geometry &platen = hs->source_geometry[0];
  const source_geometry &feeder = hs->source_geometry[1];
};

TEST_F(ScanArea, PlatenJobsRunFromTheOriginToTheBottomRightCorner) {
  const AreaPlan p = bbescl::plan_area({SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)}, platen, BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.job == (Area{0, 0, SANE_FIX(100), SANE_FIX(80)}));
  EXPECT_TRUE(p.delivered == (Area{SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)}));
}

TEST_F(ScanArea, FeederJobsTakeTheFullWidthSoTheyAreNotCentred) {
  for (int source : {BB_SOURCE_ADF, BB_SOURCE_DUPLEX}) {
    const AreaPlan p = bbescl::plan_area({SANE_FIX(10), 0, SANE_FIX(110), SANE_FIX(200)}, feeder, source);
    EXPECT_TRUE(p.job == (Area{0, 0, feeder.br_x_range.max, SANE_FIX(200)}));
  }
}

TEST_F(ScanArea, CornersGivenTheWrongWayRoundAreSwapped) {
  const AreaPlan p = bbescl::plan_area({SANE_FIX(100), SANE_FIX(80), SANE_FIX(50), SANE_FIX(20)}, platen, BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.delivered == (Area{SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)}));
}

TEST_F(ScanArea, JobsBelowTheMinimumSizeAreEnlarged) {
  const AreaPlan p = bbescl::plan_area({0, 0, SANE_FIX(5), SANE_FIX(3)}, platen, BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.job == (Area{0, 0, SANE_FIX(16), SANE_FIX(16)}));
  EXPECT_TRUE(p.delivered == (Area{0, 0, SANE_FIX(5), SANE_FIX(3)}));
}

TEST_F(ScanArea, CropTakesTheAreaOutOfThePage) {
  // 25.4 mm is one inch: 100 pixels at 100 dpi.
  const AreaPlan p = bbescl::plan_area({SANE_FIX(25.4), SANE_FIX(50.8), SANE_FIX(76.2), SANE_FIX(101.6)}, platen,
                                       BB_SOURCE_FLATBED);
  const bbescl::Crop c = bbescl::crop_for(p, 100, 300, 400);
  EXPECT_EQ(c.x0, 100);
  EXPECT_EQ(c.y0, 200);
  EXPECT_EQ(c.width, 200);
  EXPECT_EQ(c.height, 200);
}

TEST_F(ScanArea, CropNeverReachesPastThePage) {
  const AreaPlan p = bbescl::plan_area({SANE_FIX(25.4), SANE_FIX(25.4), SANE_FIX(76.2), SANE_FIX(76.2)}, platen,
                                       BB_SOURCE_FLATBED);
  bbescl::Crop c = bbescl::crop_for(p, 100, 250, 180);
  EXPECT_EQ(c.width, 150);
  EXPECT_EQ(c.height, 80);
  c = bbescl::crop_for(p, 100, 90, 90);
  EXPECT_EQ(c.x0, 90);
  EXPECT_EQ(c.width, 0);
}

TEST(FixedToPixels, RoundsAsTheFrameParametersDo) {
  EXPECT_EQ(bbescl::fixed_mm_to_pixels(SANE_FIX(215.9), 300), 2550);
  EXPECT_EQ(bbescl::fixed_mm_to_pixels(SANE_FIX(297.18), 300), 3510);
  EXPECT_EQ(bbescl::fixed_mm_to_pixels(0, 600), 0);
}

}  // namespace
