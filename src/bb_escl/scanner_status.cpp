// Fetches the ScannerStatus document over its own scan channel.
#include <syslog.h>

#include "bb_escl.h"
#include "export.h"
#include "../http/http.h"
#include "job_control.h"
#include "payload.h"
#include "request.h"
#include "session.h"

namespace {

constexpr int32_t kStatusSectime = 10;

// One status exchange on a fresh channel, closed before returning.
SANE_Status fetch_status(host_session *hs, bb_session *session, char *buf, int32_t len) {
  ChannelGuard channel(&session->http);
  if (http_open(hs->dd, bb::kScanChannel, &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1253: Failed to Open Channel KVCHAN_S_ESCL_SCAN\n");
    return SANE_STATUS_IO_ERROR;
  }
  // A host's cancel also ends an answer the device keeps trickling.
  session->http->cancel = &hs->cancel_requested;
  if (bb::send_request(hs, session->http, "GET", {bb::kScannerStatusPath}, kStatusSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 1258: Unable to write scanner status in http conection\n");
    return SANE_STATUS_IO_ERROR;
  }
  int32_t bytes_read = 0;
  if (bb_read_http_payload(session, buf, len, kStatusSectime, &bytes_read) != 0)
    return SANE_STATUS_IO_ERROR;
  return SANE_STATUS_GOOD;
}

}  // namespace

BB_EXPORT SANE_Status bb_get_scanner_status(host_session *hs, char *buf, int32_t len) {
  syslog(LOG_INFO, "bb_escl 1249: bb_get_scanner_status entry.\n");
  SANE_Status status = SANE_STATUS_IO_ERROR;
  bb_session *session = bb::session_of(hs);
  if (session != nullptr && buf != nullptr && len > 1) {
    // A status query may come while a page's channel is open (the host
    // looks at the feeder between chunks): that channel is set aside for the
    // exchange and handed back untouched.
    http_handle *held = session->http;
    session->http = nullptr;
    // The last byte stays a NUL, so readers of the document never pass the
    // end of the caller's buffer, however long the device's answer.
    status = fetch_status(hs, session, buf, len - 1);
    buf[len - 1] = '\0';
    session->http = held;
  }
  syslog(LOG_INFO, "bb_escl 1273: bb_get_scanner_status returning (%d)\n", status);
  return status;
}
