// One kvchan channel with a 4096-byte read-ahead buffer.  Lines are handed
// out of the buffer one byte at a time, other bytes in bulk; the channel is
// read only when the buffer is empty, and then for a whole buffer, or
// straight into a caller's memory when it wants a buffer's worth or more.
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "http.h"
#include "kvchan.h"

namespace {

// Transient channel results: the device had nothing yet, or was busy.
bool transient(int r) { return r == KVCHAN_E_AGAIN || r == KVCHAN_E_BUSY; }

constexpr int kReadRetries = 3;
// A read a signal interrupted lost nothing: it is tried again at once, a
// bounded number of times so a storm of signals cannot hold the read.
constexpr int kInterruptedRetries = 16;
constexpr useconds_t kRetrySleepUs = 100000;
// After the first byte of a line the rest must follow promptly.
constexpr int32_t kLineByteSectime = 3;

// Hands out up to `size` buffered bytes; the buffer must hold some.
int32_t take_buffered(http_stream &s, unsigned char *dst, int32_t size) {
  if (size < 0) size = 0;
  int32_t n = size < s.cnt ? size : s.cnt;
  memcpy(dst, s.buf + s.index, static_cast<size_t>(n));
  if (size < s.cnt) {
    s.index += size;
    s.cnt -= size;
  } else {
    s.index = 0;
    s.cnt = 0;
  }
  return n;
}

}  // namespace

int64_t http_now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void http_set_deadline(http_handle *h, int32_t seconds) {
  h->expired = 0;
  h->deadline_ms = seconds > 0 ? http_now_ms() + static_cast<int64_t>(seconds) * 1000 : 0;
}

int64_t http_narrow_deadline(http_handle *h, int32_t seconds) {
  const int64_t outer = h->deadline_ms;
  http_set_deadline(h, seconds);
  if (outer != 0 && outer < h->deadline_ms) h->deadline_ms = outer;
  return outer;
}

int http_open(int32_t dd, const char *channel, http_handle **place) {
  syslog(LOG_INFO, "http 249: http_open() dd=%d channel=%s handle=%p\n", dd, channel,
         static_cast<void *>(place));
  *place = nullptr;
  auto *h = static_cast<http_handle *>(malloc(sizeof(http_handle)));
  if (h == nullptr) {
    syslog(LOG_ERR, "http 255: malloc failed: %m\n");
    return HTTP_NO_MEMORY;
  }
  memset(h, 0, sizeof *h);
  h->dd = dd;
  int channel_id = 0;
  const int r = kvchan_open_channel(dd, channel, &channel_id);
  if (r == KVCHAN_E_CANCELLED) {
    syslog(LOG_INFO, "http 262: opening the %s channel cancelled by the host\n", channel);
    free(h);
    return HTTP_IO_ERROR;
  }
  if (r != 0) {
    syslog(LOG_ERR, "http 263: unable to open %s channel\n", channel);
    free(h);
    return HTTP_IO_ERROR;
  }
  h->channel_id = channel_id;
  h->state = kHttpStateOpen;
  *place = h;
  return HTTP_OK;
}

int http_close(http_handle *h) {
  if (h == nullptr) return HTTP_OK;
  syslog(LOG_INFO, "http 284: http_close() handle=%p\n", static_cast<void *>(h));
  if (h->channel_id > 0) kvchan_close_channel(h->dd, h->channel_id);
  free(h);
  return HTTP_OK;
}

int http_write(http_handle *h, const void *data, int32_t size, int32_t sectime) {
  syslog(LOG_INFO, "http 552: http_write() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), data, size, sectime);
  int written = 0;
  const int r = kvchan_write_channel(h->dd, h->channel_id, data, size, sectime, &written);
  if (r == KVCHAN_E_CANCELLED) {
    syslog(LOG_INFO, "http 555: writing channel data cancelled by the host\n");
    h->woken = 1;
    return HTTP_IO_ERROR;
  }
  if (r != 0) {
    syslog(LOG_ERR, "http 556: unable to write channel data\n");
    return HTTP_IO_ERROR;
  }
  return HTTP_OK;
}

namespace {

// One read of the channel into `dst` (at most `capacity` bytes): stops on a
// host's cancel or once the exchange's time is up, tries a read a signal
// interrupted again at once and a transient failure after a pause.  On
// success *arrived is between 1 and capacity.
int read_channel(http_handle *h, unsigned char *dst, int32_t capacity, int32_t sectime,
                 int32_t *arrived) {
  *arrived = 0;
  // The host gave up the scan, or the device has had the whole time this
  // exchange allows.
  if (http_cancel_set(h->cancel) || h->woken != 0) {
    syslog(LOG_INFO, "http 140: read_stream stopped: cancelled\n");
    return HTTP_IO_ERROR;
  }
  if (h->deadline_ms != 0 && http_now_ms() > h->deadline_ms) {
    syslog(LOG_ERR, "http 142: read_stream stopped: the exchange took too long\n");
    h->expired = 1;
    return HTTP_IO_ERROR;
  }
  int got = 0;
  int r = kvchan_read_channel(h->dd, h->channel_id, dst, capacity, sectime, &got);
  for (int again = 0; r == KVCHAN_E_INTR && again < kInterruptedRetries; ++again) {
    if (http_cancel_set(h->cancel)) break;
    got = 0;
    r = kvchan_read_channel(h->dd, h->channel_id, dst, capacity, sectime, &got);
  }
  for (int retry = 1; transient(r) && retry <= kReadRetries; ++retry) {
    usleep(kRetrySleepUs);
    got = 0;
    r = kvchan_read_channel(h->dd, h->channel_id, dst, capacity, sectime, &got);
    syslog(LOG_INFO, "http 153: kvchan_read_channel failed retrying (%d) more times)\n",
           kReadRetries - retry);
  }
  // The host's wake-up descriptor: the host wants the exchange over now,
  // which is no failure of the device.
  if (r == KVCHAN_E_CANCELLED) {
    syslog(LOG_INFO, "http 156: read_stream stopped: cancelled by the host\n");
    h->woken = 1;
    return HTTP_IO_ERROR;
  }
  if (r != 0) {
    syslog(LOG_ERR, "http 157: read_stream error stat=%d\n", r);
    *arrived = got;
    return HTTP_IO_ERROR;
  }
  if (got <= 0) {
    syslog(LOG_ERR, "http 162: read_stream error len=0\n");
    *arrived = got;
    return HTTP_IO_ERROR;
  }
  // A channel that claims more than it was asked for is clamped: the
  // buffer never holds more than it can.
  *arrived = got > capacity ? capacity : got;
  syslog(LOG_INFO, "http 166: read_channel len=%d\n", *arrived);
  return HTTP_OK;
}

}  // namespace

int read_stream(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read) {
  *bytes_read = 0;
  http_stream &s = h->s;
  auto *dst = static_cast<unsigned char *>(data);
  if (s.cnt > 0) {
    *bytes_read = take_buffered(s, dst, size);
    return HTTP_OK;
  }
  int32_t arrived = 0;
  const int status = read_channel(h, s.buf, bb::kStreamBufferSize, sectime, &arrived);
  int32_t reported = arrived;
  if (status == HTTP_OK) {
    s.index = 0;
    s.cnt = arrived;
    *bytes_read = take_buffered(s, dst, size);
    reported = *bytes_read;
  }
  syslog(LOG_INFO, "http 189: -read_stream() bytes_read=%d s.index=%d s.cnt=%d stat=%d\n",
         reported, s.index, s.cnt, status);
  return status;
}

int http_read_available(http_handle *h, void *data, int32_t size, int32_t sectime,
                        int32_t *bytes_read) {
  *bytes_read = 0;
  if (size <= 0) return HTTP_OK;
  // What the read-ahead holds goes first; otherwise one channel read lands
  // straight in the caller's buffer, however much it brings.
  if (h->s.cnt > 0) return read_stream(h, data, size, sectime, bytes_read);
  return read_channel(h, static_cast<unsigned char *>(data), size, sectime, bytes_read);
}

int read_line(http_handle *h, char *line, int32_t size, int32_t sectime, int32_t *len) {
  int32_t n = 0;
  int status = HTTP_OK;
  if (size < 1) {
    *len = 0;
    return HTTP_OK;
  }
  while (n < size - 1) {
    unsigned char byte = 0;
    int32_t got = 0;
    if (read_stream(h, &byte, 1, n == 0 ? sectime : kLineByteSectime, &got) != HTTP_OK) {
      line[n++] = static_cast<char>(0xFF);
      status = HTTP_IO_ERROR;
      break;
    }
    line[n++] = static_cast<char>(byte);
    // CR LF ends a line, and so do two LFs in a row; a single LF does not.
    if (byte == '\n' && n >= 2 && (line[n - 2] == '\r' || line[n - 2] == '\n')) break;
  }
  line[n] = '\0';
  *len = n;
  return status;
}
