// The scan area: what the device is asked for and what the host delivers.
//
// The job the plug-in builds places the area at the device's origin: its
// vertical offset is always 0, and on the platen the horizontal one too,
// while on a feeder the requested width is centred on the feeder's widest
// scan.  Only the area's size reaches the device.  So the host asks for the
// area from the origin to the bottom-right corner (the feeder's full width,
// which puts its offset at 0 as well) and crops the page it gets back to the
// area the user chose.
#pragma once

#include <sane/sane.h>

#include "bb_escl.h"

namespace bbescl {

struct Area {
  SANE_Fixed tl_x = 0, tl_y = 0, br_x = 0, br_y = 0;
};

struct AreaPlan {
  Area job;        // sent to the device
  Area delivered;  // handed to the application
};

// `user` is the area of the options (corners in any order); `geometry` the
// selected source's block; feeders are sources 2 and 3.
AreaPlan plan_area(const Area &user, const source_geometry &geometry, int source_id);

// Pixels of a length in SANE_Fixed millimetres at `dpi`, rounded as the
// plug-in's frame parameters round them.
int fixed_mm_to_pixels(SANE_Fixed length, int dpi);

struct Crop {
  int x0 = 0, y0 = 0;          // first pixel and row of the page delivered
  int width = 0, height = 0;   // pixels and rows delivered
};

// The part of a decoded page of `image_width` x `image_height` pixels that
// covers the delivered area; never reaches past the page.
Crop crop_for(const AreaPlan &plan, int dpi, int image_width, int image_height);

}  // namespace bbescl
