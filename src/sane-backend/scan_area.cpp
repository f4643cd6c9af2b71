#include "scan_area.h"

#include <math.h>

#include <algorithm>

namespace bbescl {

namespace {

bool is_feeder(int source_id) { return source_id == BB_SOURCE_ADF || source_id == BB_SOURCE_DUPLEX; }

}  // namespace

AreaPlan plan_area(const Area &user, const source_geometry &geometry, int source_id) {
  AreaPlan plan;
  Area &d = plan.delivered;
  d.tl_x = std::min(user.tl_x, user.br_x);
  d.br_x = std::max(user.tl_x, user.br_x);
  d.tl_y = std::min(user.tl_y, user.br_y);
  d.br_y = std::max(user.tl_y, user.br_y);

  const SANE_Fixed max_x = geometry.br_x_range.max;
  const SANE_Fixed max_y = geometry.br_y_range.max;
  Area &j = plan.job;
  j.tl_x = 0;
  j.tl_y = 0;
  j.br_x = is_feeder(source_id) ? max_x : d.br_x;
  j.br_y = d.br_y;
  // Devices refuse areas below their minimum size; ask for at least that
  // and crop the rest away.
  if (j.br_x < geometry.min_width) j.br_x = max_x > 0 ? std::min(geometry.min_width, max_x) : geometry.min_width;
  if (j.br_y < geometry.min_height) j.br_y = max_y > 0 ? std::min(geometry.min_height, max_y) : geometry.min_height;
  return plan;
}

int fixed_mm_to_pixels(SANE_Fixed length, int dpi) {
  return static_cast<int>(round(length / 65536.0 / 25.4 * dpi));
}

Crop crop_for(const AreaPlan &plan, int dpi, int image_width, int image_height) {
  Crop c;
  c.x0 = std::min(fixed_mm_to_pixels(plan.delivered.tl_x - plan.job.tl_x, dpi), image_width);
  c.y0 = std::min(fixed_mm_to_pixels(plan.delivered.tl_y - plan.job.tl_y, dpi), image_height);
  const int want_w = fixed_mm_to_pixels(plan.delivered.br_x - plan.delivered.tl_x, dpi);
  const int want_h = fixed_mm_to_pixels(plan.delivered.br_y - plan.delivered.tl_y, dpi);
  c.width = std::max(0, std::min(want_w, image_width - c.x0));
  c.height = std::max(0, std::min(want_h, image_height - c.y0));
  return c;
}

}  // namespace bbescl
