// Deletes a job on the scanner when a scan is given up: a job the device
// stopped (feeder jam, open cover) or one still waiting for its pages would
// otherwise stay, and many devices refuse new jobs until it is deleted.
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "job_control.h"
#include "../http/limits.h"
#include "payload.h"
#include "request.h"
#include "session.h"
#include "../http/text.h"

namespace {

constexpr int32_t kStatusSectime = 5;
constexpr int32_t kDeleteWriteSectime = 1;
constexpr int32_t kDeleteAnswerSectime = 5;
// A scan given up must end soon whatever the device does: its status
// check and its DELETE each have this long in all, a trickling answer
// included.
constexpr int32_t kCancelExchangeSeconds = 5;

// The web-services channel first: it stays usable while the scan channel
// is tied up by the stopped job.
bool open_cancel_channel(const host_session *hs, bb_session *session) {
  if (http_open(hs->dd, bb::kWebServicesChannel, &session->http) == HTTP_OK) return true;
  syslog(LOG_INFO, "bb_escl 960: Failed to Open Channel ff/4/1. Trying for Channel ff/cc/0\n");
  return http_open(hs->dd, bb::kScanChannel, &session->http) == HTTP_OK;
}

// Asks the status on the open channel; true with *job_state set when it
// came.  The long status buffer of the session serves: the job may be
// listed after dozens of others.
bool read_cancel_status(host_session *hs, bb_session *session, int *job_state) {
  if (bb::send_request(hs, session->http, "GET", {bb::kScannerStatusPath}, kStatusSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 967: Unable to write scanner status\n");
    return false;
  }
  int32_t bytes_read = 0;
  if (bb_read_http_payload(session, session->status_doc, bb::kLongStatusBufferSize,
                           kStatusSectime, &bytes_read) != 0)
    return false;
  syslog(LOG_INFO, "bb_escl 973: bb_cancel_job GET_ESCL_SCANNER_STATUS ret=%d bytes_read=%d \n", 0,
         bytes_read);
  *job_state =
      bb::read_job_state(hs, bb::buffer_text(session->status_doc, sizeof session->status_doc));
  return true;
}

// Sends the DELETE on the open channel and reads its answer's header.
void send_delete(host_session *hs, bb_session *session) {
  char buf[bb::kStatusBufferSize + 1] = {};
  if (bb::send_request(hs, session->http, "DELETE", {bb::kJobPathPrefix, bb::job_id_text(hs)},
                       kDeleteWriteSectime) != HTTP_OK) {
    std::string_view url = bb::buffer_text(hs->job_url, sizeof hs->job_url);
    syslog(LOG_ERR, "bb_escl 988: unable to cancel_job %.*s\n", static_cast<int>(url.size()),
           url.data());
  }
  // The answer is read so the device sees it taken, and only logged.
  memset(buf, 0, sizeof buf);
  int32_t answer_len = 0;
  http_read_header(session->http, buf, bb::kStatusBufferSize, kDeleteAnswerSectime, &answer_len);
  syslog(LOG_INFO, "bb_escl 993: bb_cancel_job len=%d buf=%s\n", answer_len, buf);
}

// Deletes the job unless the device reports it ended.  A job Pending on an
// idle scanner is live too: it waits for its document request.  When the
// status cannot be read the job is deleted all the same, on a new channel.
int cancel_exchange(host_session *hs, bb_session *session) {
  if (!open_cancel_channel(hs, session)) return 1;
  http_set_deadline(session->http, kCancelExchangeSeconds);
  int job_state = BB_JOB_NOT_FOUND;
  if (read_cancel_status(hs, session, &job_state)) {
    if (bb::job_state_final(job_state)) {
      syslog(LOG_INFO, "bb_escl 979: bb_cancel_job Exiting as no job running.\n");
      return 0;
    }
  } else {
    ChannelGuard(&session->http).close();
    if (!open_cancel_channel(hs, session)) return 1;
  }
  http_set_deadline(session->http, kCancelExchangeSeconds);
  send_delete(hs, session);
  return 0;
}

}  // namespace

int bb_cancel_job(host_session *hs) {
  std::string_view id = bb::job_id_text(hs);
  std::string_view url = bb::buffer_text(hs->job_url, sizeof hs->job_url);
  syslog(LOG_INFO, "bb_escl 952: bb_cancel_job entry. job_id=[%.*s] url=[%.*s]\n",
         static_cast<int>(id.size()), id.data(), static_cast<int>(url.size()), url.data());
  bb_session *session = bb::session_of(hs);
  // Nothing to delete: no job, or one the device already reported ended.
  if (id.empty() || session == nullptr || session->job_ended != 0) return 0;
  int result = 1;
  {
    ChannelGuard channel(&session->http);
    channel.close();
    result = cancel_exchange(hs, session);
  }
  syslog(LOG_INFO, "bb_escl 1004: bb_cancel_job returning with status = [%d].\n", result);
  return result;
}
