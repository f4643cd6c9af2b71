// The page's image data, read from the document channel that
// bb_get_scanjob left open.  The body is chunked, or counted by a
// Content-Length.  Each bb_get_image_data call hands over what has arrived
// of the current chunk (what the read-ahead holds, or what one channel read
// brings, at most the host's buffer), so the host sees the first rows of a
// page before a whole device chunk has come.
#include <stdint.h>
#include <syslog.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "limits.h"
#include "session.h"

namespace {

// At 1200 dpi and more a scanner takes much longer to produce each chunk,
// and longer still before it starts a chunk.
constexpr int32_t kHighResolution = 1200;
constexpr int32_t kDataSectime = 5;
constexpr int32_t kHighResDataSectime = 25;
constexpr int32_t kHighResSizeLineFactor = 5;

// A chunk-size line, its CR LF and any chunk extension included, may take
// the whole read-ahead buffer.
constexpr int32_t kChunkLineMax = bb::kStreamBufferSize - 1;
// A page must bring at least this many bytes a second, counted over
// windows of kTrickleWindowSeconds (longer at high resolutions, where a
// scanner may be silent longer): a device trickling data cannot hold a scan
// for ever, one that pauses now and then still can.
constexpr int64_t kTrickleBytesPerSecond = 1024;
constexpr int32_t kTrickleWindowSeconds = 60;
constexpr int32_t kHighResTrickleWindowSeconds = 2 * kHighResDataSectime * kHighResSizeLineFactor;

constexpr int32_t kLineEndSize = 2;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The size of a chunk-size line: hexadecimal digits after leading blanks,
// up to the first other character (a chunk extension is ignored); no digits
// read as 0.  -1 for a negative or oversized value.
int32_t parse_chunk_size(const char *line) {
  const char *p = line;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '-') return -1;
  int64_t value = 0;
  for (int d = hex_digit(*p); d >= 0; d = hex_digit(*++p)) {
    value = value * 16 + d;
    if (value > INT32_MAX) return -1;
  }
  return static_cast<int32_t>(value);
}

http_handle *page_channel(const host_session *hs) {
  bb_session *session = bb::session_of(hs);
  return session == nullptr ? nullptr : session->http;
}

int32_t trickle_window_seconds(const host_session *hs) {
  return hs->current_resolution >= kHighResolution ? kHighResTrickleWindowSeconds
                                                   : kTrickleWindowSeconds;
}

// The page's reads fail once its current progress window is over: a
// window starts with the page and again each time a window's worth of
// bytes at the lowest rate has come.
void arm_progress_deadline(const host_session *hs, http_handle *h) {
  if (h->progress_window_start_ms == 0) h->progress_window_start_ms = http_now_ms();
  h->deadline_ms = h->progress_window_start_ms + trickle_window_seconds(hs) * 1000LL;
}

// Ends the progress deadline of a read when the scope ends.
class ProgressDeadline {
 public:
  ProgressDeadline(const host_session *hs, http_handle *h) : h_(h) { arm_progress_deadline(hs, h); }
  ~ProgressDeadline() { h_->deadline_ms = 0; }
  ProgressDeadline(const ProgressDeadline &) = delete;
  ProgressDeadline &operator=(const ProgressDeadline &) = delete;

 private:
  http_handle *h_;
};

void count_progress(const host_session *hs, http_handle *h, int32_t bytes) {
  h->progress_window_bytes += bytes;
  if (h->progress_window_bytes >= kTrickleBytesPerSecond * trickle_window_seconds(hs)) {
    h->progress_window_start_ms = http_now_ms();
    h->progress_window_bytes = 0;
  }
}

// Hands over what has arrived of the current chunk, at most one image
// buffer of it; after its last byte, reads the line end that closes it.
int deliver_piece(host_session *hs, bb_session *session, int32_t sectime) {
  http_handle *h = session->http;
  int32_t piece = session->image_chunk_left;
  if (piece > BB_IMAGE_BUFFER_SIZE) piece = BB_IMAGE_BUFFER_SIZE;
  int32_t got = 0;
  int r = HTTP_OK;
  {
    ProgressDeadline deadline(hs, h);
    r = http_read_available(h, hs->image_buffer, piece, sectime, &got);
  }
  if (r != HTTP_OK) {
    session->image_chunk_left = 0;
    return 1;
  }
  count_progress(hs, h, got);
  hs->image_count += got;
  session->image_chunk_left -= got;
  if (session->image_chunk_left > 0) {
    syslog(LOG_INFO, "bb_escl 1804: bb_get_image_data piece of %d bytes, %d more in the chunk\n",
           got, session->image_chunk_left);
    return 0;
  }
  if (session->page_counted) return 0;
  char line_end[kLineEndSize];
  got = 0;
  {
    ProgressDeadline deadline(hs, h);
    r = http_read_size(h, line_end, kLineEndSize, sectime, &got);
  }
  if (r != HTTP_OK) return 1;
  if (line_end[0] != '\r' || line_end[1] != '\n') {
    syslog(LOG_ERR, "bb_escl 1806: bb_get_image_data chunk not followed by its line end\n");
    return 1;
  }
  syslog(LOG_INFO, "bb_escl 1808: bb_get_image_data exit: bytes read = [%d] \n", got);
  return 0;
}

// A page sent with a Content-Length instead of chunks: handed out in
// pieces until the count is reached.
int transfer_counted(host_session *hs, bb_session *session, int32_t sectime) {
  if (session->image_chunk_left > 0) return deliver_piece(hs, session, sectime);
  int32_t got = 0;
  char none = 0;
  http_read_size(session->http, &none, -1, sectime, &got);  // marks the end
  return 0;
}

int transfer(host_session *hs, bb_session *session, int32_t sectime) {
  if (session->page_counted) return transfer_counted(hs, session, sectime);
  if (session->image_chunk_left > 0) return deliver_piece(hs, session, sectime);

  int32_t size = bb_get_size(hs, sectime);
  syslog(LOG_INFO, "bb_escl 1792: bb_get_size returned size=%d\n", size);
  if (size < 0) return 1;
  if (size > 0) {
    session->image_chunk_left = size;
    return deliver_piece(hs, session, sectime);
  }
  // The last chunk: take the line end that closes the body and mark the
  // end, so that every later call ends at once without reading.
  char line_end[kLineEndSize];
  int32_t got = 0;
  if (http_read_size(session->http, line_end, kLineEndSize, sectime, &got) == HTTP_IO_ERROR)
    return 1;
  http_read_size(session->http, line_end, -1, sectime, &got);
  return 0;
}

}  // namespace

BB_EXPORT int bb_get_size(host_session *hs, int32_t timeout) {
  syslog(LOG_INFO, "bb_escl 1758: bb_get_size entry...\n");
  http_handle *h = page_channel(hs);
  if (h == nullptr) return -1;
  int64_t limit = timeout;
  if (hs->current_resolution >= kHighResolution) limit *= kHighResSizeLineFactor;
  auto sectime = static_cast<int32_t>(limit > INT32_MAX ? INT32_MAX : limit < INT32_MIN ? INT32_MIN : limit);

  char line[kChunkLineMax + 1] = {};
  int32_t len = 0;
  ProgressDeadline deadline(hs, h);
  for (;;) {
    if (len == kChunkLineMax) {
      syslog(LOG_ERR, "bb_escl 1766: bb_get_size chunk-size line longer than %d bytes\n",
             kChunkLineMax);
      return -1;
    }
    int32_t got = 0;
    int r = http_read_size(h, &line[len], 1, sectime, &got);
    if (r == HTTP_END) return 0;
    if (r != HTTP_OK) return -1;
    ++len;
    if (len >= 2 && line[len - 1] == '\n' && line[len - 2] == '\r') break;
  }
  line[len] = '\0';
  count_progress(hs, h, len);
  syslog(LOG_INFO, "bb_escl 1772: bb_get_size exit...\n");
  int32_t size = parse_chunk_size(line);
  if (size < 0) syslog(LOG_ERR, "bb_escl 1774: bb_get_size bad chunk-size line [%.*s]\n", len - 2, line);
  return size;
}

BB_EXPORT int bb_get_image_data(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1785: bb_get_image_data...\n");
  if (hs == nullptr) return 1;
  int32_t sectime = hs->current_resolution >= kHighResolution ? kHighResDataSectime : kDataSectime;
  syslog(LOG_INFO, "bb_escl 1788: bb_get_image_data cnt=%d res=%d tmo=%d\n", hs->image_count,
         hs->current_resolution, sectime);
  bb_session *session = bb::session_of(hs);
  int result;
  if (hs->image_count != 0)
    result = 0;  // the host has not taken the last chunk yet
  else if (session == nullptr || session->http == nullptr)
    result = 1;  // no page channel to read from
  else
    result = transfer(hs, session, sectime);
  syslog(LOG_INFO, "bb_escl 1814: bb_get_image_data returning (%d)...\n", result);
  return result;
}
