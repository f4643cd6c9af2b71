// bb_get_parameters: the SANE frame the host announces to the application,
// from the scan area and resolution or from the host's processed image.
#include <stdint.h>
#include <syslog.h>

#include "bb_escl.h"
#include "bb_escl_region.h"
#include "export.h"

namespace {

enum FrameSizeFrom : int32_t {
  kFromScanArea = 0,
  kFromHostImage = 1,
  kFromScanAreaAgain = 2,  // the host asks again once the scan has started
};

// Pixels across a span of SANE_Fixed millimetres at `dpi`: the span is
// truncated to whole 1/300 inch as the job's region is, so the frame
// announced before a scan is the frame the scan delivers.
SANE_Int pixels(SANE_Fixed from, SANE_Fixed to, int32_t dpi) {
  return bb_300ths_to_pixels(bb_fixed_span_to_300ths(from, to), dpi);
}

}  // namespace

BB_EXPORT int bb_get_parameters(host_session *hs, SANE_Parameters *params, int32_t option) {
  if (hs == nullptr || params == nullptr) return 0;
  params->last_frame = SANE_TRUE;
  syslog(LOG_INFO, "bb_escl 1198: bb_get_parameters entry...\n");

  // Lineart packs eight pixels a byte, Gray one byte, Color three bytes.
  int32_t components = 1;
  switch (hs->current_mode) {
    case BB_MODE_LINEART:
      params->format = SANE_FRAME_GRAY;
      params->depth = 1;
      break;
    case BB_MODE_GRAY:
      params->format = SANE_FRAME_GRAY;
      params->depth = 8;
      break;
    default:
      params->format = SANE_FRAME_RGB;
      params->depth = 8;
      components = 3;
      break;
  }

  switch (option) {
    case kFromScanArea:
    case kFromScanAreaAgain:
      params->lines = pixels(hs->effective_tl_y, hs->effective_br_y, hs->current_resolution);
      params->pixels_per_line =
          pixels(hs->effective_tl_x, hs->effective_br_x, hs->current_resolution);
      break;
    case kFromHostImage:
      params->pixels_per_line = hs->image_pixels_per_row;
      params->lines = hs->image_rows;
      break;
    default:
      return 0;
  }
  int64_t bits = int64_t{components} * params->depth * params->pixels_per_line;
  int64_t bytes = (bits + 7) / 8;
  params->bytes_per_line = bytes > INT32_MAX ? INT32_MAX : static_cast<SANE_Int>(bytes);
  return 0;
}
