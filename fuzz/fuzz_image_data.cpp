// Arbitrary bytes as a page's chunked body, after the page answer's header,
// read the way the host reads a page: bb_get_image_data until the end or a
// failure.  The first byte gives the resolution and how many bytes each
// channel read brings.  What arrives in the image buffer is checked against
// a plain reading of the same bytes: no image byte lost, doubled or
// invented, and the end found where it is.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bb_escl.h"
#include "bb_escl/session.h"
#include "http/http.h"
#include "memory_channel.h"

namespace {

constexpr size_t kPrefix = 1;
constexpr size_t kSizeLineMax = 4095;  // CR LF and any chunk extension included
constexpr char kPageHeader[] = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n\r\n";

struct Reading {
  std::string data;
  bool ended = false;  // the zero-size chunk arrived
};

int hex_value(uint8_t c) {
  return (c >= '0' && c <= '9')   ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}

// The body read by the chunked-coding rules the plug-in keeps: a size line
// of at most 4095 bytes ended by CR LF with no other line feed in it,
// hexadecimal after blanks, an optional "+" or "0x" (a minus sign, no digit
// or more than 31 bits is malformed), the data (handed out even when it is
// cut short or what follows is wrong), then CR LF and nothing else.  The
// zero-size chunk ends the page whatever trailer follows it, or none.
Reading plain_reading(const uint8_t *in, size_t size) {
  Reading r;
  size_t pos = 0;
  for (;;) {
    size_t lf = pos;
    while (lf < size && lf - pos < kSizeLineMax && in[lf] != '\n') ++lf;
    if (lf >= size || lf - pos >= kSizeLineMax || lf == pos || in[lf - 1] != '\r') return r;
    const uint8_t *p = in + pos;
    const uint8_t *end = in + lf + 1;
    pos = lf + 1;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p < end && *p == '-') return r;
    if (p < end && *p == '+') ++p;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_value(p[2]) >= 0) p += 2;
    int64_t value = 0;
    size_t digits = 0;
    for (; p < end && hex_value(*p) >= 0; ++p, ++digits) {
      value = value * 16 + hex_value(*p);
      if (value > INT32_MAX) return r;
    }
    if (digits == 0) return r;
    if (value == 0) {
      r.ended = true;
      return r;
    }
    // Data is handed out as it arrives, so a chunk cut short still gives
    // the bytes that came.
    if (pos + static_cast<size_t>(value) > size) {
      r.data.append(reinterpret_cast<const char *>(in + pos), size - pos);
      return r;
    }
    r.data.append(reinterpret_cast<const char *>(in + pos), static_cast<size_t>(value));
    pos += static_cast<size_t>(value);
    if (pos + 2 > size || in[pos] != '\r' || in[pos + 1] != '\n') return r;
    pos += 2;
  }
}

host_session *host() {
  static host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  static bb_session *bb = static_cast<bb_session *>(calloc(1, sizeof(bb_session)));
  memset(bb, 0, sizeof *bb);
  hs->bb_session = bb;
  hs->dd = 1;
  hs->image_count = 0;
  return hs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  host_session *hs = host();
  hs->current_resolution = (data[0] & 1) ? 1200 : 300;
  const size_t piece = 1 + (data[0] >> 1) * 33;
  data += kPrefix;
  size -= kPrefix;

  std::string answer = kPageHeader;
  answer.append(reinterpret_cast<const char *>(data), size);
  memchan::feed(answer.data(), answer.size(), piece);
  if (http_open(hs->dd, "KV-ESCL-SCAN", &hs->bb_session->http) != HTTP_OK) abort();
  char header[256];
  int32_t header_len = 0;
  if (http_read_header(hs->bb_session->http, header, sizeof header, 5, &header_len) != HTTP_OK) abort();

  std::string got;
  int result = 0;
  bool ended = false;
  // Every call that delivers takes at least one byte from the body.
  for (size_t calls = 0; calls <= size + 2; ++calls) {
    result = bb_get_image_data(hs);
    if (result != 0 && result != 1) abort();
    if (hs->image_count < 0 || hs->image_count > BB_IMAGE_BUFFER_SIZE) abort();
    got.append(reinterpret_cast<const char *>(hs->image_buffer), static_cast<size_t>(hs->image_count));
    bool delivered = hs->image_count > 0;
    hs->image_count = 0;
    if (result != 0) break;
    if (!delivered) {
      ended = true;
      break;
    }
  }
  if (result == 0 && !ended) abort();  // the page never ended

  Reading want = plain_reading(data, size);
  if (got != want.data) abort();
  if (ended != want.ended) abort();
  if (ended) {
    // Once ended, the page stays ended without reading.
    if (bb_get_image_data(hs) != 0 || hs->image_count != 0) abort();
    if (bb_get_size(hs, 5) != 0) abort();
  }

  bb_end_page(hs, result);
  if (memchan::open_channels() != 0 || hs->bb_session->http != nullptr) abort();
  return 0;
}
