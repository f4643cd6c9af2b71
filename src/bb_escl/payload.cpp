// The whole answer to one eSCL request: the header for a job creation, the
// body otherwise, framed by Content-Length or collected as chunked text.
#include "payload.h"

#include <string.h>
#include <syslog.h>

#include <string_view>

#include "../http/http.h"
#include "../http/http_number.h"
#include "session.h"
#include "text.h"

namespace {

constexpr std::string_view kCreated = "HTTP/1.1 201 Created";
constexpr std::string_view kOk = "HTTP/1.1 200 OK";
constexpr std::string_view kContentLength = "Content-Length:";
// Some devices answer "400 Bad Request" first and the real answer after it
// on the same channel; others send an empty "200 OK" before the real one.
constexpr int kFurtherHeaders = 3;
// A counted body is read straight from the channel with this limit,
// whatever the caller's.
constexpr int32_t kDirectReadSectime = 4;
constexpr int32_t kNoLength = -1;

bool contains(const char *buf, int32_t len, std::string_view needle) {
  return bb::contains(bb::buffer_text(buf, static_cast<size_t>(len)), needle);
}

// The body length an answer announces: a 200 OK with a usable
// Content-Length, in any letter case.  kNoLength otherwise: the body is
// then collected as chunked text.
int32_t announced_length(const char *buf, int32_t len) {
  std::string_view header = bb::buffer_text(buf, static_cast<size_t>(len));
  if (header.find(kOk) == std::string_view::npos) return kNoLength;
  size_t at = bb::find_nocase(header, kContentLength);
  if (at == std::string_view::npos) return kNoLength;
  std::string_view value = bb::drop(header, at + kContentLength.size());
  value = bb::take_until(bb::take_until(value, '\r'), '\n');
  int32_t length = 0;
  switch (bb::parse_decimal(value, &length)) {
    case bb::number_result::ok:
      return length;
    case bb::number_result::none:
    case bb::number_result::negative:
    case bb::number_result::overflow:
      break;
  }
  constexpr int kShown = 32;
  syslog(LOG_ERR, "bb_escl 819: unusable Content-Length (%.*s), reading the body as text\n",
         static_cast<int>(value.size() < kShown ? value.size() : kShown), value.data());
  return kNoLength;
}

void log_completed(int32_t total, int stat) {
  syslog(LOG_INFO, "bb_escl 898: bb_read_http_payload completed. total=[%d] stat=[%d] \n", total,
         stat);
}

// A counted body longer than the buffer: a device whose status lists many
// past jobs sends more than the fixed buffer holds.  Keep what fits, read
// and drop the rest so the channel stays in step for the next answer, and
// report the cut instead of failing every exchange with that device.
int read_counted_body_cut(http_handle *h, char *buf, int32_t len, int32_t payload_length,
                          int32_t *stored) {
  unsigned char scratch[bb::kStreamBufferSize];
  int32_t consumed = 0;
  *stored = 0;
  while (consumed < payload_length) {
    const int32_t want = payload_length - consumed;
    const bool keep = *stored < len;
    void *dst = keep ? static_cast<void *>(buf + *stored) : scratch;
    int32_t room = keep ? len - *stored : static_cast<int32_t>(sizeof scratch);
    if (room > want) room = want;
    int32_t got = 0;
    if (read_stream(h, dst, room, kDirectReadSectime, &got) != HTTP_OK) {
      syslog(LOG_INFO, "bb_escl 884: bb_read_http_payload2 error (%d).\n", 1);
      return HTTP_IO_ERROR;
    }
    if (keep) *stored += got;
    consumed += got;
  }
  syslog(LOG_ERR, "bb_escl 882: body of %d bytes cut to the %d bytes of the buffer\n",
         payload_length, *stored);
  return HTTP_OK;
}

}  // namespace

int bb_read_http_payload(bb_session *session, char *buf, int32_t len, int32_t sectime,
                         int32_t *bytes_read) {
  *bytes_read = 0;
  int32_t total = 0;
  if (len <= 0 || session == nullptr || session->http == nullptr) {
    syslog(LOG_ERR, "bb_escl 786: bb_read_http_payload without connection or buffer (len=%d)\n",
           len);
    return 1;
  }
  memset(buf, 0, static_cast<size_t>(len));
  syslog(LOG_INFO, "bb_escl 785: bb_read_http_payload entry.\n");
  http_handle *h = session->http;

  int32_t header_len = 0;
  int ret = http_read_header(h, buf, len, sectime, &header_len);
  for (int further = 0; further < kFurtherHeaders && contains(buf, len, kHttpBadRequest); ++further) {
    memset(buf, 0, static_cast<size_t>(len));
    ret = http_read_header(h, buf, len, sectime, &header_len);
    syslog(LOG_INFO, "bb_escl 793: HTTP 400 Bad Request. Reading again  ret=%d len=%d buf=%s\n",
           ret, header_len, buf);
  }
  if (ret != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 798: http_read_header returned error code(%d) hence exiting..\n",
           ret);
    return 1;
  }

  // A job creation: the caller wants the Location header.
  if (contains(buf, len, kCreated)) {
    *bytes_read = header_len;
    return 0;
  }

  // A Content-Length of 0 means the device sent an empty answer ahead of the
  // real one: read the next header, up to three times.
  int32_t payload_length = kNoLength;
  for (int further = 0;;) {
    payload_length = announced_length(buf, len);
    if (payload_length != 0) {
      if (payload_length > 0)
        syslog(LOG_INFO, "bb_escl 823: payload_length= (%d)\n", payload_length);
      break;
    }
    syslog(LOG_ERR, "bb_escl 828: HEADER NOT FOUND. Retrying.\n");
    memset(buf, 0, static_cast<size_t>(len));
    ret = http_read_header(h, buf, len, sectime, &header_len);
    if (ret != HTTP_OK) {
      syslog(LOG_ERR, "bb_escl 833: http_read_header returned error (%d) hence exiting.\n", ret);
      *bytes_read = header_len;
      return 0;
    }
    // The last further header is not examined: the body is then taken as
    // whatever has been read ahead.
    if (++further == kFurtherHeaders) break;
  }

  // The body is stored from the front of the buffer.
  memset(buf, 0, static_cast<size_t>(header_len < len ? header_len : len));
  if (payload_length >= 0 && (payload_length > len || h->s.cnt > len)) {
    if (read_counted_body_cut(h, buf, len, payload_length, &total) != HTTP_OK) {
      log_completed(total, 1);
      return 1;
    }
  } else if (payload_length >= 0) {
    // A body may fill the whole buffer: the callers bound their searches
    // by the buffer's length, and the capabilities fetch cuts the last byte.
    clear_stream(h, buf, len, &total);
    while (total < payload_length) {
      int32_t got = 0;
      if (http_read2(h, buf + total, len - total, kDirectReadSectime, &got) != HTTP_OK) {
        syslog(LOG_INFO, "bb_escl 884: bb_read_http_payload2 error (%d).\n", 1);
        log_completed(total, 1);
        return 1;
      }
      total += got;
      syslog(LOG_INFO, "bb_escl 889: bytes_remaining= %d total=[%d] ret = [%d].\n ",
             payload_length - total, total, 0);
    }
  } else {
    int32_t collected = 0;
    http_read(h, buf, len, sectime, &collected);
    total += collected;
    syslog(LOG_INFO, "bb_escl 857: bb_read_http_payload1 done (total=%d). \n", total);
  }

  *bytes_read = total;
  log_completed(total, 0);
  return 0;
}
