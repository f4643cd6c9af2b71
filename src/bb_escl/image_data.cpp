// The page's image data, read from the document channel that
// bb_get_scanjob left open, through the HTTP layer's body decoder: a page
// comes chunked, counted by a Content-Length, or ended by the connection,
// and the host gets its bytes alike.  Each bb_get_image_data call hands
// over what has arrived (what the read-ahead holds, or what one channel
// read brings, never past the current chunk, at most 64 KiB of the
// host's buffer), so the host sees the first rows of a page before a whole
// device chunk has come.
#include <stdint.h>
#include <syslog.h>

#include "../http/http.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "../http/limits.h"
#include "session.h"

namespace {

static_assert(bb::kImageDataPieceSize <= BB_IMAGE_BUFFER_SIZE, "a piece fits the host's image buffer");

// At 1200 dpi and more a scanner takes much longer to produce each chunk,
// and longer still before it starts a chunk.
constexpr int32_t kHighResolution = 1200;
constexpr int32_t kDataSectime = 5;
constexpr int32_t kHighResDataSectime = 25;
constexpr int32_t kHighResSizeLineFactor = 5;

// A page must bring at least this many bytes a second, counted over
// windows of kTrickleWindowSeconds (longer at high resolutions, where a
// scanner may be silent longer): a device trickling data cannot hold a scan
// for ever, one that pauses now and then still can.
constexpr int64_t kTrickleBytesPerSecond = 1024;
constexpr int32_t kTrickleWindowSeconds = 60;
constexpr int32_t kHighResTrickleWindowSeconds = 2 * kHighResDataSectime * kHighResSizeLineFactor;

bool high_resolution(const host_session *hs) { return hs->current_resolution >= kHighResolution; }

http_handle *page_channel(const host_session *hs) {
  bb_session *session = bb::session_of(hs);
  return session == nullptr ? nullptr : session->http;
}

int32_t trickle_window_seconds(const host_session *hs) {
  return high_resolution(hs) ? kHighResTrickleWindowSeconds : kTrickleWindowSeconds;
}

// The page's reads fail once its current progress window is over: a
// window starts with the page and again each time a window's worth of
// bytes at the lowest rate has come.
void arm_progress_deadline(const host_session *hs, http_handle *h) {
  if (h->progress_window_start_ms == 0) h->progress_window_start_ms = http_now_ms();
  h->deadline_ms = h->progress_window_start_ms + trickle_window_seconds(hs) * 1000LL;
}

// One read of the page: bounded by the page's progress window, and waiting
// the longer limit of high resolutions for a chunk-size line.  Both end
// with the scope.
class PageRead {
 public:
  PageRead(const host_session *hs, http_handle *h, int32_t size_line_sectime) : h_(h) {
    arm_progress_deadline(hs, h);
    h->size_line_sectime = size_line_sectime;
  }
  ~PageRead() {
    h_->deadline_ms = 0;
    h_->size_line_sectime = 0;
  }
  PageRead(const PageRead &) = delete;
  PageRead &operator=(const PageRead &) = delete;

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

int32_t size_line_sectime(const host_session *hs, int32_t sectime) {
  if (!high_resolution(hs)) return sectime;
  const int64_t limit = static_cast<int64_t>(sectime) * kHighResSizeLineFactor;
  return static_cast<int32_t>(limit > INT32_MAX ? INT32_MAX : limit < INT32_MIN ? INT32_MIN : limit);
}

// Hands over what has arrived of the page, at most one piece of it; the
// end of the page leaves image_count at 0, and every later call
// ends at once without reading.
int transfer(host_session *hs, bb_session *session, int32_t sectime) {
  http_handle *h = session->http;
  int32_t got = 0;
  int r = HTTP_OK;
  {
    PageRead read(hs, h, size_line_sectime(hs, sectime));
    r = http_read_body(h, hs->image_buffer, bb::kImageDataPieceSize, sectime, &got);
  }
  if (r == HTTP_END) return 0;
  if (r != HTTP_OK) return 1;
  count_progress(hs, h, got);
  hs->image_count += got;
  if (h->remaining > 0) {
    syslog(LOG_INFO, "bb_escl 1804: bb_get_image_data piece of %d bytes, %d more in the chunk\n",
           got, h->remaining);
    return 0;
  }
  syslog(LOG_INFO, "bb_escl 1808: bb_get_image_data exit: bytes read = [%d] \n", got);
  return 0;
}

}  // namespace

BB_EXPORT int bb_get_size(host_session *hs, int32_t timeout) {
  syslog(LOG_INFO, "bb_escl 1758: bb_get_size entry...\n");
  http_handle *h = page_channel(hs);
  if (h == nullptr) return -1;
  const int32_t sectime = size_line_sectime(hs, timeout);
  int32_t size = 0;
  int r = HTTP_OK;
  {
    PageRead read(hs, h, sectime);
    r = http_body_ready(h, sectime, &size);
  }
  if (r == HTTP_END) return 0;
  if (r != HTTP_OK) return -1;
  syslog(LOG_INFO, "bb_escl 1772: bb_get_size exit...\n");
  return size;
}

BB_EXPORT int bb_get_image_data(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1785: bb_get_image_data...\n");
  if (hs == nullptr) return 1;
  int32_t sectime = high_resolution(hs) ? kHighResDataSectime : kDataSectime;
  syslog(LOG_INFO, "bb_escl 1788: bb_get_image_data cnt=%d res=%d tmo=%d\n", hs->image_count,
         hs->current_resolution, sectime);
  bb_session *session = bb::session_of(hs);
  int result;
  if (hs->image_count != 0)
    result = 0;  // the host has not taken the last piece yet
  else if (session == nullptr || session->http == nullptr)
    result = 1;  // no page channel to read from
  else
    result = transfer(hs, session, sectime);
  syslog(LOG_INFO, "bb_escl 1814: bb_get_image_data returning (%d)...\n", result);
  return result;
}
