// Arbitrary device bytes through the HTTP layer's readers.  The first byte
// chooses the reader, the second how many bytes each channel read brings,
// the third the size of the caller's buffer; the rest is what the device
// sends.  Buffers are heap blocks of exactly their size, so any write or
// read past their end is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "bb_escl/payload.h"
#include "bb_escl/session.h"
#include "dime/dime.h"
#include "http/http.h"
#include "memory_channel.h"

namespace {

constexpr size_t kPrefix = 3;
// Every reader consumes at least one byte per call or ends, so this only
// guards against a reader that stops making progress.
constexpr int kMaxCalls = 100000;

struct Buffer {
  explicit Buffer(size_t n) : size(static_cast<int32_t>(n)), data(static_cast<char *>(malloc(n))) {
    memset(data, 0x5a, n);
  }
  ~Buffer() { free(data); }
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  int32_t size;
  char *data;
};

void read_header(http_handle *h, Buffer &buf) {
  int32_t n = 0;
  http_read_header(h, buf.data, buf.size, 5, &n);
  if (n < 0 || n >= buf.size) abort();
}

void read_payload(http_handle *h, Buffer &buf) {
  bb_session session;
  memset(&session, 0, sizeof session);
  session.http = h;
  int32_t n = 0;
  if (bb_read_http_payload(&session, buf.data, buf.size, 3, &n) != 0) return;
  // A body may fill the whole buffer; a header always leaves room for its
  // NUL.
  if (n < 0 || n > buf.size || (h->http_status == 201 && n == buf.size)) abort();
}

void read_text(http_handle *h, Buffer &buf) {
  int32_t n = 0;
  if (http_read_header(h, buf.data, buf.size, 5, &n) != HTTP_OK) return;
  http_read(h, buf.data, buf.size, 5, &n);
  if (n < 0 || n > buf.size) abort();
}

// The body piece by piece, asking now and then what follows without more
// framing: a piece never runs past what was announced.
void read_body(http_handle *h, Buffer &buf) {
  int32_t n = 0;
  if (http_read_header(h, buf.data, buf.size, 5, &n) != HTTP_OK) return;
  for (int calls = 0; calls < kMaxCalls; ++calls) {
    int32_t ready = -1;
    if (calls % 3 == 1) {
      int r = http_body_ready(h, 5, &ready);
      if (r != HTTP_OK) return;
      if (ready <= 0) abort();
    }
    int r = http_read_body(h, buf.data, buf.size, 5, &n);
    if (r != HTTP_OK) {
      if (n != 0) abort();
      return;
    }
    if (n <= 0 || n > buf.size || (ready > 0 && n > ready)) abort();
  }
  abort();
}

void read_counts(http_handle *h, Buffer &buf) {
  int32_t n = 0;
  for (int calls = 0; calls < kMaxCalls; ++calls) {
    int32_t want = 1 + calls % buf.size;
    if (http_read_size(h, buf.data, want, 5, &n) != HTTP_OK) return;
    if (n != want) abort();
  }
  abort();
}

void read_dime(http_handle *h, Buffer &buf) {
  dime_handle *d = nullptr;
  if (dime_open(h, 5, &d) != HTTP_OK) {
    if (d != nullptr) abort();
    return;
  }
  int32_t n = 0;
  for (int calls = 0; calls < kMaxCalls; ++calls) {
    if (dime_read(d, buf.data, buf.size, 5, &n) != HTTP_OK) {
      dime_close(d);
      return;
    }
    if (n < 0 || n > buf.size) abort();
  }
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  const uint8_t reader = data[0];
  const size_t piece = data[1] == 0 ? 4096 : data[1];
  Buffer buf(1 + static_cast<size_t>(data[2]) * 8);
  memchan::feed(data + kPrefix, size - kPrefix, piece);

  http_handle *h = nullptr;
  if (http_open(7, "KV-ESCL-SCAN", &h) != HTTP_OK) abort();
  switch (reader % 6) {
    case 0: read_header(h, buf); break;
    case 1: read_payload(h, buf); break;
    case 2: read_text(h, buf); break;
    case 3: read_body(h, buf); break;
    case 4: read_counts(h, buf); break;
    case 5: read_dime(h, buf); break;
  }
  http_close(h);
  if (memchan::open_channels() != 0) abort();
  return 0;
}
