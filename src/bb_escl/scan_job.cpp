// Creates an eSCL scan job: a ScanSettings document built from the host's
// option values, posted to /eSCL/ScanJobs; the answer's Location header
// names the job.  Around the posting: a device that refuses the Host is
// asked again as "localhost", a scanner busy with another client is waited
// for, and a job created while its answer was lost is deleted.
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>

#include "../http/http.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "job_list.h"
#include "../http/limits.h"
#include "payload.h"
#include "request.h"
#include "session.h"
#include "../http/text.h"

namespace {

constexpr int32_t kHeaderSectime = 5;
constexpr int32_t kBodySectime = 1;
constexpr int32_t kAnswerSectime = 5;
// After a "400 Bad Request" a device that means it says nothing more: the
// wait for a real answer behind it is kept short.
constexpr int32_t kAfterBadRequestSectime = 2;
constexpr int kBadRequestRereads = 3;
constexpr int32_t kDeleteSectime = 5;

constexpr int32_t kHttpForbiddenStatus = 403;
constexpr int32_t kHttpConflictStatus = 409;

// A scanner scanning for another client answers "409 Conflict" to a job
// creation until it is done, and some go on refusing for a moment after
// they turn idle.  While the status shows it busy the device is busy for
// the host, which waits within the budget its user gives; while it shows
// it idle the job is posted again every half second for 2 s.
constexpr useconds_t kConflictPauseUs = 500000;
constexpr unsigned long long kIdleGraceUs = 2000000ULL;

// A scanner that is scanning for someone else, or still warming up, says
// so in its status: "409 Conflict" then means "not now", not "not these
// settings".

// How one posting ended.
enum class Answer {
  kCreated,
  kFailed,       // no channel, or the request could not be written
  kHostRefused,  // "400 Bad Request" alone, or "403 Forbidden"
  kBusy,         // "503 Service Unavailable"
  kConflict,     // "409 Conflict"
  kLost,         // silent, cut, garbled, or a job the answer does not name
  kRefused,      // any other refusal
};

// Reads the answer's header into buf.  Some devices send "400 Bad Request"
// before their real answer on the same channel; one that sends nothing
// after it refused the job.  *bad_request tells that a 400 came.
int read_creation_answer(http_handle *h, char *buf, int32_t size, bool *bad_request) {
  int32_t len = 0;
  int ret = http_read_header(h, buf, size, kAnswerSectime, &len);
  for (int i = 0; ret == HTTP_OK && h->http_status == kHttpBadRequestStatus; ++i) {
    *bad_request = true;
    if (i == kBadRequestRereads) return HTTP_IO_ERROR;
    if (bb_skip_answer_body(h, buf, size, kAnswerSectime) != HTTP_OK) return HTTP_IO_ERROR;
    ret = http_read_header(h, buf, size, kAfterBadRequestSectime, &len);
  }
  return ret;
}

// What the answer's status says, once it is read (or failed to be).
Answer judge_answer(host_session *hs, int ret, int32_t status, bool bad_request,
                    std::string_view answer) {
  if (ret == HTTP_OK && status >= 200 && status <= 299) {
    // A job the answer does not name cannot be asked for its pages, nor
    // deleted: the scan cannot go on.
    if (bb::read_job_location(hs, answer) == 0 && !bb::job_id_text(hs).empty())
      return Answer::kCreated;
    syslog(LOG_ERR,
           "bb_escl 1552: the device created a job that cannot be addressed (no usable "
           "Location in its answer)\n");
    return Answer::kLost;
  }
  if (bad_request || status == kHttpForbiddenStatus) return Answer::kHostRefused;
  // "503 Service Unavailable": busy or warming up, the device takes no job
  // now; the host may try again later.  Nothing was created.
  if (status == kHttpServiceUnavailableStatus) return Answer::kBusy;
  if (status == kHttpConflictStatus) return Answer::kConflict;
  // No status line, or one cut or garbled, or a 2xx whose header broke
  // off: the device may have created the job all the same.
  if (status < 100 || status > 599 || (status >= 200 && status <= 299)) return Answer::kLost;
  return Answer::kRefused;
}

// Posts the job once, on a channel of its own that is closed before
// returning.
Answer post_once(host_session *hs, bb_session *session) {
  ChannelGuard channel(&session->http);
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1511: Unable to open http connection\n");
    return Answer::kFailed;
  }
  char body[bb::kStatusBufferSize] = {};
  int body_len = bb::write_scan_settings(hs, session, body, sizeof body);
  char headers[bb::kLineSize] = {};
  snprintf(headers, sizeof headers, "Content-Type: text/xml\r\nContent-Length: %d\r\n", body_len);
  char header[bb::kHeaderBufferSize] = {};
  int32_t header_len = bb::write_request(hs, "POST", {bb::kScanJobsPath},
                                         bb::buffer_text(headers, sizeof headers), header,
                                         sizeof header);
  if (header_len < 0 || http_write(session->http, header, header_len, kHeaderSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1539: Unable to write eSCL header in http conection\n");
    return Answer::kFailed;
  }
  if (http_write(session->http, body, body_len, kBodySectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1544: Unable to write scan job request in http conection\n");
    return Answer::kFailed;
  }
  char answer[bb::kStatusBufferSize + 1] = {};
  bool bad_request = false;
  int ret = read_creation_answer(session->http, answer, bb::kStatusBufferSize, &bad_request);
  return judge_answer(hs, ret, session->http->http_status, bad_request,
                      bb::buffer_text(answer, bb::kStatusBufferSize));
}

// A status document in the session's buffer, for the plug-in's own use:
// not the one a feeder page start may reuse.
bool read_status(host_session *hs, bb_session *session) {
  session->status_fresh = 0;
  return bb_get_scanner_status(hs, session->status_doc, sizeof session->status_doc) ==
         SANE_STATUS_GOOD;
}

std::string_view status_text(const bb_session *session) {
  return bb::buffer_text(session->status_doc, sizeof session->status_doc);
}

// Deletes the job at `path` on a channel of its own; the answer is read
// only so the device sees it taken.
void delete_job_path(const host_session *hs, bb_session *session, std::string_view path) {
  ChannelGuard channel(&session->http);
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) return;
  if (bb::send_request(hs, session->http, "DELETE", {path}, kDeleteSectime) != HTTP_OK) return;
  char answer[bb::kStatusBufferSize + 1] = {};
  int32_t len = 0;
  http_read_header(session->http, answer, bb::kStatusBufferSize, kDeleteSectime, &len);
}

// After a job creation whose answer was lost: a job that appeared in the
// status since `before` was noted, and is still waiting or running, is the
// one created; left alone it would hold the scanner for every client.
void delete_orphans(host_session *hs, bb_session *session, const bb::JobUriList *before) {
  if (before == nullptr || before->cut != 0) {
    syslog(LOG_ERR,
           "bb_escl 1556: the job creation's answer was lost and the jobs listed before it "
           "are not known: a job it created is left on the device\n");
    return;
  }
  if (!read_status(hs, session)) return;
  std::string_view doc = status_text(session);
  std::string_view uri;
  for (size_t from = 0; bb::next_job_uri(doc, &from, &uri);) {
    if (bb::job_uri_noted(before, uri)) continue;
    const int state = bb::job_state_after(doc, from);
    if (state != BB_JOB_PENDING && state != BB_JOB_PROCESSING) continue;
    std::string_view path = bb::job_uri_path(uri);
    if (path.empty()) continue;
    syslog(LOG_ERR,
           "bb_escl 1555: deleting the job %.*s, created though the answer to its creation "
           "was lost\n",
           static_cast<int>(uri.size()), uri.data());
    delete_job_path(hs, session, path);
  }
}

// "409 Conflict": GOOD to post again after the pause, otherwise the result.
SANE_Status conflict_wait(host_session *hs, bb_session *session, unsigned long long *idle_us) {
  if (!read_status(hs, session)) return SANE_STATUS_IO_ERROR;
  std::string_view doc = status_text(session);
  char state[32] = {};
  const std::string_view scanner = bb::scanner_state(doc, state, sizeof state);
  const bool busy = scanner == "Processing" || scanner == "Testing";
  if (busy) {
    // Another client's job: busy, as a 503 is.  The host waits for the
    // device within its own budget, which its user sets and can cancel.
    syslog(LOG_INFO, "bb_escl 1549: the device refused the job (409): the scanner is busy\n");
    return SANE_STATUS_DEVICE_BUSY;
  }
  if (*idle_us >= kIdleGraceUs) {
    syslog(LOG_ERR, "bb_escl 1550: the device refused the job's settings (409)\n");
    return SANE_STATUS_IO_ERROR;
  }
  syslog(LOG_INFO, "bb_escl 1547: the device refused the job (409) while idle, posting it again\n");
  if (!bb::wait_unless_cancelled(hs, kConflictPauseUs)) return SANE_STATUS_CANCELLED;
  *idle_us += kConflictPauseUs;
  return SANE_STATUS_GOOD;
}

SANE_Status post_scanjob(host_session *hs, bb_session *session) {
  // The jobs the device lists before this one, to tell the new one by.
  bb::JobUriList before;
  const bool noted = read_status(hs, session);
  if (noted)
    bb::note_job_uris(status_text(session), &before);
  else
    memset(&before, 0, sizeof before);

  bool host_retried = false;
  unsigned long long idle_us = 0;
  for (;;) {
    if (bb::cancel_asked(hs)) return SANE_STATUS_CANCELLED;
    switch (post_once(hs, session)) {
      case Answer::kCreated:
        return SANE_STATUS_GOOD;
      case Answer::kBusy:
        return SANE_STATUS_DEVICE_BUSY;
      case Answer::kLost:
        delete_orphans(hs, session, noted ? &before : nullptr);
        return SANE_STATUS_IO_ERROR;
      case Answer::kHostRefused:
        // Devices of one large maker take a job only from "localhost".
        if (!host_retried && session->host_localhost == 0) {
          host_retried = true;
          session->host_localhost = 1;
          syslog(LOG_INFO,
                 "bb_escl 1553: the device refused the job for its Host, posting it again "
                 "as localhost (kept until the device is closed)\n");
          continue;
        }
        // Not the Host, then: the device's own name goes back.
        if (host_retried) session->host_localhost = 0;
        syslog(LOG_ERR, "bb_escl 1554: the device refused the job (400 or 403)\n");
        return SANE_STATUS_IO_ERROR;
      case Answer::kConflict: {
        SANE_Status waited = conflict_wait(hs, session, &idle_us);
        if (waited != SANE_STATUS_GOOD) return waited;
        continue;
      }
      case Answer::kFailed:
      case Answer::kRefused:
        return SANE_STATUS_IO_ERROR;
    }
  }
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
