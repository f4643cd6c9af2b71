#include "scan_area.h"

#include <math.h>

#include <algorithm>

#include "bb_escl_region.h"

namespace bbescl {

namespace {

bool is_feeder(int source_id) { return source_id == BB_SOURCE_ADF || source_id == BB_SOURCE_DUPLEX; }

// The smallest SANE_Fixed span the plug-in sends as `length` 1/300 inch.
SANE_Fixed span_of_300ths(int length) {
  auto span = static_cast<SANE_Fixed>(ceil(length * BB_FIXED_MM_PER_300TH));
  while (bb_fixed_span_to_300ths(0, span) < length) ++span;
  return span;
}

// Widens [lo, hi] to `span`, towards the end of the range when there is
// room, else back from it.
void widen(SANE_Fixed &lo, SANE_Fixed &hi, SANE_Fixed span, SANE_Fixed max) {
  if (hi - lo >= span) return;
  hi = lo + span;
  if (max > 0 && hi > max) {
    hi = max;
    lo = std::max<SANE_Fixed>(0, max - span);
  }
}

int to_pixels(int length300, int dpi) { return bb_300ths_to_pixels(length300, dpi); }

// Where the page starts along one side, in 1/300 inch.  Some devices ignore
// the region and send their whole area: a page longer than the job's
// region by more than a rounding pixel, that holds the area measured from
// the origin, starts at the origin.
int page_start(int planned, int job_length, int area_end, int dpi, int image_length) {
  const bool whole = image_length > to_pixels(job_length, dpi) + 1 && image_length >= to_pixels(area_end, dpi);
  return whole ? 0 : planned;
}

}  // namespace

SANE_Fixed min_span(SANE_Fixed min_length) {
  const long length = lround(min_length / 65536.0 * BB_300THS_PER_MM);
  return span_of_300ths(static_cast<int>(std::clamp(length, 1L, 100000L)));
}

AreaPlan plan_area(const Area &user, const source_geometry &geometry, int source_id) {
  AreaPlan plan;
  Area &d = plan.delivered;
  d.tl_x = std::min(user.tl_x, user.br_x);
  d.br_x = std::max(user.tl_x, user.br_x);
  d.tl_y = std::min(user.tl_y, user.br_y);
  d.br_y = std::max(user.tl_y, user.br_y);
  // Devices refuse areas below their minimum size.
  widen(d.tl_x, d.br_x, min_span(geometry.min_width), geometry.br_x_range.max);
  widen(d.tl_y, d.br_y, min_span(geometry.min_height), geometry.br_y_range.max);

  plan.job = d;
  plan.page_x300 = std::max(0, bb_fixed_span_to_300ths(0, d.tl_x));
  plan.page_y300 = std::max(0, bb_fixed_span_to_300ths(0, d.tl_y));
  if (!is_feeder(source_id)) return plan;

  // The centred width that reaches both sides of the area; the whole
  // width when the area touches an edge.
  const SANE_Fixed max_x = geometry.br_x_range.max;
  const int feeder_width = bb_feeder_width_300ths(max_x);
  const int left = plan.page_x300;
  const int right = left + bb_fixed_span_to_300ths(d.tl_x, d.br_x);
  const int margin = std::min(left, feeder_width - right);
  Area &j = plan.job;
  j.tl_x = 0;
  j.br_x = margin > 0 ? span_of_300ths(feeder_width - 2 * margin) : max_x;
  plan.page_x300 = std::max(0, (feeder_width - bb_fixed_span_to_300ths(j.tl_x, j.br_x)) / 2);
  return plan;
}

Crop crop_for(const AreaPlan &plan, int dpi, int image_width, int image_height) {
  const Area &d = plan.delivered;
  const Area &j = plan.job;
  const int left = bb_fixed_span_to_300ths(0, d.tl_x), top = bb_fixed_span_to_300ths(0, d.tl_y);
  const int width = bb_fixed_span_to_300ths(d.tl_x, d.br_x), height = bb_fixed_span_to_300ths(d.tl_y, d.br_y);
  const int page_x =
      page_start(plan.page_x300, bb_fixed_span_to_300ths(j.tl_x, j.br_x), left + width, dpi, image_width);
  const int page_y =
      page_start(plan.page_y300, bb_fixed_span_to_300ths(j.tl_y, j.br_y), top + height, dpi, image_height);
  Crop c;
  c.x0 = std::clamp(to_pixels(left - page_x, dpi), 0, image_width);
  c.y0 = std::clamp(to_pixels(top - page_y, dpi), 0, image_height);
  const int want_w = to_pixels(width, dpi);
  const int want_h = to_pixels(height, dpi);
  c.width = std::max(0, std::min(want_w, image_width - c.x0));
  c.height = std::max(0, std::min(want_h, image_height - c.y0));
  return c;
}

}  // namespace bbescl
