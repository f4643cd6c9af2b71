// Deletes a job on the scanner.  Only a job the device stopped (feeder jam,
// open cover, cancelled or aborted) is deleted, and only while the scanner
// still holds it: such devices keep the job and refuse new ones until it is
// deleted.
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "job_control.h"
#include "limits.h"
#include "payload.h"
#include "session.h"
#include "text.h"

namespace {

constexpr int32_t kStatusSectime = 5;
constexpr int32_t kDeleteWriteSectime = 1;
constexpr int32_t kDeleteAnswerSectime = 5;

// The web-services channel first: it stays usable while the scan channel
// is tied up by the stopped job.
bool open_cancel_channel(const host_session *hs, bb_session *session) {
  if (http_open(hs->dd, bb::kWebServicesChannel, &session->http) == HTTP_OK) return true;
  syslog(LOG_INFO, "bb_escl 960: Failed to Open Channel ff/4/1. Trying for Channel ff/cc/0\n");
  return http_open(hs->dd, bb::kScanChannel, &session->http) == HTTP_OK;
}

// Reads the status and sends the DELETE on the same channel when the job
// is still live on a busy scanner.
int cancel_exchange(host_session *hs, bb_session *session) {
  if (!open_cancel_channel(hs, session)) return 1;
  if (http_write(session->http, bb::kScannerStatusRequest, bb::kScannerStatusRequestSize,
                 kStatusSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 967: Unable to write scanner status\n");
    return 1;
  }
  char buf[bb::kStatusBufferSize + 1] = {};
  int32_t bytes_read = 0;
  if (bb_read_http_payload(session, buf, bb::kStatusBufferSize, kStatusSectime, &bytes_read) != 0)
    return 1;
  syslog(LOG_INFO, "bb_escl 973: bb_cancel_job GET_ESCL_SCANNER_STATUS ret=%d bytes_read=%d \n", 0,
         bytes_read);

  std::string_view doc = bb::buffer_text(buf, bb::kStatusBufferSize);
  int job_state = bb::read_job_state(hs, doc);
  if (job_state == BB_JOB_CANCELED || job_state == BB_JOB_ABORTED ||
      job_state == BB_JOB_COMPLETED || bb::scanner_idle(doc)) {
    syslog(LOG_INFO, "bb_escl 979: bb_cancel_job Exiting as no job running.\n");
    return 0;
  }

  memset(buf, 0, sizeof buf);
  std::string_view id = bb::job_id_text(hs);
  int len = snprintf(buf, bb::kStatusBufferSize, "DELETE /eSCL/ScanJobs/%.*s HTTP/1.1\r\nHost: \r\n\r\n",
                     static_cast<int>(id.size()), id.data());
  if (http_write(session->http, buf, len, kDeleteWriteSectime) != HTTP_OK) {
    std::string_view url = bb::buffer_text(hs->job_url, sizeof hs->job_url);
    syslog(LOG_ERR, "bb_escl 988: unable to cancel_job %.*s\n", static_cast<int>(url.size()),
           url.data());
  }
  // The answer is read so the device sees it taken, and only logged.
  memset(buf, 0, sizeof buf);
  int32_t answer_len = 0;
  http_read_header(session->http, buf, bb::kStatusBufferSize, kDeleteAnswerSectime, &answer_len);
  syslog(LOG_INFO, "bb_escl 993: bb_cancel_job len=%d buf=%s\n", answer_len, buf);
  return 0;
}

}  // namespace

int bb_cancel_job(host_session *hs) {
  std::string_view id = bb::job_id_text(hs);
  std::string_view url = bb::buffer_text(hs->job_url, sizeof hs->job_url);
  syslog(LOG_INFO, "bb_escl 952: bb_cancel_job entry. job_id=[%.*s] url=[%.*s]\n",
         static_cast<int>(id.size()), id.data(), static_cast<int>(url.size()), url.data());
  // Only a job the device stopped needs deleting; one that ended normally
  // is gone on its own.
  if (id.empty() || hs->scan_interrupted == 0) return 0;
  bb_session *session = bb::session_of(hs);
  int result = 1;
  if (session != nullptr) {
    ChannelGuard channel(&session->http);
    channel.close();
    result = cancel_exchange(hs, session);
  }
  syslog(LOG_INFO, "bb_escl 1004: bb_cancel_job returning with status = [%d].\n", result);
  return result;
}
