// Arbitrary bytes through the capabilities reader.  The first byte chooses
// the road, the second how many bytes each channel read brings; the rest
// is the document:
//   0  normalize_body, then the walk over the normalised text;
//   1  the walk over the raw bytes;
//   2  bb_open with the bytes as a Content-Length body;
//   3  bb_open with the bytes as one chunk of a chunked body.
// Documents are placed in heap blocks of exactly their size, so any read
// past the length the walk is given is caught.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "bb_escl.h"
#include "bb_escl/capabilities.h"
#include "bb_escl/session.h"
#include "http/xml.h"
#include "memory_channel.h"

namespace {

constexpr size_t kPrefix = 2;
// Longer inputs are cut here: enough for two sources of a minified
// document, and short enough for the CI run to stay within its time.
constexpr size_t kMaxDocument = 4096;

void check_record(const bb_session &s, int result) {
  if (result != 0 && result != 1) abort();
  if (s.escl_version < 0 || s.escl_version > 2) abort();
  if (s.caps.gated_option_enabled != 0) abort();
  for (const source_caps *b : {&s.caps.platen, &s.caps.adf_simplex, &s.caps.adf_duplex,
                               &s.caps.camera}) {
    if (b->resolutions[0] < 0 || b->resolutions[0] > BB_WORD_LIST_WORDS - 1) abort();
    if (b->color_modes[0] != 0) abort();
  }
  for (int32_t w : s.caps.reserved3)
    if (w != 0) abort();
}

void walk(const uint8_t *data, size_t size, bool normalise) {
  // The body as the fetch holds it: zero-terminated.
  char *text = static_cast<char *>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';
  size_t length = size;
  if (normalise) {
    size_t before = strlen(text);
    normalize_body(text);
    length = strlen(text);
    if (length > before) abort();
    for (size_t i = 0; i < length; ++i)
      if (text[i] == '\r' || text[i] == '\n' || text[i] == '\t') abort();
  }
  // The walk gets exactly `length` bytes and no terminator.
  char *doc = static_cast<char *>(malloc(length ? length : 1));
  memcpy(doc, text, length);
  free(text);
  bb_session session;
  memset(&session, 0, sizeof session);
  int result = bb_parse_scan_elements(doc, static_cast<int32_t>(length), &session, &session.caps);
  check_record(session, result);
  free(doc);
}

host_session *host() {
  // The image buffer makes the record 4 MB; only the fields around it are
  // reset between runs.
  static host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  memset(hs, 0, offsetof(host_session, image_buffer));
  hs->bb_session = nullptr;
  memset(hs->job_id, 0, sizeof hs->job_id);
  hs->job_page_count = 0;
  hs->dd = 1;
  return hs;
}

void open_device(const uint8_t *data, size_t size, size_t piece, bool chunked) {
  char head[128];
  int n = chunked ? snprintf(head, sizeof head,
                             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n%zx\r\n", size)
                  : snprintf(head, sizeof head, "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n",
                             size);
  static const char kLastChunk[] = "\r\n0\r\n\r\n";
  size_t tail = chunked ? sizeof kLastChunk - 1 : 0;
  size_t total = static_cast<size_t>(n) + size + tail;
  char *answer = static_cast<char *>(malloc(total));
  memcpy(answer, head, static_cast<size_t>(n));
  memcpy(answer + n, data, size);
  memcpy(answer + n + size, kLastChunk, tail);
  memchan::feed(answer, total, piece);

  host_session *hs = host();
  int result = bb_open(hs);
  if (result != 0 && result != 1 && result != BB_OPEN_NO_SOURCE) abort();
  // A device that opens names at least one source; one that names none is
  // refused with its own result.
  if ((result == 0) != (hs->source_names[0] != nullptr) && result != 1) abort();
  if (memchan::open_channels() != 0) abort();
  if (hs->bb_session == nullptr || hs->bb_session->http != nullptr) abort();
  check_record(*hs->bb_session, result == 0 ? 0 : 1);
  if (result == 0) {
    if ((hs->gated_option_cap & 0x20) == 0) abort();
    if (hs->resolution_list[0] < 0 || hs->resolution_list[0] > BB_WORD_LIST_WORDS - 1) abort();
    if (hs->mode_names[3] != nullptr || hs->source_names[4] != nullptr) abort();
  }
  if (bb_close(hs) != 0 || hs->bb_session != nullptr) abort();
  free(answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  const uint8_t road = data[0] % 4;
  const size_t piece = 1 + (size_t{data[1]} * 37) % 4096;
  data += kPrefix;
  size -= kPrefix;
  if (size > kMaxDocument) size = kMaxDocument;
  switch (road) {
    case 0:
      walk(data, size, true);
      break;
    case 1:
      walk(data, size, false);
      break;
    default:
      open_device(data, size, piece, road == 3);
      break;
  }
  return 0;
}
