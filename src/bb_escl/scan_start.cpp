// Starts a page: creates the job (first page) or continues it (further
// feeder pages), polls the scanner status on one channel until the job can
// deliver a page, then requests the job's next document on a fresh scan
// channel that stays open, positioned at the page's image data.
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "limits.h"
#include "payload.h"
#include "session.h"
#include "text.h"

namespace {

constexpr int32_t kPollWriteSectime = 5;
constexpr int32_t kPollReadSectime = 1;
constexpr useconds_t kPollSleepUs = 500000;
// Devices list a new job with a delay: a job missing from the status is
// looked for again, briefly, before its document is asked for anyway.
constexpr useconds_t kNotListedSleepUs = 100000;
constexpr int kNotListedRepolls = 20;
// A job that never becomes ready (a device stuck in Pending, a document
// answered "503" for ever) ends the wait after this much sleeping; the
// sleeps are counted, no clock is read.
constexpr unsigned long long kPollLimitUs = 300ULL * 1000000ULL;

constexpr int32_t kDocumentWriteSectime = 1;
constexpr int32_t kDocumentHeaderSectime = 5;
// Some devices answer "400 Bad Request" before the real answer on the
// same channel; a few such answers are read past.
constexpr int kBadRequestRereads = 3;

// What the waits of one page start have used up, across status polls and
// document requests answered "not ready yet".
struct WaitBudget {
  unsigned long long slept_us = 0;
  int not_listed = 0;
};

SANE_Status cancelled() {
  syslog(LOG_INFO, "bb_escl 1712: bb_start_scan cancelled by the host\n");
  return SANE_STATUS_CANCELLED;
}

// Sleeps within the page start's budget.  IO_ERROR once the budget is
// spent, CANCELLED when the host asked for a cancel, else GOOD.
SANE_Status pause_within(const host_session *hs, WaitBudget *budget, useconds_t us) {
  if (!bb::wait_unless_cancelled(hs, us)) return cancelled();
  budget->slept_us += us;
  if (budget->slept_us >= kPollLimitUs) {
    syslog(LOG_ERR, "bb_escl 1745: bb_start_scan job not ready after %llu seconds, giving up\n",
           budget->slept_us / 1000000ULL);
    return SANE_STATUS_IO_ERROR;
  }
  return SANE_STATUS_GOOD;
}

// Opens the status channel: the scan channel, or the web-services channel
// on devices that keep the scan channel busy.
bool open_status_channel(const host_session *hs, bb_session *session) {
  bool opened = http_open(hs->dd, bb::kScanChannel, &session->http) == HTTP_OK;
  if (!opened) {
    syslog(LOG_INFO, "bb_escl 1655: Failed to Open Channel ff/cc/0. Trying for Channel ff/4/1\n");
    opened = http_open(hs->dd, bb::kWebServicesChannel, &session->http) == HTTP_OK;
  }
  // A host's cancel also ends a read the device keeps waiting.
  if (opened) session->http->cancel = &hs->cancel_requested;
  return opened;
}

// One status exchange on the status channel (opened on first use) into the
// session's status buffer.
SANE_Status fetch_poll_status(const host_session *hs, bb_session *session, int32_t *bytes_read) {
  if (session->http == nullptr && !open_status_channel(hs, session)) return SANE_STATUS_IO_ERROR;
  syslog(LOG_INFO, "bb_escl 1663: writing get scanner status request.\n");
  if (http_write(session->http, bb::kScannerStatusRequest, bb::kScannerStatusRequestSize,
                 kPollWriteSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1667: Unable to write scanner status to http conection\n");
    return SANE_STATUS_IO_ERROR;
  }
  if (bb_read_http_payload(session, session->status_doc, bb::kLongStatusBufferSize,
                           kPollReadSectime, bytes_read) != 0)
    return SANE_STATUS_IO_ERROR;
  return SANE_STATUS_GOOD;
}

// The status document bb_check_scanner_to_continue fetched for this job
// just before, if there is one: it stands for the poll's first answer.
bool take_fresh_status(const host_session *hs, bb_session *session, int32_t *bytes_read) {
  const bool fresh = session->status_fresh != 0 &&
                     bb::buffer_text(session->status_job_id, sizeof session->status_job_id) ==
                         bb::job_id_text(hs);
  session->status_fresh = 0;
  if (!fresh) return false;
  *bytes_read = static_cast<int32_t>(strnlen(session->status_doc, sizeof session->status_doc));
  return true;
}

// Polls the status until the job is ready for its document request.  GOOD
// with *job_state set when it is; otherwise the reason to stop.  The status
// channel is left in session->http for the caller to close.
SANE_Status poll_until_ready(host_session *hs, bb_session *session, WaitBudget *budget,
                             int *job_state) {
  for (bool first = true;; first = false) {
    if (bb::cancel_asked(hs)) return cancelled();
    int32_t bytes_read = 0;
    if (!(first && take_fresh_status(hs, session, &bytes_read))) {
      SANE_Status fetched = fetch_poll_status(hs, session, &bytes_read);
      if (fetched != SANE_STATUS_GOOD) return fetched;
    }
    std::string_view doc = bb::buffer_text(session->status_doc, sizeof session->status_doc);

    if (bb::feeder_source(hs->current_source)) {
      SANE_Status adf = bb::read_adf_state(doc);
      if (adf == SANE_STATUS_JAMMED || adf == SANE_STATUS_COVER_OPEN) {
        hs->scan_interrupted = 1;
        syslog(LOG_INFO, "bb_escl 1686: ADF is in error state (%d), hence Exiting.....\n", adf);
        return adf;
      }
    }

    useconds_t pause = kPollSleepUs;
    if (bytes_read <= 0) {
      // An empty answer (Content-Length: 0): the device had nothing to say yet.
      syslog(LOG_INFO, "bb_escl 1723: JOBSTATE_CONITNUE************\n");
    } else {
      int code = bb::read_job_state(hs, doc);
      session->job_ended = bb::job_state_final(code) ? 1 : 0;
      syslog(LOG_INFO, "bb_escl 1697: jobstate =[%d] version=[%d]\n", code, session->escl_version);
      switch (code) {
        case BB_JOB_NOT_FOUND:
          if (budget->not_listed == kNotListedRepolls) {
            if (!bb::wait_unless_cancelled(hs, kNotListedSleepUs)) return cancelled();
            *job_state = code;
            return SANE_STATUS_GOOD;
          }
          ++budget->not_listed;
          syslog(LOG_INFO, "bb_escl 1701: bb_start_scan job not listed yet, polling again (%d)\n",
                 budget->not_listed);
          pause = kNotListedSleepUs;
          break;
        case BB_JOB_CANCELED:
        case BB_JOB_ABORTED:
          hs->scan_interrupted = 1;
          syslog(LOG_INFO, "bb_escl 1710: SANE_STATUS_CANCELLED hence Exiting....\n");
          return SANE_STATUS_CANCELLED;
        case BB_JOB_COMPLETED:
        case BB_JOB_PROCESSING:
          syslog(LOG_INFO, "bb_escl 1718: SANE_STATUS_COMPLETED or SANE_STATUS_PROCESSING.\n");
          *job_state = code;
          return SANE_STATUS_GOOD;
        default:  // Pending
          // A job that has delivered a page and is Pending again waits for
          // its next document to be asked for: some servers scan the next
          // sheet only then, whatever their scanner state says.  Other
          // devices start even the first page only on that request: pending
          // on an idle scanner waits for us, not for paper.
          if (hs->job_page_count > 1 || bb::scanner_idle(doc)) {
            syslog(LOG_INFO,
                   "bb_escl 1725: bb_start_scan job pending, requesting the document\n");
            *job_state = code;
            return SANE_STATUS_GOOD;
          }
          syslog(LOG_INFO, "bb_escl 1723: JOBSTATE_CONITNUE************\n");
          break;
      }
    }
    SANE_Status waited = pause_within(hs, budget, pause);
    if (waited != SANE_STATUS_GOOD) return waited;
  }
}

SANE_Status start_scan(host_session *hs, bb_session *session) {
  if (bb::cancel_asked(hs)) return cancelled();
  if (bb::job_id_text(hs).empty()) {
    session->job_ended = 0;
    SANE_Status posted = bb_post_scanjob(hs);
    if (posted != SANE_STATUS_GOOD) return posted;
  } else if (!bb::feeder_source(hs->current_source)) {
    // Platen and camera jobs deliver one page; a second start before the
    // scan ended is a host error.
    return SANE_STATUS_IO_ERROR;
  } else {
    ++hs->job_page_count;
  }

  WaitBudget budget;
  for (;;) {
    int job_state = BB_JOB_NOT_FOUND;
    SANE_Status polled = poll_until_ready(hs, session, &budget, &job_state);
    if (polled != SANE_STATUS_GOOD) return polled;

    syslog(LOG_INFO, "bb_escl 1728: JOBSTATE [%d].\n", job_state);
    ChannelGuard(&session->http).close();
    // The document always comes over a fresh scan channel, whichever channel
    // carried the poll.
    SANE_Status document = bb_get_scanjob(hs);
    if (document != SANE_STATUS_DEVICE_BUSY) return document;
    // "503 Service Unavailable": the page is not ready yet.
    SANE_Status waited = pause_within(hs, &budget, kPollSleepUs);
    if (waited != SANE_STATUS_GOOD) return waited;
  }
}

// Requests the next document on a fresh channel in session->http and reads
// the answer's header; the body (the page) stays unread on the channel.
// DEVICE_BUSY for "503 Service Unavailable".
SANE_Status request_document(host_session *hs, bb_session *session, int32_t *bytes_read) {
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1578: Unable to open http connection\n");
    return SANE_STATUS_IO_ERROR;
  }
  session->http->cancel = &hs->cancel_requested;
  char buf[bb::kStatusBufferSize + 1] = {};
  std::string_view id = bb::job_id_text(hs);
  int len = snprintf(buf, bb::kStatusBufferSize,
                     "GET /eSCL/ScanJobs/%.*s/NextDocument HTTP/1.1\r\nHost: \r\n\r\n",
                     static_cast<int>(id.size()), id.data());
  if (http_write(session->http, buf, len, kDocumentWriteSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1586: Unable to write get scan job request\n");
    return SANE_STATUS_IO_ERROR;
  }
  memset(buf, 0, sizeof buf);
  int ret = http_read_header(session->http, buf, bb::kStatusBufferSize, kDocumentHeaderSectime,
                             bytes_read);
  for (int i = 0; ret == HTTP_OK && session->http->http_status == kHttpBadRequestStatus; ++i) {
    if (i == kBadRequestRereads || bb::cancel_asked(hs)) {
      syslog(LOG_ERR, "bb_escl 1598: bb_get_scanjob still refused after %d re-reads\n", i);
      return bb::cancel_asked(hs) ? SANE_STATUS_CANCELLED : SANE_STATUS_IO_ERROR;
    }
    // Its body first: the real answer starts after it.
    if (bb_skip_answer_body(session->http, buf, bb::kStatusBufferSize, kDocumentHeaderSectime) != HTTP_OK)
      return SANE_STATUS_IO_ERROR;
    ret = http_read_header(session->http, buf, bb::kStatusBufferSize, kDocumentHeaderSectime,
                           bytes_read);
    syslog(LOG_INFO, "bb_escl 1596: bb_get_scanjob read_header 2 ret=%d bytes_read=%d \n", ret,
           *bytes_read);
  }
  // The header reader refuses 404 and 503 but keeps their status.
  if (session->http->http_status == kHttpNotFoundStatus) return SANE_STATUS_NO_DOCS;
  if (session->http->http_status == kHttpServiceUnavailableStatus) return SANE_STATUS_DEVICE_BUSY;
  if (ret != HTTP_OK) return SANE_STATUS_IO_ERROR;
  return SANE_STATUS_GOOD;
}

}  // namespace

BB_EXPORT SANE_Status bb_get_scanjob(host_session *hs) {
  syslog(LOG_ERR, "bb_escl 1575: bb_get_scanjob..\n");
  bb_session *session = bb::session_of(hs);
  int32_t bytes_read = 0;
  if (session == nullptr) {
    syslog(LOG_INFO, "bb_escl 1615: bb_get_scanjob stat=[%d] bytes_read=[%d].\n",
           SANE_STATUS_IO_ERROR, bytes_read);
    return SANE_STATUS_IO_ERROR;
  }
  ChannelGuard channel(&session->http);
  channel.close();  // a page channel the host left open
  SANE_Status status = request_document(hs, session, &bytes_read);
  syslog(LOG_INFO, "bb_escl 1615: bb_get_scanjob stat=[%d] bytes_read=[%d].\n", status,
         bytes_read);
  if (status == SANE_STATUS_GOOD) {
    // The page's image data is read from this channel by bb_get_image_data;
    // a page counted by its Content-Length is read in pieces of it.
    http_handle *h = session->http;
    session->page_counted = h->chunked == 0 && h->content_length >= 0 ? 1 : 0;
    session->image_chunk_left =
        session->page_counted ? static_cast<int32_t>(h->content_length > INT32_MAX ? INT32_MAX : h->content_length) : 0;
    channel.release();
  }
  return status;
}

BB_EXPORT SANE_Status bb_start_scan(host_session *hs) {
  bb_session *session = bb::session_of(hs);
  if (hs == nullptr) return SANE_STATUS_IO_ERROR;
  std::string_view id = bb::job_id_text(hs);
  syslog(LOG_INFO, "bb_escl 1633: bb_start_scan entry. job_id=%.*s,  input_src[%d]\n",
         static_cast<int>(id.size()), id.data(), hs->current_source);
  hs->scan_interrupted = 0;
  SANE_Status status = SANE_STATUS_IO_ERROR;
  if (session != nullptr) {
    ChannelGuard channel(&session->http);
    channel.close();  // a page channel the host left open
    status = start_scan(hs, session);
    syslog(LOG_INFO, "bb_escl 1742: bb_start_scan returning with status ret = (%d)\n", status);
    if (status == SANE_STATUS_GOOD) channel.release();
    return status;
  }
  syslog(LOG_INFO, "bb_escl 1742: bb_start_scan returning with status ret = (%d)\n", status);
  return status;
}
