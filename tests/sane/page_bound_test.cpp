// The largest page a source may send at a resolution, and what decoding
// it may take: plain arithmetic on device numbers, any of them absurd.
#include "page_bound.h"

#include <limits.h>
#include <stdint.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

struct BoundCase {
  SANE_Fixed width, height;
  int dpi;
  int max_width, max_height;
};

class PageBoundTable : public ::testing::TestWithParam<BoundCase> {};

TEST_P(PageBoundTable, IsTheAreaAtTheResolutionWithRoom) {
  const BoundCase c = GetParam();
  const bbescl::PageBound b = bbescl::page_bound(c.width, c.height, c.dpi);
  EXPECT_EQ(b.max_width, c.max_width);
  EXPECT_EQ(b.max_height, c.max_height);
  EXPECT_EQ(b.max_memory, bbescl::decoder_memory_for(c.max_width, c.max_height));
}

INSTANTIATE_TEST_SUITE_P(
    Areas, PageBoundTable,
    ::testing::Values(
        // 2550 x 3508 pixels (rounded up), 5 % and 16 more.
        BoundCase{SANE_FIX(215.9), SANE_FIX(297.0), 300, 2550 + 127 + 16, 3508 + 175 + 16},
        BoundCase{SANE_FIX(25.4), SANE_FIX(50.8), 100, 100 + 5 + 16, 200 + 10 + 16},
        BoundCase{SANE_FIX(215.9), SANE_FIX(355.6), 1200, 10200 + 510 + 16, 16800 + 840 + 16},
        BoundCase{SANE_FIX(1.0), SANE_FIX(1.0), 1, 1 + 16, 1 + 16},
        // Nothing to scan: every page is refused.
        BoundCase{0, SANE_FIX(297.0), 300, 0, 0}, BoundCase{SANE_FIX(215.9), -1, 300, 0, 0},
        BoundCase{SANE_FIX(215.9), SANE_FIX(297.0), 0, 0, 0}, BoundCase{INT_MIN, INT_MIN, INT_MIN, 0, 0},
        // Absurd numbers saturate.
        BoundCase{INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX},
        BoundCase{INT_MAX, SANE_FIX(25.4), 2147483647, INT_MAX, INT_MAX}));

TEST(PageBound, AdmitsPagesUpToItsSizeInBothDimensions) {
  const bbescl::PageBound b = bbescl::page_bound(SANE_FIX(215.9), SANE_FIX(297.0), 300);
  const struct {
    long long width, height;
    bool within;
  } cases[] = {{2550, 3508, true},       {2693, 3699, true},         {2694, 3699, false}, {2693, 3700, false},
               {60000, 60000, false},    {1, 60000, false},          {0, 0, true},        {INT_MAX, 1, false},
               {4294967295LL, 1, false}, {LLONG_MAX, LLONG_MAX, false}};
  for (const auto &c : cases)
    EXPECT_EQ(bbescl::within_bound(b, c.width, c.height), c.within) << c.width << " x " << c.height;
  EXPECT_FALSE(bbescl::within_bound(bbescl::PageBound{}, 1, 1));
}

TEST(PageBound, DecoderMemoryCoversEveryCoefficientAndSaturates) {
  // Two bytes per sample, three samples, blocks rounded up, plus rows.
  EXPECT_GE(bbescl::decoder_memory_for(2693, 3699), size_t{2693} * 3699 * 3 * 2);
  EXPECT_LT(bbescl::decoder_memory_for(2693, 3699), size_t{2693} * 3699 * 3 * 2 + (8u << 20));
  EXPECT_EQ(bbescl::decoder_memory_for(0, 100), 0u);
  EXPECT_EQ(bbescl::decoder_memory_for(-5, -5), 0u);
  EXPECT_EQ(bbescl::decoder_memory_for(INT_MAX, INT_MAX), SIZE_MAX);
}

TEST(PageBound, TheRefusalNamesBothSizes) {
  const bbescl::PageBound b = bbescl::page_bound(SANE_FIX(215.9), SANE_FIX(297.0), 300);
  EXPECT_EQ(bbescl::oversized_page_message(60000, 60000, b),
            "the page declares 60000 x 60000 pixels, more than the 2693 x 3699 the source's largest scan area "
            "allows at this resolution");
}

}  // namespace
