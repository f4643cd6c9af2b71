// A minimal HTTP/1.1 client over one kvchan byte channel: the connection
// record with its read-ahead buffer, and the response readers.
#pragma once

#include <signal.h>
#include <stdint.h>

#include "limits.h"

// Transport status of every operation of the HTTP layer.
enum http_result : int {
  HTTP_OK = 0,
  HTTP_IO_ERROR = 1,  // cannot open/write/read, no bytes in time, refused status
  HTTP_END = 2,       // the answer's body has been read to its end
  HTTP_NO_MEMORY = 4,
};

// Status line of the answer some devices send before the real one on the
// same channel.
inline constexpr char kHttpBadRequest[] = "HTTP/1.1 400 Bad Request";
inline constexpr int32_t kHttpBadRequestStatus = 400;
inline constexpr int32_t kHttpNotFoundStatus = 404;
inline constexpr int32_t kHttpServiceUnavailableStatus = 503;

inline constexpr int32_t kHttpStateOpen = 1;

// Room for an answer's media type ("image/jpeg"), its NUL included.
inline constexpr int32_t kHttpContentTypeSize = 64;

// Where the body decoder stands in the answer whose header was read last.
enum http_body_state : int32_t {
  HTTP_BODY_NONE = 0,        // no answer header read: there is no body to read
  HTTP_BODY_CLOSED = 1,      // no framing: the body ends with the connection
  HTTP_BODY_COUNTED = 2,     // `remaining` bytes of a Content-Length body left
  HTTP_BODY_CHUNK_SIZE = 3,  // at a chunk-size line
  HTTP_BODY_CHUNK_DATA = 4,  // `remaining` bytes of the current chunk left
  HTTP_BODY_CHUNK_END = 5,   // at the CR LF that closes a chunk's data
  HTTP_BODY_DONE = 6,        // read to its end
  HTTP_BODY_BROKEN = 7,      // framing no answer can have: nothing more is read
};

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
  // The last header's Content-Type, media type only (lower case, without
  // parameters such as "; charset=utf-8"); empty when it had none or an
  // unusable one.
  char content_type[kHttpContentTypeSize];
  // When set, a host's cancel: reads stop once it is non-zero (read
  // through http_cancel_set only).
  const volatile sig_atomic_t *cancel;
  // A channel call was ended by the host's wake-up descriptor: the
  // exchange is over, nothing more is read or retried.
  int32_t woken;
  // A refusal the caller expects as a normal answer (the 404 to a
  // NextDocument after the last sheet), said at info level, not as an
  // error; 0 for none.
  int32_t quiet_status;
  // Monotonic milliseconds after which reads fail (0: no limit): an
  // exchange is bounded in time, not only each read.
  int64_t deadline_ms;
  int32_t expired;  // a read failed because the exchange's time was up
  // A long body (a page) must keep coming: the window of its progress
  // started then (0: not yet), and this many bytes have come in it.
  int64_t progress_window_start_ms;
  int64_t progress_window_bytes;
  int32_t body;       // http_body_state of the answer being read
  int32_t remaining;  // bytes left in the current chunk or counted body
  int32_t total;      // body bytes handed out by http_read_body (saturating)
  // The wait for the first byte of a chunk-size line when it is to be
  // longer than the read's own (0: the read's): scanners at high
  // resolutions take long before they start a chunk.
  int32_t size_line_sectime;
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

// Whether a host's cancel flag is set.  Hosts set it from other threads
// and from signal handlers while the plug-in runs: every read of it is one
// relaxed atomic load, which the compiler can neither cache nor tear.
inline bool http_cancel_set(const volatile sig_atomic_t *flag) {
  return flag != nullptr && __atomic_load_n(flag, __ATOMIC_RELAXED) != 0;
}

// Monotonic time in milliseconds.
int64_t http_now_ms();
// Sets the time limit of the exchange to `seconds` from now (0: none).
void http_set_deadline(http_handle *h, int32_t seconds);
// The same, unless a limit already set ends sooner; returns the limit that
// was set, for the caller to put back when its part of the exchange ends.
int64_t http_narrow_deadline(http_handle *h, int32_t seconds);

// Connection and stream buffer: raw bytes, framing and all.
int http_open(int32_t dd, const char *channel, http_handle **place);
int http_close(http_handle *h);
int http_write(http_handle *h, const void *data, int32_t size, int32_t sectime);
int read_stream(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read);
int read_line(http_handle *h, char *line, int32_t size, int32_t sectime, int32_t *len);
// Up to `size` bytes as soon as any are there: the buffered ones, or what
// one channel read brings, read straight into `data`.
int http_read_available(http_handle *h, void *data, int32_t size, int32_t sectime,
                        int32_t *bytes_read);
// Exactly `size` raw bytes through the read-ahead buffer.
int http_read_size(http_handle *h, void *data, int32_t size, int32_t sectime,
                   int32_t *bytes_read);

// Response reading.  The header reader notes the body's framing (chunked,
// Content-Length, or none: ended by the connection) and every body is read
// through http_read_body, which removes that framing.
int http_read_header(http_handle *h, char *data, int32_t size, int32_t sectime,
                     int32_t *bytes_read);
// The next decoded body bytes, at most `size`: HTTP_OK with at least one
// byte, HTTP_END (nothing stored) once the body has ended, HTTP_IO_ERROR
// when it cannot be read or is not framed as its header says.  Bytes come
// as they arrive: what the read-ahead holds, or one channel read, straight
// into `data` when `size` is a buffer's worth or more.
int http_read_body(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read);
// Bytes of the body known to follow without more framing: the rest of the
// current chunk or counted body (reading the next chunk-size line when at
// one), or, for a body ended by the connection, what has arrived of it.
// HTTP_END once the body has ended.
int http_body_ready(http_handle *h, int32_t sectime, int32_t *size);
// The whole body: its first `size` bytes in `data` (not NUL-terminated),
// the rest read and dropped up to kBodyOverflowLimit.  HTTP_END when it was
// read to its end, HTTP_IO_ERROR otherwise.
int http_read(http_handle *h, char *data, int32_t size, int32_t sectime, int32_t *stored);
// Reads and drops the body, at most `limit` bytes of it: HTTP_END when it
// ended within them.
int http_skip_body(http_handle *h, int64_t limit, int32_t sectime);

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
