// The scan area: what the device is asked for and what the host delivers.
//
// Only the area is scanned and transferred.  On the platen and the camera
// the job carries the area's corner as its offset, so the page is the area.
// A feeder centres the job's width on its widest scan (narrow paper lies
// centred between its guides), so there the job is the narrowest centred
// width that covers the area, and the host crops the sides.  The plug-in
// truncates sizes and offsets to whole 1/300 inch (bb_escl_region.h); the
// frame is the whole pixels of the truncated area, and the host crops only
// what the device's rounding adds to it.
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
  int page_x300 = 0, page_y300 = 0;  // where the device's page starts, 1/300 inch
};

// `user` is the area of the options (corners in any order); `geometry` the
// selected source's block; feeders are sources 2 and 3.  An area below the
// source's minimum is widened to it.
AreaPlan plan_area(const Area &user, const source_geometry &geometry, int source_id);

// The smallest span of SANE_Fixed millimetres that the plug-in sends as at
// least the source's minimum `min_length` (itself truncated from whole
// 1/300 inch when the capabilities were read), and never as nothing.
SANE_Fixed min_span(SANE_Fixed min_length);

struct Crop {
  int x0 = 0, y0 = 0;          // first pixel and row of the page delivered
  int width = 0, height = 0;   // pixels and rows delivered
};

// The part of a decoded page of `image_width` x `image_height` pixels that
// covers the delivered area; never reaches past the page.  A page of the
// source's whole area, from a device that ignores the region, is cropped
// from the origin.
Crop crop_for(const AreaPlan &plan, int dpi, int image_width, int image_height);

}  // namespace bbescl
