// The whole answer to one eSCL request: the header for a job creation, the
// body otherwise, read through the HTTP layer's decoder whatever its
// framing (chunked, counted by a Content-Length, or ended by the
// connection), so the caller gets the document alone.
#include "payload.h"

#include <string.h>
#include <syslog.h>

#include "../http/http.h"
#include "session.h"

namespace {

constexpr int32_t kHttpOk = 200;
constexpr int32_t kHttpCreated = 201;
// Some devices answer "400 Bad Request" first and the real answer after it
// on the same channel; others send an empty "200 OK" before the real one.
constexpr int kFurtherHeaders = 3;
// A whole text exchange (status, capabilities, job answers) ends in this
// time, however the device paces it.
constexpr int32_t kBodySeconds = 60;

void log_completed(int32_t total, int stat) {
  syslog(LOG_INFO, "bb_escl 898: bb_read_http_payload completed. total=[%d] stat=[%d] \n", total,
         stat);
}

bool counted(const http_handle *h) { return h->chunked == 0 && h->content_length >= 0; }

// Reads the body: what fits in the buffer is kept, the rest (a device whose
// status lists many past jobs) read and dropped up to a limit, so the
// channel stays in step for the next answer.
int read_body(http_handle *h, char *buf, int32_t len, int32_t sectime, int32_t *stored) {
  *stored = 0;
  if (counted(h)) {
    syslog(LOG_INFO, "bb_escl 823: payload_length= (%lld)\n", static_cast<long long>(h->content_length));
    // Known too long before a byte is read.
    if (h->content_length - len > kBodyOverflowLimit) {
      syslog(LOG_ERR, "bb_escl 881: body of %lld bytes refused, the buffer holds %d\n",
             static_cast<long long>(h->content_length), len);
      return HTTP_IO_ERROR;
    }
  }
  if (http_read(h, buf, len, sectime, stored) != HTTP_END) {
    syslog(LOG_INFO, "bb_escl 884: bb_read_http_payload2 error (%d).\n", 1);
    return HTTP_IO_ERROR;
  }
  if (counted(h)) {
    if (h->content_length > len)
      syslog(LOG_ERR, "bb_escl 882: body of %lld bytes cut to the %d bytes of the buffer\n",
             static_cast<long long>(h->content_length), *stored);
  } else {
    syslog(LOG_INFO, "bb_escl 857: bb_read_http_payload1 done (total=%d). \n", *stored);
  }
  return HTTP_OK;
}

// Reads the next header; past "400 Bad Request" answers, whose bodies are
// read by their framing first so the real answer after them is seen whole.
int read_answer_header(http_handle *h, char *buf, int32_t len, int32_t sectime, int32_t *header_len) {
  int ret = http_read_header(h, buf, len, sectime, header_len);
  for (int further = 0; further < kFurtherHeaders && ret == HTTP_OK &&
                        h->http_status == kHttpBadRequestStatus;
       ++further) {
    if (bb_skip_answer_body(h, buf, len, sectime) != HTTP_OK) return HTTP_IO_ERROR;
    ret = http_read_header(h, buf, len, sectime, header_len);
    syslog(LOG_INFO, "bb_escl 793: HTTP 400 Bad Request. Reading again  ret=%d len=%d buf=%s\n",
           ret, *header_len, buf);
  }
  return ret;
}

}  // namespace

int bb_skip_answer_body(http_handle *h, char *buf, int32_t len, int32_t sectime) {
  // A body without framing would be read until the device falls silent,
  // and the real answer after it with it: it is left to the header
  // reader, which passes over lines before a status line.
  if (h->body != HTTP_BODY_CLOSED && http_skip_body(h, kBodyOverflowLimit, sectime) != HTTP_END)
    return HTTP_IO_ERROR;
  memset(buf, 0, static_cast<size_t>(len));
  return HTTP_OK;
}

namespace {

int read_payload(bb_session *session, char *buf, int32_t len, int32_t sectime, int32_t *bytes_read) {
  http_handle *h = session->http;
  int32_t header_len = 0;
  int ret = read_answer_header(h, buf, len, sectime, &header_len);
  if (ret != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 798: http_read_header returned error code(%d) hence exiting..\n",
           ret);
    return 1;
  }

  // A job creation: the caller wants the Location header.
  if (h->http_status == kHttpCreated) {
    *bytes_read = header_len;
    return 0;
  }

  // An empty "200 OK" ahead of the real answer: read the next header, up
  // to three times.  Silence after it is an empty answer; a refusal after
  // it ("503") is a failure, not an empty success.
  for (int further = 0; h->http_status == kHttpOk && h->content_length == 0;) {
    syslog(LOG_ERR, "bb_escl 828: HEADER NOT FOUND. Retrying.\n");
    memset(buf, 0, static_cast<size_t>(len));
    ret = http_read_header(h, buf, len, sectime, &header_len);
    if (ret != HTTP_OK) {
      syslog(LOG_ERR, "bb_escl 833: http_read_header returned error (%d) hence exiting.\n", ret);
      if (h->http_status != 0) return 1;
      *bytes_read = 0;
      memset(buf, 0, static_cast<size_t>(len));
      return 0;
    }
    if (++further == kFurtherHeaders) break;
  }

  // The body is stored from the front of the buffer.
  memset(buf, 0, static_cast<size_t>(header_len < len ? header_len : len));
  int32_t total = 0;
  if (read_body(h, buf, len, sectime, &total) != HTTP_OK) {
    log_completed(total, 1);
    return 1;
  }
  *bytes_read = total;
  log_completed(total, 0);
  return 0;
}

}  // namespace

int bb_read_http_payload(bb_session *session, char *buf, int32_t len, int32_t sectime,
                         int32_t *bytes_read) {
  *bytes_read = 0;
  if (len <= 0 || session == nullptr || session->http == nullptr) {
    syslog(LOG_ERR, "bb_escl 786: bb_read_http_payload without connection or buffer (len=%d)\n",
           len);
    return 1;
  }
  memset(buf, 0, static_cast<size_t>(len));
  syslog(LOG_INFO, "bb_escl 785: bb_read_http_payload entry.\n");
  // A caller's own, shorter, limit for the exchange stays.
  const int64_t outer_deadline = http_narrow_deadline(session->http, kBodySeconds);
  int result = read_payload(session, buf, len, sectime, bytes_read);
  if (session->http != nullptr) session->http->deadline_ms = outer_deadline;
  return result;
}
