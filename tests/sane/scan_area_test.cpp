// Only the area is asked of the device: on the platen at its corner, on a
// feeder as the narrowest centred width covering it; the crop takes away
// only what the device's centring and rounding add.
#include "scan_area.h"

#include <gtest/gtest.h>

#include "bb_escl_region.h"
#include "published_session.h"

using bbescl::Area;
using bbescl::AreaPlan;

namespace {

bool operator==(const Area &a, const Area &b) {
  return a.tl_x == b.tl_x && a.tl_y == b.tl_y && a.br_x == b.br_x && a.br_y == b.br_y;
}

int to300(SANE_Fixed from, SANE_Fixed to) { return bb_fixed_span_to_300ths(from, to); }

class ScanArea : public ::testing::Test {
 protected:
  fixtures::SessionPtr hs = fixtures::published_session();
};

// The published feeder is 2549/300 inch wide as the plug-in centres on it.
TEST_F(ScanArea, JobsCarryOnlyTheArea) {
  struct Row {
    const char *name;
    int source;
    Area user;
    int job_width300, page_x300, page_y300;  // the region the plug-in will send
    int dpi, image_width, image_height;       // the page the device sends back
    bbescl::Crop crop;
  };
  const Row rows[] = {
      // 50 mm = 590.55/300 in, 20 mm = 236.22, 60 mm = 708.66: truncated.
      {"platen area at its corner", BB_SOURCE_FLATBED, {SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)},
       590, 590, 236, 300, 590, 708, {0, 0, 590, 708}},
      // 591/300 in at 150 dpi is 295.5 pixels: a device rounding up sends
      // one column more, and only that is cropped.
      {"part pixel cropped", BB_SOURCE_FLATBED, {0, 0, SANE_FIX(50.04), SANE_FIX(50.04)}, 591, 0, 0, 150, 296,
       296, {0, 0, 295, 295}},
      // 10..110 mm is 118 + 1181 of 2549: 118 on either side are left out.
      {"feeder area centred", BB_SOURCE_ADF, {SANE_FIX(10), SANE_FIX(30), SANE_FIX(110), SANE_FIX(200)}, 2313, 118,
       354, 300, 2313, 2007, {0, 0, 1181, 2007}},
      // 150..210 mm is 1771 + 708: the job reaches 70 from either side.
      {"feeder area off centre", BB_SOURCE_DUPLEX, {SANE_FIX(150), 0, SANE_FIX(210), SANE_FIX(100)}, 2409, 70, 0,
       150, 1205, 590, {850, 0, 354, 590}},
      {"feeder area at an edge takes the whole width", BB_SOURCE_ADF, {0, 0, SANE_FIX(100), SANE_FIX(100)}, 2550, 0,
       0, 300, 2550, 1181, {0, 0, 1181, 1181}},
      // A device that ignores the region sends its whole area: the crop
      // finds the area in it.
      {"platen page of the whole area", BB_SOURCE_FLATBED, {SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)},
       590, 590, 236, 300, 2550, 3508, {590, 236, 590, 708}},
      {"feeder page of the whole width", BB_SOURCE_ADF, {SANE_FIX(150), 0, SANE_FIX(210), SANE_FIX(100)}, 2409, 70, 0,
       150, 1275, 590, {885, 0, 354, 590}},
      {"page smaller than the area", BB_SOURCE_FLATBED, {0, 0, SANE_FIX(25.4), SANE_FIX(25.4)}, 300, 0, 0, 300, 200,
       100, {0, 0, 200, 100}},
  };
  for (const Row &row : rows) {
    const source_geometry &g = hs->source_geometry[row.source - 1];
    const AreaPlan p = bbescl::plan_area(row.user, g, row.source);
    EXPECT_TRUE(p.delivered == row.user) << row.name;
    EXPECT_EQ(to300(p.job.tl_x, p.job.br_x), row.job_width300) << row.name;
    EXPECT_EQ(p.job.tl_y, row.user.tl_y) << row.name;
    EXPECT_EQ(p.job.br_y, row.user.br_y) << row.name;
    EXPECT_EQ(p.page_x300, row.page_x300) << row.name;
    EXPECT_EQ(p.page_y300, row.page_y300) << row.name;
    const bbescl::Crop c = bbescl::crop_for(p, row.dpi, row.image_width, row.image_height);
    EXPECT_EQ(c.x0, row.crop.x0) << row.name;
    EXPECT_EQ(c.y0, row.crop.y0) << row.name;
    EXPECT_EQ(c.width, row.crop.width) << row.name;
    EXPECT_EQ(c.height, row.crop.height) << row.name;
  }
}

TEST_F(ScanArea, CornersGivenTheWrongWayRoundAreSwapped) {
  const AreaPlan p = bbescl::plan_area({SANE_FIX(100), SANE_FIX(80), SANE_FIX(50), SANE_FIX(20)},
                                       hs->source_geometry[0], BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.delivered == (Area{SANE_FIX(50), SANE_FIX(20), SANE_FIX(100), SANE_FIX(80)}));
  EXPECT_TRUE(p.job == p.delivered);
}

// The published minimum is 16 mm.
TEST_F(ScanArea, AreasBelowTheMinimumAreWidenedAndSentSo) {
  const source_geometry &platen = hs->source_geometry[0];
  const SANE_Fixed span = bbescl::min_span(platen.min_width);
  const SANE_Fixed right = platen.br_x_range.max;
  AreaPlan p = bbescl::plan_area({0, 0, SANE_FIX(5), SANE_FIX(3)}, platen, BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.delivered == (Area{0, 0, span, span}));
  EXPECT_TRUE(p.job == p.delivered);
  p = bbescl::plan_area({right - SANE_FIX(1), 0, right, SANE_FIX(50)}, platen, BB_SOURCE_FLATBED);
  EXPECT_TRUE(p.delivered == (Area{right - span, 0, right, SANE_FIX(50)}));
}

TEST(MinSpan, IsSentAsAtLeastTheMinimum) {
  struct Row {
    SANE_Fixed min_length;
    int min300;
  };
  // 16/300 inch is published as 88779 (88779.41 truncated); 0 still needs
  // something to scan.
  for (const Row &row : {Row{88779, 16}, Row{SANE_FIX(16.0), 189}, Row{0, 1}}) {
    const SANE_Fixed span = bbescl::min_span(row.min_length);
    EXPECT_EQ(to300(0, span), row.min300) << row.min_length;
    EXPECT_EQ(to300(0, span - 1), row.min300 - 1) << row.min_length;
  }
}

}  // namespace
