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
#include "../http/limits.h"
#include "payload.h"
#include "request.h"
#include "session.h"
#include "../http/text.h"

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

// Answers to the document request that say "no page for you now": the end
// of the job, or only a device not ready to say more.  Brother devices
// answer 404 right after a page while they draw in the next sheet, Xerox
// B205/B215 answer 404 or 410 to the first requests of a job still
// scanning, and a server answers 409 after the last sheet.
constexpr int32_t kHttpConflictStatus = 409;
constexpr int32_t kHttpGoneStatus = 410;
// Such an answer is taken as the end only when the status confirms it;
// until then the request is repeated after these growing pauses (the
// last repeats).
constexpr useconds_t kNoPagePausesUs[] = {300000, 450000, 700000, 1000000, 1500000, 2000000};
constexpr size_t kNoPagePauses = sizeof kNoPagePausesUs / sizeof kNoPagePausesUs[0];
// A device pulls a sheet in or warms up within seconds; one that keeps
// saying "no page" while its job runs for longer than this will not send
// one, and the job is given up.
constexpr unsigned long long kNoPageLimitUs = 10ULL * 1000000ULL;

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
  if (bb::send_request(hs, session->http, "GET", {bb::kScannerStatusPath}, kPollWriteSectime) !=
      HTTP_OK) {
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

// The document request's refusals that may mean the end of the job.
bool no_page_answer(int32_t http_status) {
  return http_status == kHttpNotFoundStatus || http_status == kHttpConflictStatus ||
         http_status == kHttpGoneStatus;
}

// Requests the next document on a fresh channel in session->http and reads
// the answer's header; the body (the page) stays unread on the channel.
// DEVICE_BUSY for "503 Service Unavailable", NO_DOCS for the answers that
// may mean the end of the job; *http_status is the answer's status.
SANE_Status request_document(host_session *hs, bb_session *session, int32_t *bytes_read,
                             int32_t *http_status) {
  memset(hs->page_content_type, 0, sizeof hs->page_content_type);
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1578: Unable to open http connection\n");
    return SANE_STATUS_IO_ERROR;
  }
  session->http->cancel = &hs->cancel_requested;
  // After the last sheet of a feeder the device says "no more" with a 404:
  // the batch's normal end.
  session->http->quiet_status = kHttpNotFoundStatus;
  if (bb::send_request(hs, session->http, "GET",
                       {bb::kJobPathPrefix, bb::job_id_text(hs), bb::kNextDocument},
                       kDocumentWriteSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1586: Unable to write get scan job request\n");
    return SANE_STATUS_IO_ERROR;
  }
  char buf[bb::kStatusBufferSize + 1] = {};
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
  // The header reader refuses 404, 409, 410 and 503 but keeps their status.
  *http_status = session->http->http_status;
  if (no_page_answer(*http_status)) return SANE_STATUS_NO_DOCS;
  if (*http_status == kHttpServiceUnavailableStatus) return SANE_STATUS_DEVICE_BUSY;
  if (ret != HTTP_OK) return SANE_STATUS_IO_ERROR;
  // The host decodes the page by its media type.
  bb::copy_bounded(hs->page_content_type, sizeof hs->page_content_type,
                   bb::buffer_text(session->http->content_type, sizeof session->http->content_type));
  return SANE_STATUS_GOOD;
}

// The next document of the job; the channel stays open on GOOD only.
SANE_Status get_scanjob(host_session *hs, bb_session *session, int32_t *http_status) {
  syslog(LOG_INFO, "bb_escl 1575: bb_get_scanjob..\n");
  int32_t bytes_read = 0;
  ChannelGuard channel(&session->http);
  channel.close();  // a page channel the host left open
  SANE_Status status = request_document(hs, session, &bytes_read, http_status);
  syslog(LOG_INFO, "bb_escl 1615: bb_get_scanjob stat=[%d] bytes_read=[%d].\n", status,
         bytes_read);
  // The page's image data is read from this channel by bb_get_image_data.
  if (status == SANE_STATUS_GOOD) channel.release();
  return status;
}

// What a "no page" answer to the document request turns out to mean.
enum class NoPage {
  kEnd,      // the device confirms the job has no further page
  kAgain,    // the job still runs: ask again after a pause
  kNextJob,  // the job ended with sheets left in the feeder
  kStopped,  // the feeder jammed or its cover opened
};

// Whether the job has delivered the pages of one sheet and no more: the
// page now asked for is counted already.
bool one_sheet_delivered(const host_session *hs) {
  const int32_t delivered = hs->job_page_count - 1;
  const int32_t sheet_pages = hs->current_source == BB_SOURCE_DUPLEX ? 2 : 1;
  return delivered >= 1 && delivered <= sheet_pages;
}

// Judges a "no page" answer on a status document: the poll's own when it
// already showed the job ended (a final state does not change), else one
// fetched now.  *job_state is the job's state in it; *stop the status for
// kStopped.
NoPage judge_no_page(host_session *hs, bb_session *session, int32_t http_status,
                     int *job_state, SANE_Status *stop) {
  if (!bb::job_state_final(*job_state) && *job_state != BB_JOB_NOT_FOUND) {
    int32_t bytes_read = 0;
    SANE_Status fetched = fetch_poll_status(hs, session, &bytes_read);
    ChannelGuard(&session->http).close();
    if (fetched != SANE_STATUS_GOOD) {
      // Unconfirmed, but the device did say it has no page.
      syslog(LOG_INFO, "bb_escl 1731: bb_start_scan no page (%d) and no status to confirm the end\n",
             http_status);
      return NoPage::kEnd;
    }
  }
  std::string_view doc = bb::buffer_text(session->status_doc, sizeof session->status_doc);
  *job_state = bb::read_job_state(hs, doc);
  session->job_ended = bb::job_state_final(*job_state) ? 1 : 0;
  if (!bb::feeder_source(hs->current_source))
    return *job_state == BB_JOB_PROCESSING ? NoPage::kAgain : NoPage::kEnd;

  SANE_Status adf = bb::read_adf_state(doc);
  if (adf == SANE_STATUS_JAMMED || adf == SANE_STATUS_COVER_OPEN) {
    hs->scan_interrupted = 1;
    syslog(LOG_INFO, "bb_escl 1686: ADF is in error state (%d), hence Exiting.....\n", adf);
    *stop = adf;
    return NoPage::kStopped;
  }
  // Some Ricoh devices end a feeder job after each sheet: the rest of the
  // batch needs jobs of its own.  Only a job that ended after its first
  // sheet is taken so; one that delivered more was the whole batch, and a
  // feeder reading loaded after it was filled again.
  if (*job_state == BB_JOB_COMPLETED && adf == SANE_STATUS_GOOD && one_sheet_delivered(hs))
    return NoPage::kNextJob;
  if (bb::job_state_final(*job_state) || *job_state == BB_JOB_NOT_FOUND) return NoPage::kEnd;
  // A job that has stopped scanning (or a scanner gone idle under a job it
  // leaves "Processing") with the feeder empty has no sheet left.
  const bool stopped = *job_state != BB_JOB_PROCESSING || bb::scanner_idle(doc);
  if (stopped && adf == SANE_STATUS_NO_DOCS) return NoPage::kEnd;
  return NoPage::kAgain;
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
  int job_state = BB_JOB_NOT_FOUND;
  bool poll = true;
  bool new_job_made = false;
  size_t no_pages = 0;  // "no page" answers in a row
  unsigned long long no_page_slept_us = 0;
  for (;;) {
    if (poll) {
      SANE_Status polled = poll_until_ready(hs, session, &budget, &job_state);
      if (polled != SANE_STATUS_GOOD) return polled;
      syslog(LOG_INFO, "bb_escl 1728: JOBSTATE [%d].\n", job_state);
    }
    poll = true;
    ChannelGuard(&session->http).close();
    // The document always comes over a fresh scan channel, whichever channel
    // carried the poll.
    int32_t http_status = 0;
    SANE_Status document = get_scanjob(hs, session, &http_status);
    if (document == SANE_STATUS_DEVICE_BUSY) {
      // "503 Service Unavailable": the page is not ready yet.
      SANE_Status waited = pause_within(hs, &budget, kPollSleepUs);
      if (waited != SANE_STATUS_GOOD) return waited;
      continue;
    }
    if (document != SANE_STATUS_NO_DOCS) return document;
    // A 409 to a platen or camera job is no announced end.
    if (http_status == kHttpConflictStatus && !bb::feeder_source(hs->current_source))
      return SANE_STATUS_IO_ERROR;

    SANE_Status stop = SANE_STATUS_GOOD;
    switch (judge_no_page(hs, session, http_status, &job_state, &stop)) {
      case NoPage::kStopped:
        return stop;
      case NoPage::kEnd:
        syslog(LOG_INFO, "bb_escl 1732: bb_start_scan no further page (%d, job state %d)\n",
               http_status, job_state);
        return SANE_STATUS_NO_DOCS;
      case NoPage::kNextJob: {
        if (new_job_made) return SANE_STATUS_NO_DOCS;  // a new job with no page: done
        new_job_made = true;
        syslog(LOG_INFO,
               "bb_escl 1736: bb_start_scan job ended with the feeder loaded, a new job for the "
               "next sheet\n");
        memset(hs->job_id, 0, sizeof hs->job_id);
        session->job_ended = 0;
        SANE_Status posted = bb_post_scanjob(hs);
        if (posted != SANE_STATUS_GOOD) return posted;
        no_pages = 0;
        no_page_slept_us = 0;
        break;
      }
      case NoPage::kAgain: {
        useconds_t pause = kNoPagePausesUs[no_pages < kNoPagePauses ? no_pages : kNoPagePauses - 1];
        ++no_pages;
        no_page_slept_us += pause;
        if (no_page_slept_us > kNoPageLimitUs) {
          syslog(LOG_ERR,
                 "bb_escl 1736: bb_start_scan the device still has no page (%d) after %llu s "
                 "while its job runs, giving up\n",
                 http_status, kNoPageLimitUs / 1000000ULL);
          return SANE_STATUS_IO_ERROR;
        }
        syslog(LOG_INFO,
               "bb_escl 1734: bb_start_scan no page yet (%d) while the job runs, asking again in "
               "%u ms\n",
               http_status, static_cast<unsigned>(pause / 1000));
        SANE_Status waited = pause_within(hs, &budget, pause);
        if (waited != SANE_STATUS_GOOD) return waited;
        poll = false;
        break;
      }
    }
  }
}

}  // namespace

BB_EXPORT SANE_Status bb_get_scanjob(host_session *hs) {
  bb_session *session = bb::session_of(hs);
  if (session == nullptr) {
    syslog(LOG_INFO, "bb_escl 1575: bb_get_scanjob..\n");
    syslog(LOG_INFO, "bb_escl 1615: bb_get_scanjob stat=[%d] bytes_read=[%d].\n",
           SANE_STATUS_IO_ERROR, 0);
    return SANE_STATUS_IO_ERROR;
  }
  int32_t http_status = 0;
  SANE_Status status = get_scanjob(hs, session, &http_status);
  // A 409 ends only a feeder's batch.
  if (status == SANE_STATUS_NO_DOCS && http_status == kHttpConflictStatus &&
      !bb::feeder_source(hs->current_source))
    return SANE_STATUS_IO_ERROR;
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
