// Reading an HTTP/1.1 response from a connection: the status line and the
// header, then the body through one decoder that removes its framing,
// whichever the device chose: chunked transfer coding (chunk extensions and
// trailers included), a Content-Length, or none (the body ends with the
// connection).  Text documents, pages, refused answers and DIME messages
// all read their bodies through it, so no reader above this file ever sees
// a chunk-size line.
#include <string.h>
#include <syslog.h>

#include <string_view>

#include "text.h"
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
// The trailer and the line end after the last chunk are not worth waiting
// long for: the body's data is all in by then.
constexpr int32_t kLastLineEndSectime = 1;
// A header line of this many bytes or fewer is the empty line ending it.
constexpr int32_t kHeaderEndLineMax = 2;
// A chunk-size line, its CR LF and any chunk extension included, may take
// the whole read-ahead buffer.
constexpr int32_t kChunkLineMax = bb::kStreamBufferSize - 1;
// Trailer lines after the last chunk worth reading before the body is
// taken as ended all the same.
constexpr int kTrailerLines = 64;
// Header lines of a refused answer worth reading: beyond them the answer
// is no answer, and the caller closes the channel anyway.
constexpr int kRefusedHeaderLines = 64;
constexpr std::string_view kContentLengthName = "Content-Length:";
constexpr std::string_view kTransferEncodingName = "Transfer-Encoding:";
constexpr std::string_view kContentTypeName = "Content-Type:";

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

bool starts_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && bb::find_nocase(bb::slice(s, 0, prefix.size()), prefix) == 0;
}

bool is_blank_or_line_end(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// "image/jpeg; charset=..." keeps "image/jpeg", in lower case since media
// types are compared without regard to case.  A type that does not fit is
// not kept at all: a cut one would name another format.
void note_content_type(http_handle *h, std::string_view value) {
  std::string_view type = bb::take_until(bb::skip_blanks(value), ';');
  while (!type.empty() && is_blank_or_line_end(type.back())) type.remove_suffix(1);
  h->content_type[0] = '\0';
  if (type.size() >= sizeof h->content_type) {
    syslog(LOG_ERR, "http 348: Content-Type of %d bytes not kept\n", static_cast<int>(type.size()));
    return;
  }
  for (size_t i = 0; i < type.size(); ++i) h->content_type[i] = bb::ascii_lower(type[i]);
  h->content_type[type.size()] = '\0';
}

// Notes what a header line says about the body: its framing and its type.
void note_header_line(http_handle *h, std::string_view line) {
  int32_t value = 0;
  if (starts_nocase(line, kContentLengthName)) {
    if (bb::parse_decimal(bb::drop(line, kContentLengthName.size()), &value) == bb::number_result::ok)
      h->content_length = value;
    else
      syslog(LOG_ERR, "http 346: unusable Content-Length, the body is read without it\n");
  } else if (starts_nocase(line, kTransferEncodingName) &&
             bb::find_nocase(line, "chunked") != std::string_view::npos) {
    h->chunked = 1;
  } else if (starts_nocase(line, kContentTypeName)) {
    note_content_type(h, bb::drop(line, kContentTypeName.size()));
  }
}

// What a new status line forgets of the answer before it.
void forget_answer(http_handle *h) {
  h->content_length = -1;
  h->chunked = 0;
  h->content_type[0] = '\0';
  h->body = HTTP_BODY_NONE;
  h->remaining = 0;
  h->total = 0;
}

// Sets the body decoder for the header just read.  Chunked coding wins
// over a Content-Length sent with it, as HTTP/1.1 has it; answers that
// never carry a body have an empty one whatever their header says.
void begin_body(http_handle *h) {
  const int32_t status = h->http_status;
  if (h->chunked) {
    h->body = HTTP_BODY_CHUNK_SIZE;
  } else if ((status >= 100 && status <= 199) || status == 204 || status == 304) {
    h->body = HTTP_BODY_DONE;
  } else if (h->content_length >= 0) {
    h->remaining = static_cast<int32_t>(h->content_length);
    h->body = h->remaining > 0 ? HTTP_BODY_COUNTED : HTTP_BODY_DONE;
  } else {
    h->body = HTTP_BODY_CLOSED;
  }
}

// A read stopped by the exchange's own limits, not by the device.
bool stopped_by_caller(const http_handle *h) {
  return h->expired != 0 || h->woken != 0 || http_cancel_set(h->cancel);
}

int broken(http_handle *h) {
  h->body = HTTP_BODY_BROKEN;
  return HTTP_IO_ERROR;
}

// Exactly `size` raw bytes, without a log line of its own.
int read_exact(http_handle *h, unsigned char *dst, int32_t size, int32_t sectime) {
  for (int32_t have = 0; have < size;) {
    int32_t got = 0;
    if (read_stream(h, dst + have, size - have, sectime, &got) != HTTP_OK) return HTTP_IO_ERROR;
    have += got;
  }
  return HTTP_OK;
}

// The trailer after the last chunk, up to its empty line.  The data is all
// in: a trailer that stops or runs on ends the body all the same.
void read_trailer(http_handle *h) {
  char line[bb::kLineSize];
  bool line_start = true;  // a long trailer line comes back in pieces
  for (int i = 0; i < kTrailerLines; ++i) {
    int32_t len = 0;
    if (read_line(h, line, sizeof line, kLastLineEndSectime, &len) != HTTP_OK) {
      syslog(LOG_INFO, "http 389: chunked body without its last line end\n");
      return;
    }
    const bool complete = line_complete(line, len);
    if (line_start && complete && len <= kHeaderEndLineMax) return;
    line_start = complete;
  }
  syslog(LOG_ERR, "http 388: trailer of more than %d lines after the last chunk\n", kTrailerLines);
}

// A chunk-size line: hexadecimal digits after optional blanks, then
// anything up to CR LF (a chunk extension, passed over).  A line that does
// not end in CR LF, or holds no number, is no chunked body: failing says
// so, where taking it for the end would lose the data.
int read_chunk_size(http_handle *h, int32_t sectime) {
  char line[kChunkLineMax + 1];
  int32_t len = 0;
  const int32_t wait = h->size_line_sectime > sectime ? h->size_line_sectime : sectime;
  if (read_line(h, line, sizeof line, wait, &len) != HTTP_OK) {
    // Nothing of the line came: the body may still go on when asked again.
    if (len <= 1) return HTTP_IO_ERROR;
    return broken(h);
  }
  std::string_view text(line, static_cast<size_t>(len));
  const bool crlf = len >= 2 && line[len - 2] == '\r' && text.find('\n') == text.size() - 1;
  if (!crlf && len == kChunkLineMax) {
    syslog(LOG_ERR, "http 373: chunk-size line longer than %d bytes\n", kChunkLineMax);
    return broken(h);
  }
  int32_t size = 0;
  if (!crlf || bb::parse_hex(text, &size) != bb::number_result::ok) {
    syslog(LOG_ERR, "http 371: invalid chunk size line len=%d\n", len);
    return broken(h);
  }
  if (size == 0) {
    read_trailer(h);
    h->body = HTTP_BODY_DONE;
    return HTTP_OK;
  }
  h->remaining = size;
  h->body = HTTP_BODY_CHUNK_DATA;
  return HTTP_OK;
}

// The line end that follows a chunk's data, and nothing else: anything
// else is a body out of step, not data.
int read_chunk_end(http_handle *h, int32_t sectime) {
  unsigned char end[2] = {};
  if (read_exact(h, end, sizeof end, sectime) != HTTP_OK) return broken(h);
  if (end[0] != '\r' || end[1] != '\n') {
    syslog(LOG_ERR, "http 412: chunk data not followed by its line end\n");
    return broken(h);
  }
  h->body = HTTP_BODY_CHUNK_SIZE;
  return HTTP_OK;
}

// Moves over framing until body bytes are next (HTTP_OK) or the body has
// ended (HTTP_END).
int reach_data(http_handle *h, int32_t sectime) {
  for (;;) {
    int r = HTTP_OK;
    switch (h->body) {
      case HTTP_BODY_CLOSED:
      case HTTP_BODY_COUNTED:
      case HTTP_BODY_CHUNK_DATA:
        return HTTP_OK;
      case HTTP_BODY_DONE:
        return HTTP_END;
      case HTTP_BODY_CHUNK_SIZE:
        r = read_chunk_size(h, sectime);
        break;
      case HTTP_BODY_CHUNK_END:
        r = read_chunk_end(h, sectime);
        break;
      case HTTP_BODY_NONE:
        syslog(LOG_ERR, "http 380: no answer header read, no body to read\n");
        return HTTP_IO_ERROR;
      default:
        return HTTP_IO_ERROR;  // broken: its failure was logged when found
    }
    if (r != HTTP_OK) return r;
  }
}

// Body bytes as they come: what the read-ahead holds, else one channel
// read, into the caller's memory directly when it asks for a buffer's worth
// or more (pages), else through the read-ahead (small readers, which would
// otherwise call the channel for every few bytes).
int take_bytes(http_handle *h, void *data, int32_t want, int32_t sectime, int32_t *got) {
  if (want >= bb::kStreamBufferSize) return http_read_available(h, data, want, sectime, got);
  return read_stream(h, data, want, sectime, got);
}

}  // namespace

int http_read_body(http_handle *h, void *data, int32_t size, int32_t sectime, int32_t *bytes_read) {
  *bytes_read = 0;
  int r = reach_data(h, sectime);
  if (r != HTTP_OK || size <= 0) return r;
  int32_t want = size;
  if (h->body != HTTP_BODY_CLOSED && h->remaining < want) want = h->remaining;
  int32_t got = 0;
  if (take_bytes(h, data, want, sectime, &got) != HTTP_OK) {
    // A body without framing ends when the device stops sending; every
    // other one is cut short, and so is one the caller stopped.
    if (h->body == HTTP_BODY_CLOSED && !stopped_by_caller(h)) {
      h->body = HTTP_BODY_DONE;
      return HTTP_END;
    }
    return HTTP_IO_ERROR;
  }
  if (h->body != HTTP_BODY_CLOSED) {
    h->remaining -= got;
    if (h->remaining == 0)
      h->body = h->body == HTTP_BODY_COUNTED ? HTTP_BODY_DONE : HTTP_BODY_CHUNK_END;
  }
  h->total = h->total > INT32_MAX - got ? INT32_MAX : h->total + got;
  *bytes_read = got;
  return HTTP_OK;
}

int http_body_ready(http_handle *h, int32_t sectime, int32_t *size) {
  *size = 0;
  int r = reach_data(h, sectime);
  if (r != HTTP_OK) return r;
  if (h->body != HTTP_BODY_CLOSED) {
    *size = h->remaining;
    return HTTP_OK;
  }
  if (h->s.cnt == 0) {
    // Only a channel read tells whether more of the body comes: it fills
    // the read-ahead and hands out nothing.
    unsigned char none = 0;
    int32_t got = 0;
    if (read_stream(h, &none, 0, sectime, &got) != HTTP_OK) {
      if (stopped_by_caller(h)) return HTTP_IO_ERROR;
      h->body = HTTP_BODY_DONE;
      return HTTP_END;
    }
  }
  *size = h->s.cnt;
  return HTTP_OK;
}

int http_read(http_handle *h, char *data, int32_t size, int32_t sectime, int32_t *stored) {
  syslog(LOG_INFO, "http 459: http_read() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), size, sectime);
  *stored = 0;
  // Past the buffer the rest is read and dropped, but not for ever.
  unsigned char scratch[bb::kStreamBufferSize];
  int64_t dropped = 0;
  for (;;) {
    const bool keep = *stored < size;
    void *dst = keep ? static_cast<void *>(data + *stored) : scratch;
    const int32_t want = keep ? size - *stored : static_cast<int32_t>(sizeof scratch);
    int32_t got = 0;
    int r = http_read_body(h, dst, want, sectime, &got);
    if (r == HTTP_END) break;
    if (r != HTTP_OK) return HTTP_IO_ERROR;
    if (keep) {
      *stored += got;
      continue;
    }
    if (dropped == 0)
      syslog(LOG_ERR, "http 497: http_read body cut after %d bytes, buffer size=%d\n", *stored, size);
    dropped += got;
    if (dropped > kBodyOverflowLimit) {
      syslog(LOG_ERR, "http 498: http_read body goes on past %lld bytes, giving up\n",
             static_cast<long long>(kBodyOverflowLimit));
      return HTTP_IO_ERROR;
    }
  }
  syslog(LOG_INFO, "http 506: -http_read() handle=%p data=%p bytes_read=%d size=%d status=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), *stored, size, HTTP_END);
  return HTTP_END;
}

int http_skip_body(http_handle *h, int64_t limit, int32_t sectime) {
  unsigned char scratch[bb::kStreamBufferSize];
  for (int64_t dropped = 0; dropped <= limit;) {
    int32_t got = 0;
    int r = http_read_body(h, scratch, sizeof scratch, sectime, &got);
    if (r != HTTP_OK) return r;
    // Only a body the device stops sending is logged piece by piece: that
    // read waits for silence.
    if (h->body == HTTP_BODY_CLOSED) syslog(LOG_ERR, "http 328: dumping len=%d\n", got);
    dropped += got;
  }
  return HTTP_IO_ERROR;
}

namespace {

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
    note_header_line(h, text);
  }
  if (!header_ended) return;
  begin_body(h);
  http_skip_body(h, kRefusedDrainLimit, kDrainSectime);
}

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
    note_header_line(h, line);
  }
}

}  // namespace

int http_read_header(http_handle *h, char *data, int32_t size, int32_t sectime,
                     int32_t *bytes_read) {
  syslog(LOG_INFO, "http 300: http_read_header() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), size, sectime);
  *bytes_read = 0;
  h->http_status = 0;
  forget_answer(h);
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
    forget_answer(h);
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
      const bool expected = h->quiet_status != 0 && h->http_status == h->quiet_status;
      syslog(expected ? LOG_INFO : LOG_ERR, "http 322: invalid http_status=%d\n", h->http_status);
      drain_response(h, data, size, len);
      status = HTTP_IO_ERROR;
      break;
    }
    if (read_header_lines(h, data, size, sectime, bytes_read, &budget) != HTTP_OK)
      status = HTTP_IO_ERROR;
    break;
  }
  h->deadline_ms = outer_deadline;
  if (status == HTTP_OK) {
    begin_body(h);
    syslog(LOG_INFO,
           "http 345: -http_read_header() handle=%p data=%p bytes_read=%d size=%d status=%d\n",
           static_cast<void *>(h), static_cast<void *>(data), *bytes_read, size, HTTP_OK);
  }
  return status;
}

int http_read_size(http_handle *h, void *data, int32_t size, int32_t sectime,
                   int32_t *bytes_read) {
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
