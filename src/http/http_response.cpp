// Reading an HTTP/1.1 response from a connection: the status line and the
// header, then the body as collected text, as an exact byte count, or as
// chunk data with the chunked transfer framing removed.
#include <string.h>
#include <syslog.h>

#include <string_view>

#include "../bb_escl/text.h"
#include "http.h"
#include "http_number.h"

namespace {

// "HTTP/1.x NNN", with or without a reason phrase: devices answer in
// HTTP/1.0 too, and some leave the reason out.
constexpr std::string_view kStatusLinePrefix = "HTTP/1.";
// The status number starts at the tenth byte: "HTTP/1.1 200 OK".
constexpr size_t kStatusNumberOffset = 9;
// Once a response is refused, whatever else the device sends is read and
// dropped, waiting at most this long for each further piece.
constexpr int32_t kDrainSectime = 1;
// The line end after the last chunk is not worth waiting long for.
constexpr int32_t kLastLineEndSectime = 1;
// A header line of this many bytes or fewer is the empty line ending it.
constexpr int32_t kHeaderEndLineMax = 2;
// The end of the last chunk and of a chunked body.
constexpr std::string_view kChunkedBodyEnd = "\r\n0\r\n\r\n";

bool accepted_status(int32_t status) { return (status >= 200 && status <= 299) || status == 400; }

// A line as read_line returns it: the last bytes end a line (CR LF or LF LF).
bool line_complete(const char *line, int32_t len) {
  return len >= 2 && line[len - 1] == '\n' && (line[len - 2] == '\r' || line[len - 2] == '\n');
}

// A status line: "HTTP/1." and the minor version; the number after it is
// read by status_number (a malformed one reads as 0 and is refused).
bool is_status_line(const char *line, int32_t len) {
  std::string_view text(line, static_cast<size_t>(len));
  return text.starts_with(kStatusLinePrefix) && text.size() > kStatusLinePrefix.size() &&
         text[kStatusLinePrefix.size()] >= '0' && text[kStatusLinePrefix.size()] <= '9';
}

int32_t status_number(const char *line, int32_t len) {
  std::string_view text(line, static_cast<size_t>(len));
  int32_t status = 0;
  // A status that is missing or does not fit is refused like any unknown one.
  if (bb::parse_decimal(bb::drop(text, kStatusNumberOffset), &status) != bb::number_result::ok)
    status = 0;
  return status;
}

// Header lines and bytes of a refused answer worth reading: beyond them the
// answer is no answer, and the caller closes the channel anyway.
constexpr int kRefusedHeaderLines = 64;
constexpr int64_t kRefusedBodyLimit = kRefusedDrainLimit;
constexpr std::string_view kContentLengthName = "Content-Length:";
constexpr std::string_view kTransferEncodingName = "Transfer-Encoding:";

bool starts_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && bb::find_nocase(bb::slice(s, 0, prefix.size()), prefix) == 0;
}

// Notes the framing a header line announces.
void note_framing(http_handle *h, std::string_view line) {
  int32_t value = 0;
  if (starts_nocase(line, kContentLengthName)) {
    if (bb::parse_decimal(bb::drop(line, kContentLengthName.size()), &value) == bb::number_result::ok)
      h->content_length = value;
    else
      syslog(LOG_ERR, "http 346: unusable Content-Length, the body is read without it\n");
  } else if (starts_nocase(line, kTransferEncodingName) &&
             bb::find_nocase(line, "chunked") != std::string_view::npos) {
    h->chunked = 1;
  }
}

// Reads and drops `count` bytes, or fewer when the device stops sending.
bool skip_bytes(http_handle *h, int64_t count) {
  unsigned char scratch[512];
  while (count > 0) {
    int32_t want = count < static_cast<int64_t>(sizeof scratch) ? static_cast<int32_t>(count)
                                                                 : static_cast<int32_t>(sizeof scratch);
    int32_t got = 0;
    if (read_stream(h, scratch, want, kDrainSectime, &got) != HTTP_OK || got <= 0) return false;
    count -= got;
  }
  return true;
}

// Reads and drops a chunked body up to its last chunk and trailer.
void skip_chunked(http_handle *h) {
  char line[bb::kLineSize];
  int32_t len = 0;
  for (int64_t total = 0; total <= kRefusedBodyLimit;) {
    if (read_line(h, line, sizeof line, kDrainSectime, &len) != HTTP_OK) return;
    int32_t chunk = 0;
    if (bb::parse_hex(std::string_view(line, static_cast<size_t>(len)), &chunk) !=
        bb::number_result::ok)
      return;
    if (chunk == 0) {
      for (int i = 0; i < kRefusedHeaderLines; ++i)
        if (read_line(h, line, sizeof line, kDrainSectime, &len) != HTTP_OK ||
            len <= kHeaderEndLineMax)
          return;
      return;
    }
    if (!skip_bytes(h, chunk + 2)) return;  // the data and its line end
    total += chunk;
  }
}

// Reads the rest of a refused response so the channel is quiet for the
// next exchange and the caller is not held by it: a counted or chunked body
// is read by its framing; only a body without either is read until the
// device falls silent.  The header text is kept after the status line in
// `data` as far as it fits, the last byte kept for a NUL.
void drain_response(http_handle *h, char *data, int32_t size, int32_t pos) {
  const int32_t limit = size - 1;
  bool header_ended = false;
  for (int i = 0; i < kRefusedHeaderLines && !header_ended; ++i) {
    char line[bb::kLineSize];
    int32_t len = 0;
    if (read_line(h, line, sizeof line, kDrainSectime, &len) != HTTP_OK) return;
    std::string_view text = bb::buffer_text(line, static_cast<size_t>(len));
    if (pos + len <= limit) {
      memcpy(data + pos, line, static_cast<size_t>(len));
      pos += len;
      data[pos] = '\0';
    }
    if (len <= kHeaderEndLineMax && line_complete(line, len)) header_ended = true;
    note_framing(h, text);
  }
  if (!header_ended) return;
  if (h->chunked) {
    skip_chunked(h);
  } else if (h->content_length >= 0) {
    if (h->content_length <= kRefusedBodyLimit) skip_bytes(h, h->content_length);
  } else {
    for (int64_t dropped = 0; dropped <= kRefusedBodyLimit;) {
      unsigned char scratch[512];
      int32_t got = 0;
      if (read_stream(h, scratch, sizeof scratch, kDrainSectime, &got) != HTTP_OK) break;
      syslog(LOG_ERR, "http 328: dumping len=%d\n", got);
      dropped += got;
    }
  }
}

// Remembers the last bytes of the collected body text, so that the end of a
// chunked body is seen also once the text no longer fits in the buffer.
struct body_tail {
  char bytes[kChunkedBodyEnd.size()] = {};
  size_t seen = 0;

  void push(char c) {
    memmove(bytes, bytes + 1, sizeof bytes - 1);
    bytes[sizeof bytes - 1] = c;
    ++seen;
  }
  bool ends_body() const {
    return seen >= sizeof bytes &&
           std::string_view(bytes, sizeof bytes) == kChunkedBodyEnd;
  }
};

// The collected body text at `data`: lines are stored one after the other
// as text, each up to its first NUL, and every line moves the end on by its
// full length (a NUL inside a line leaves zeros behind it).  Storing stops,
// for good, at the first line that would pass the end of the buffer.
struct body_text {
  body_text(char *buffer, int32_t buffer_size) : data(buffer), size(buffer_size) {
    if (size > 0) data[0] = '\0';
  }

  char *data;
  int32_t size;
  int32_t end = 0;
  bool cut = false;
  body_tail tail;

  // Stores one line; false when it no longer fits.
  bool store(const char *line, int32_t len) {
    std::string_view text = bb::buffer_text(line, static_cast<size_t>(len));
    for (int32_t i = 0; i < len; ++i)
      tail.push(static_cast<size_t>(i) < text.size() ? line[i] : '\0');
    if (!cut && len > size - 1 - end) {
      cut = true;
      syslog(LOG_ERR, "http 497: http_read body cut after %d bytes, buffer size=%d\n", end, size);
    }
    if (cut) return false;
    memcpy(data + end, text.data(), text.size());
    memset(data + end + text.size(), 0, static_cast<size_t>(len) - text.size());
    end += len;
    data[end] = '\0';
    return true;
  }
  // Whether a piece of `len` bytes would still be stored.
  bool fits(int32_t len) const { return !cut && len <= size - 1 - end; }
};

}  // namespace

namespace {

// Reads the status line, passing over stray lines before it (left from an
// earlier answer), at most kHeaderByteLimit bytes of them.
int read_status_line(http_handle *h, char *data, int32_t size, int32_t sectime, int32_t *len,
                     int32_t *budget) {
  for (int stray = 0;; ++stray) {
    if (read_line(h, data, size, sectime, len) != HTTP_OK) return HTTP_IO_ERROR;
    *budget -= *len;
    if (is_status_line(data, *len)) return HTTP_OK;
    if (stray == 0)
      syslog(LOG_INFO, "http 313: HTTP Header not found. Searching header in next line (%d)\n",
             *len);
    if (*budget <= 0) {
      syslog(LOG_ERR, "http 314: no status line in the first %d bytes of the answer\n",
             kHeaderByteLimit);
      return HTTP_IO_ERROR;
    }
  }
}

// Reads the header lines after the status line into data from *stored on,
// up to the empty line.  A line holding a NUL byte is dropped whole, so
// nothing after the NUL hides in it.
int read_header_lines(http_handle *h, char *data, int32_t size, int32_t sectime, int32_t *stored,
                      int32_t *budget) {
  for (;;) {
    char *end = data + *stored;
    int32_t room = size - *stored;
    if (room < 2 || *budget <= 0) {
      syslog(LOG_ERR, "http 343: http_read_header header longer than the buffer size=%d\n", size);
      return HTTP_IO_ERROR;
    }
    int32_t len = 0;
    if (read_line(h, end, room, sectime, &len) != HTTP_OK) return HTTP_IO_ERROR;
    *budget -= len;
    // A line cut by the end of the buffer is not the empty line.
    if (len == room - 1 && !line_complete(end, len)) {
      syslog(LOG_ERR, "http 343: http_read_header header longer than the buffer size=%d\n", size);
      return HTTP_IO_ERROR;
    }
    std::string_view line(end, static_cast<size_t>(len));
    if (line.find('\0') != std::string_view::npos) {
      syslog(LOG_ERR, "http 342: header line with a NUL byte dropped\n");
      memset(end, 0, static_cast<size_t>(len));
      continue;
    }
    *stored += len;
    if (len <= kHeaderEndLineMax) return HTTP_OK;
    note_framing(h, line);
  }
}

}  // namespace

int http_read_header(http_handle *h, char *data, int32_t size, int32_t sectime,
                     int32_t *bytes_read) {
  syslog(LOG_INFO, "http 300: http_read_header() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), size, sectime);
  *bytes_read = 0;
  h->http_status = 0;
  h->content_length = -1;
  h->chunked = 0;
  // A buffer that cannot take even one byte of a line would never see the
  // status line.
  if (size < 2) {
    syslog(LOG_ERR, "http 302: http_read_header buffer too small size=%d\n", size);
    return HTTP_IO_ERROR;
  }

  // The whole header, stray lines and interim answers included, is bounded
  // in bytes and in time.
  const int64_t outer_deadline = http_narrow_deadline(h, kHeaderSeconds);
  int32_t budget = kHeaderByteLimit;
  int status = HTTP_OK;
  for (;;) {
    int32_t len = 0;
    data[0] = '\0';
    if (read_status_line(h, data, size, sectime, &len, &budget) != HTTP_OK) {
      status = HTTP_IO_ERROR;
      break;
    }
    h->http_status = status_number(data, len);
    h->content_length = -1;
    h->chunked = 0;
    *bytes_read = len;
    if (h->http_status >= 100 && h->http_status <= 199) {
      // "100 Continue" and other interim answers come before the real one.
      if (read_header_lines(h, data, size, sectime, bytes_read, &budget) != HTTP_OK) {
        status = HTTP_IO_ERROR;
        break;
      }
      memset(data, 0, static_cast<size_t>(*bytes_read));
      *bytes_read = 0;
      continue;
    }
    if (!accepted_status(h->http_status)) {
      syslog(LOG_ERR, "http 322: invalid http_status=%d\n", h->http_status);
      drain_response(h, data, size, len);
      status = HTTP_IO_ERROR;
      break;
    }
    if (read_header_lines(h, data, size, sectime, bytes_read, &budget) != HTTP_OK)
      status = HTTP_IO_ERROR;
    break;
  }
  h->deadline_ms = outer_deadline;
  if (status == HTTP_OK)
    syslog(LOG_INFO,
           "http 345: -http_read_header() handle=%p data=%p bytes_read=%d size=%d status=%d\n",
           static_cast<void *>(h), static_cast<void *>(data), *bytes_read, size, HTTP_OK);
  return status;
}

int http_read(http_handle *h, char *data, int32_t size, int32_t sectime,
              int32_t *total_payload_length) {
  syslog(LOG_INFO,
         "http 459: http_read() handle=%p data=%p size=%d sectime=%d total_payload_length=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), size, sectime, *total_payload_length);
  h->remaining = *total_payload_length;
  const bool terminator_mode = *total_payload_length == 0;
  *total_payload_length = 0;
  body_text body(data, size);
  char line[bb::kLineSize];
  int32_t len = 0;

  if (terminator_mode) {
    int64_t overflow = 0;
    for (;;) {
      int status = read_line(h, line, sizeof line, sectime, &len);
      if (status != HTTP_OK) {
        // A body that ends with the connection (or stops arriving) ends the
        // collection; its last piece, short of a line end, is kept.  The
        // reader's failure mark after it is not part of it.
        const int32_t piece = len > 0 ? len - 1 : 0;
        if (piece > 0 && body.store(line, piece)) *total_payload_length += piece;
        h->remaining = 0;
        // Not when the exchange's time ran out: that body was not whole.
        if (h->expired) return HTTP_IO_ERROR;
        break;
      }
      // Past the buffer the rest is read and dropped, but not for ever.
      if (body.cut) {
        overflow += len;
        if (overflow > kBodyOverflowLimit) {
          syslog(LOG_ERR, "http 498: http_read body goes on past %lld bytes, giving up\n",
                 static_cast<long long>(kBodyOverflowLimit));
          h->remaining = 0;
          return HTTP_IO_ERROR;
        }
      }
      if (body.store(line, len)) *total_payload_length += len;
      if (body.tail.ends_body()) {
        h->remaining = 0;
        break;
      }
    }
  } else {
    // Counted lines: no caller uses this mode; it stops once the lines add
    // up to the length or pass it.
    while (h->remaining > 0) {
      if (read_line(h, line, sizeof line, sectime, &len) != HTTP_OK) return HTTP_IO_ERROR;
      if (body.store(line, len)) *total_payload_length += len;
      h->remaining -= len;
    }
    h->remaining = 0;
  }

  syslog(LOG_INFO, "http 506: -http_read() handle=%p data=%p bytes_read=%d size=%d status=%d\n",
         static_cast<void *>(h), static_cast<void *>(data + body.end), *total_payload_length,
         size, HTTP_END);
  return HTTP_END;
}

int http_read_size(http_handle *h, void *data, int32_t size, int32_t sectime,
                   int32_t *bytes_read) {
  if (h->state == kHttpStateEnd) return HTTP_END;
  // The caller marks the end of the body this way.
  if (size == -1) {
    h->state = kHttpStateEnd;
    return HTTP_END;
  }
  syslog(LOG_INFO, "http 525: http_read_size() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), data, size, sectime);
  *bytes_read = 0;
  if (size <= 0) return HTTP_OK;

  // Byte by byte through the read-ahead buffer.  What the buffer holds is
  // handed out in one step; an empty buffer is refilled by asking for a
  // single byte, so the channel calls and messages are those of reading
  // one byte at a time.
  auto *dst = static_cast<unsigned char *>(data);
  while (*bytes_read < size) {
    int32_t want = h->s.cnt > 0 ? size - *bytes_read : 1;
    int32_t got = 0;
    if (read_stream(h, dst + *bytes_read, want, sectime, &got) != HTTP_OK) {
      syslog(LOG_INFO, "http 533: http_read_size(): IO error after %d bytes.\n", *bytes_read);
      return HTTP_IO_ERROR;
    }
    *bytes_read += got;
  }
  return HTTP_OK;
}

int http_read_payload(http_handle *h, void *data, int32_t size, int32_t sectime,
                      int32_t *bytes_read) {
  syslog(LOG_INFO, "http 360: http_read_payload() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), data, size, sectime);
  *bytes_read = 0;
  int status = HTTP_OK;
  char line[bb::kLineSize];
  int32_t len = 0;

  if (h->state == kHttpStateEnd) {
    status = HTTP_END;
  } else {
    if (h->remaining <= 0) {
      h->remaining = 0;
      if (read_line(h, line, sizeof line, sectime, &len) != HTTP_OK) return HTTP_IO_ERROR;
      int32_t chunk = 0;
      // A size line that does not end, or is no number, is no chunked body:
      // failing says so, where taking it for the end would lose the data.
      if (!line_complete(line, len) ||
          bb::parse_hex(std::string_view(line, static_cast<size_t>(len)), &chunk) !=
              bb::number_result::ok) {
        syslog(LOG_ERR, "http 371: invalid chunk size line len=%d\n", len);
        return HTTP_IO_ERROR;
      }
      h->remaining = chunk;
      if (chunk == 0) {
        read_line(h, line, sizeof line, kLastLineEndSectime, &len);
        h->state = kHttpStateEnd;
        status = HTTP_END;
      }
    }
    if (status == HTTP_OK) {
      int32_t want = size < h->remaining ? size : h->remaining;
      if (want < 0) want = 0;
      int32_t got = 0;
      if (read_stream(h, data, want, sectime, &got) != HTTP_OK) return HTTP_IO_ERROR;
      h->total = h->total > INT32_MAX - got ? INT32_MAX : h->total + got;
      h->remaining -= got;
      *bytes_read = got;
      // The line end that follows the chunk data, and nothing else.
      if (h->remaining == 0) {
        char end[2] = {};
        int32_t n = 0;
        if (http_read_size(h, end, 2, sectime, &n) != HTTP_OK || end[0] != '\r' || end[1] != '\n') {
          syslog(LOG_ERR, "http 412: chunk data not followed by its line end\n");
          return HTTP_IO_ERROR;
        }
      }
    }
  }

  syslog(LOG_INFO,
         "http 420: -http_read_payload() handle=%p data=%p bytes_read=%d size=%d status=%d\n",
         static_cast<void *>(h), data, *bytes_read, size, status);
  return status;
}
