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

constexpr char kPostHeader[] =
    "POST /eSCL/ScanJobs HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: %d\r\nHOST: \r\n\r\n";


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
  char body[bb::kStatusBufferSize] = {};
  int body_len = bb::write_scan_settings(hs, session, body, sizeof body);
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
