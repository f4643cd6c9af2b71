// Creates an eSCL scan job: a ScanSettings document built from the host's
// option values, posted to /eSCL/ScanJobs; the answer's Location header
// names the job.
#include <stdio.h>
#include <syslog.h>

#include <string_view>

#include "../http/http.h"
#include "bb_escl.h"
#include "bb_escl_region.h"
#include "export.h"
#include "job_control.h"
#include "limits.h"
#include "payload.h"
#include "session.h"
#include "text.h"

namespace {

constexpr int32_t kHeaderSectime = 5;
constexpr int32_t kBodySectime = 1;
constexpr int32_t kAnswerSectime = 5;
constexpr int32_t kHttpConflictStatus = 409;

// A scanner that is scanning for someone else, or still warming up, says
// so in its status: "409 Conflict" then means "not now", not "not these
// settings".
constexpr std::string_view kScannerProcessing = "<pwg:State>Processing</pwg:State>";
constexpr std::string_view kScannerTesting = "<pwg:State>Testing</pwg:State>";

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

constexpr char kPostHeader[] =
    "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: %d\r\nHOST: \r\n\r\n";


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

// "409 Conflict" to a job creation: settings the device will not take, or
// a scanner busy with another job.  Only its status tells which; a busy
// scanner may be asked again, a conflict of settings may not.
SANE_Status conflict_status(host_session *hs, bb_session *session) {
  http_close(session->http);
  session->http = nullptr;
  // The document read here is not the one a feeder page start may reuse.
  session->status_fresh = 0;
  if (bb_get_scanner_status(hs, session->status_doc, sizeof session->status_doc) != SANE_STATUS_GOOD)
    return SANE_STATUS_IO_ERROR;
  std::string_view doc = bb::buffer_text(session->status_doc, sizeof session->status_doc);
  if (bb::contains(doc, kScannerProcessing) || bb::contains(doc, kScannerTesting)) {
    syslog(LOG_ERR, "bb_escl 1549: the device refused the job (409): the scanner is busy\n");
    return SANE_STATUS_DEVICE_BUSY;
  }
  syslog(LOG_ERR, "bb_escl 1550: the device refused the job's settings (409)\n");
  return SANE_STATUS_IO_ERROR;
}

// Sends the job and reads the answer on the channel it opens in
// session->http; the caller's guard closes that channel.
SANE_Status post_scanjob(host_session *hs, bb_session *session) {
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1511: Unable to open http connection\n");
    return SANE_STATUS_IO_ERROR;
  }
  Region region = job_region(hs);
  char body[bb::kStatusBufferSize] = {};
  int body_len = snprintf(body, sizeof body, kScanSettings, region.height, region.width,
                          region.x_offset, region.y_offset, source_name(hs->current_source),
                          hs->current_resolution, hs->current_resolution,
                          color_mode_name(hs->current_mode),
                          hs->current_source == BB_SOURCE_DUPLEX ? "true" : "false");
  char header[bb::kHeaderBufferSize] = {};
  int header_len = snprintf(header, sizeof header, kPostHeader, body_len);

  if (http_write(session->http, header, header_len, kHeaderSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1539: Unable to write eSCL header in http conection\n");
    return SANE_STATUS_IO_ERROR;
  }
  if (http_write(session->http, body, body_len, kBodySectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1544: Unable to write scan job request in http conection\n");
    return SANE_STATUS_IO_ERROR;
  }
  // The answer "201 Created" is left as its header: that is where the
  // Location of the new job is.
  char answer[bb::kStatusBufferSize + 1] = {};
  int32_t bytes_read = 0;
  if (bb_read_http_payload(session, answer, bb::kStatusBufferSize, kAnswerSectime, &bytes_read) != 0) {
    // "503 Service Unavailable": busy or warming up, the device takes no job
    // now; the host may try again later.  Nothing was created.
    if (session->http->http_status == kHttpServiceUnavailableStatus) return SANE_STATUS_DEVICE_BUSY;
    if (session->http->http_status == kHttpConflictStatus) return conflict_status(hs, session);
    return SANE_STATUS_IO_ERROR;
  }
  // A job the answer does not name cannot be asked for its pages, nor
  // deleted: the scan cannot go on.
  if (bb::read_job_location(hs, bb::buffer_text(answer, bb::kStatusBufferSize)) != 0 ||
      bb::job_id_text(hs).empty()) {
    syslog(LOG_ERR,
           "bb_escl 1552: the device created a job that cannot be addressed (no usable "
           "Location in its answer)\n");
    return SANE_STATUS_IO_ERROR;
  }
  return SANE_STATUS_GOOD;
}

}  // namespace

BB_EXPORT SANE_Status bb_post_scanjob(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1507: bb_post_scanjob.\n");
  bb_session *session = bb::session_of(hs);
  if (session == nullptr) {
    syslog(LOG_INFO, "bb_escl 1558: bb_post_scanjob returning with stat = [%d]",
           SANE_STATUS_IO_ERROR);
    return SANE_STATUS_IO_ERROR;
  }
  ChannelGuard channel(&session->http);
  // A page channel the host left open would be lost when the slot is reused.
  channel.close();
  SANE_Status status = post_scanjob(hs, session);
  syslog(LOG_INFO, "bb_escl 1558: bb_post_scanjob returning with stat = [%d]", status);
  return status;
}
