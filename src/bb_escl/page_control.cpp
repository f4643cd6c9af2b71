// Between and after pages: whether a further page can be started, and the
// end of a page and of a scan.
#include <string.h>
#include <syslog.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "../http/limits.h"
#include "session.h"
#include "../http/text.h"

namespace {


// Whether the next page may be started, judged on one status document.
SANE_Status continue_decision(const host_session *hs, std::string_view doc) {
  if (bb::job_id_text(hs).empty()) {
    // No job yet: wait for a scanner someone else is using.
    if (!bb::scanner_idle(doc)) return SANE_STATUS_DEVICE_BUSY;
    return bb::feeder_source(hs->current_source) ? bb::read_adf_state(doc) : SANE_STATUS_GOOD;
  }
  // Platen and camera jobs have their one page; nothing to wait for.
  if (!bb::feeder_source(hs->current_source)) return SANE_STATUS_GOOD;

  SANE_Status adf = bb::read_adf_state(doc);
  if (adf != SANE_STATUS_DEVICE_BUSY && adf != SANE_STATUS_NO_DOCS) return adf;
  // The feeder reads empty once the last sheet is drawn in, while the job
  // may still have pages to hand over: a live job lets the host go on, and
  // its document request ends the scan with a 404 when nothing is left.
  int job_state = bb::read_job_state(hs, doc);
  if (bb_session *session = bb::session_of(hs)) session->job_ended = bb::job_state_final(job_state);
  int32_t images = bb::read_images_to_transfer(hs, doc);
  syslog(LOG_INFO,
         "bb_escl 1481: bb_check_scanner_to_continue JobState =[%d] ImagesToTransfer=[%d]..\n",
         job_state, images);
  if (job_state == BB_JOB_COMPLETED || job_state == BB_JOB_PENDING ||
      job_state == BB_JOB_PROCESSING)
    return SANE_STATUS_GOOD;
  return adf;
}

void close_page_channel(host_session *hs) {
  bb_session *session = bb::session_of(hs);
  if (session == nullptr) return;
  ChannelGuard(&session->http).close();
}

}  // namespace

BB_EXPORT SANE_Status bb_check_scanner_to_continue(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1453: bb_check_scanner_to_continue entry\n");
  bb_session *session = bb::session_of(hs);
  SANE_Status status = SANE_STATUS_IO_ERROR;
  if (session != nullptr) {
    session->status_fresh = 0;
    status = bb_get_scanner_status(hs, session->status_doc, sizeof session->status_doc);
  }
  if (status == SANE_STATUS_GOOD) {
    std::string_view doc = bb::buffer_text(session->status_doc, sizeof session->status_doc);
    status = continue_decision(hs, doc);
    // The next page's start reads this document instead of asking again.
    bb::copy_bounded(session->status_job_id, sizeof session->status_job_id, bb::job_id_text(hs));
    session->status_fresh = bb::job_id_text(hs).empty() ? 0 : 1;
  }
  syslog(LOG_INFO, "bb_escl 1491: bb_check_scanner_to_continue returning with (%d).\n", status);
  return status;
}

BB_EXPORT int bb_end_page(host_session *hs, int32_t error) {
  syslog(LOG_INFO, "bb_escl 1822: bb_end_page(error=%d)\n", error);
  close_page_channel(hs);
  return 0;
}

BB_EXPORT int bb_end_scan(host_session *hs, int32_t cancel) {
  syslog(LOG_INFO, "bb_escl 1836: bb_end_scan(cancel_job=%d)\n", cancel);
  if (hs == nullptr) return 0;
  close_page_channel(hs);
  if (cancel != 0) bb_cancel_job(hs);
  // The job is forgotten whatever the cancel did: the next start creates a
  // new one.
  memset(hs->job_id, 0, sizeof hs->job_id);
  hs->job_page_count = 0;
  return 0;
}
