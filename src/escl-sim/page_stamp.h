// The stamp of sheet and side every page carries over the chart (its layout
// is described at render_chart in simulator.h), drawn and read back.
#pragma once

#include "chart.h"
#include "simulator.h"

namespace escl_sim {

// The stamp's colour at (x, y), 1/300 inch from the top left corner of the
// device's area; false outside the stamp, where the chart shows.
bool stamp_color(const PageSide &side, int x300, int y300, Rgb &color);

}  // namespace escl_sim
