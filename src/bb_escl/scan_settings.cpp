// The ScanSettings document of a new job, built from the host's option
// values and what the device offers for the chosen source and mode.
#include <stdio.h>
#include <syslog.h>

#include "bb_escl.h"
#include "bb_escl_region.h"
#include "job_control.h"
#include "session.h"

namespace {

// pwg:InputSource by input-source id (index 0 stands for ids the host is not
// expected to send).
constexpr const char *kSourceNames[] = {"Platen", "Platen", "Feeder", "Feeder", "Camera"};

// ScanSettings as the scanners take it: one line, height before the units
// and the width, the units with an undeclared "escl:" prefix, and a closing
// line end that belongs to the body.
constexpr char kScanSettings[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<scan:ScanSettings xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\""
    " xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\">"
    "<pwg:Version>2.0</pwg:Version>"
    "<scan:Intent>Photo</scan:Intent>"
    "<pwg:ScanRegions><pwg:ScanRegion>"
    "<pwg:Height>%d</pwg:Height>"
    "<pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>"
    "<pwg:Width>%d</pwg:Width>"
    "<pwg:XOffset>%d</pwg:XOffset>"
    "<pwg:YOffset>%d</pwg:YOffset>"
    "</pwg:ScanRegion></pwg:ScanRegions>"
    "<pwg:ContentType>Photo</pwg:ContentType>"
    "<pwg:InputSource>%s</pwg:InputSource>"
    "<scan:XResolution>%d</scan:XResolution>"
    "<scan:YResolution>%d</scan:YResolution>"
    "<scan:ColorMode>%s</scan:ColorMode>"
    "<scan:Duplex>%s</scan:Duplex>"
    "</scan:ScanSettings>\r\n";

const char *source_name(int32_t source) {
  return (source >= BB_SOURCE_FLATBED && source <= BB_SOURCE_CAMERA) ? kSourceNames[source]
                                                                     : kSourceNames[0];
}

// Line art is requested as 8-bit grey; the host thresholds it itself.
const char *color_mode_name(int32_t mode) { return mode == BB_MODE_COLOR ? "RGB24" : "Grayscale8"; }

struct Region {
  int32_t width;
  int32_t height;
  int32_t x_offset;
  int32_t y_offset;
};

// Only the area is scanned and sent: on the platen and the camera it lies
// where the area's corner is.  A feeder lays narrow paper centred on its
// guides, so there the area is centred on the feeder's widest scan; down
// the sheet it starts where the area does.  Offsets are truncated like the
// sizes and never negative.
Region job_region(const host_session *hs) {
  Region r{};
  r.width = bb_fixed_span_to_300ths(hs->tl_x, hs->br_x);
  r.height = bb_fixed_span_to_300ths(hs->tl_y, hs->br_y);
  const int32_t max_width = bb_feeder_width_300ths(hs->x_range_max);
  syslog(LOG_INFO, "bb_escl 1518: Requested_width = [%d], max_width = [%d]\n", r.width, max_width);
  r.x_offset = bb::feeder_source(hs->current_source) ? (max_width - r.width) / 2
                                                      : bb_fixed_span_to_300ths(0, hs->tl_x);
  r.y_offset = bb_fixed_span_to_300ths(0, hs->tl_y);
  if (r.x_offset < 0) r.x_offset = 0;
  if (r.y_offset < 0) r.y_offset = 0;
  return r;
}

}  // namespace

namespace bb {

int write_scan_settings(const host_session *hs, const bb_session *, char *body, size_t room) {
  Region region = job_region(hs);
  return snprintf(body, room, kScanSettings, region.height, region.width, region.x_offset,
                  region.y_offset, source_name(hs->current_source), hs->current_resolution,
                  hs->current_resolution, color_mode_name(hs->current_mode),
                  hs->current_source == BB_SOURCE_DUPLEX ? "true" : "false");
}

}  // namespace bb
