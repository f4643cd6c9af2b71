// A minimal HTTP/1.1 client over one kvchan byte channel: the connection
// record with its read-ahead buffer, and the response readers.
#pragma once

#include <signal.h>
#include <stdint.h>

#include "../bb_escl/limits.h"

// Transport status of every operation of the HTTP layer.
enum http_result : int {
  HTTP_OK = 0,
  HTTP_IO_ERROR = 1,  // cannot open/write/read, no bytes in time, refused status
  HTTP_END = 2,       // the response payload has been read to its end
  HTTP_NO_MEMORY = 4,
};

// Status line of the answer some devices send before the real one on the
// same channel.
inline constexpr char kHttpBadRequest[] = "HTTP/1.1 400 Bad Request";
inline constexpr int32_t kHttpBadRequestStatus = 400;
inline constexpr int32_t kHttpNotFoundStatus = 404;
inline constexpr int32_t kHttpServiceUnavailableStatus = 503;

inline constexpr int32_t kHttpStateOpen = 1;
inline constexpr int32_t kHttpStateEnd = 2;

struct http_stream {
  unsigned char buf[bb::kStreamBufferSize];
  int32_t index;  // first unread byte
  int32_t cnt;    // unread bytes
};

struct http_handle {
  int32_t state;
  int32_t http_status;  // of the last status line read, 0 before one
  // Framing of the last header read: its Content-Length (-1 when none) and
  // whether its body is chunked.
  int64_t content_length;
  int32_t chunked;
  // When set, a host's cancel: reads stop once it is non-zero.
  const volatile sig_atomic_t *cancel;
  // Monotonic milliseconds after which reads fail (0: no limit): an
  // exchange is bounded in time, not only each read.
  int64_t deadline_ms;
  int32_t expired;  // a read failed because the exchange's time was up
  // A long body (a page) must keep coming: the window of its progress
  // started then (0: not yet), and this many bytes have come in it.
  int64_t progress_window_start_ms;
  int64_t progress_window_bytes;
  int32_t remaining;  // bytes left in the current chunk or counted body
  int32_t total;      // payload bytes handed out by http_read_payload
  int32_t dd;
  int32_t channel_id;
  http_stream s;
};

// Bounds of one exchange: the header of an answer, and what is read of
// a body or a refused answer beyond what the caller keeps.
inline constexpr int32_t kHeaderByteLimit = 64 * 1024;
inline constexpr int32_t kHeaderSeconds = 30;
inline constexpr int64_t kRefusedDrainLimit = 64 * 1024;
inline constexpr int64_t kBodyOverflowLimit = 1024 * 1024;

// Monotonic time in milliseconds.
int64_t http_now_ms();
// Sets the time limit of the exchange to `seconds` from now (0: none).
void http_set_deadline(http_handle *h, int32_t seconds);
// The same, unless a limit already set ends sooner; returns the limit that
// was set, for the caller to put back when its part of the exchange ends.
int64_t http_narrow_deadline(http_handle *h, int32_t seconds);

// Connection and stream buffer.
int http_open(int32_t dd, const char *channel, http_handle **place);
int http_close(http_handle *h);
int http_write(http_handle *h, const void *data, int32_t size, int32_t sectime);
int read_stream(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read);
int read_line(http_handle *h, char *line, int32_t size, int32_t sectime, int32_t *len);
// Up to `size` bytes as soon as any are there: the buffered ones, or what
// one channel read brings, read straight into `data`.
int http_read_available(http_handle *h, void *data, int32_t size, int32_t sectime,
                        int32_t *bytes_read);
int clear_stream(http_handle *h, void *data, int32_t size, int32_t *bytes_read);
int http_read2(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read);

// Response reading.
int http_read_header(http_handle *h, char *data, int32_t size, int32_t sectime,
                     int32_t *bytes_read);
int http_read(http_handle *h, char *data, int32_t size, int32_t sectime,
              int32_t *total_payload_length);
int http_read_size(http_handle *h, void *data, int32_t size, int32_t sectime,
                   int32_t *bytes_read);
int http_read_payload(http_handle *h, void *data, int32_t size, int32_t sectime,
                      int32_t *bytes_read);

// Owns the connection stored in a slot (normally bb_session::http) and
// closes it when the scope ends, on every path, unless released: the
// document channel must outlive bb_start_scan.
class ChannelGuard {
 public:
  explicit ChannelGuard(http_handle **slot) : slot_(slot) {}
  ~ChannelGuard() { close(); }
  ChannelGuard(const ChannelGuard &) = delete;
  ChannelGuard &operator=(const ChannelGuard &) = delete;

  void close() {
    if (slot_ != nullptr && *slot_ != nullptr) {
      http_close(*slot_);
      *slot_ = nullptr;
    }
  }
  void release() { slot_ = nullptr; }

 private:
  http_handle **slot_;
};
