// DIME (Direct Internet Message Encapsulation) records carried in an HTTP
// body, read through the HTTP layer's body decoder whatever the body's
// framing: each record is a 12-byte header, then options, identifier, type
// and data, each padded to a multiple of 4 bytes.
#include "dime.h"

#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "../http/http.h"

namespace {

constexpr int32_t kRecordHeaderSize = 12;
constexpr int32_t kScratchSize = 1024;
// Options, identifier and type are passed over with a short limit: they
// follow the record header closely.
constexpr int32_t kSkipSectime = 1;
constexpr unsigned kVersionShift = 11;  // VERSION is the top 5 bits
constexpr uint16_t kDimeVersion = 1;
constexpr uint16_t kMessageBegin = 0x0400;
constexpr uint16_t kMessageEnd = 0x0200;

uint32_t padding(uint32_t length) { return (4 - length % 4) % 4; }
uint32_t padded(uint16_t length) { return length + padding(length); }

uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Reads `size` bytes of the body, asking each time for what is missing.
// `got` counts what arrived, also when the body ends or a read fails.
int read_exact(http_handle *h, unsigned char *dst, int32_t size, int32_t sectime, int32_t *got) {
  *got = 0;
  while (*got < size) {
    int32_t n = 0;
    int r = http_read_body(h, dst + *got, size - *got, sectime, &n);
    if (r != HTTP_OK) return r;
    *got += n;
  }
  return HTTP_OK;
}

// Reads and drops `count` bytes, a scratch area at a time.
int skip_bytes(http_handle *h, uint32_t count, int32_t sectime, uint32_t *skipped) {
  unsigned char scratch[kScratchSize];
  *skipped = 0;
  while (*skipped < count) {
    uint32_t left = count - *skipped;
    int32_t want = left < kScratchSize ? static_cast<int32_t>(left) : kScratchSize;
    int32_t got = 0;
    int r = read_exact(h, scratch, want, sectime, &got);
    *skipped += static_cast<uint32_t>(got);
    if (r != HTTP_OK) return r;
  }
  return HTTP_OK;
}

bool record_in_progress(const dime_handle *d) { return d->data_left > 0 || d->pad_left > 0; }

// Hands out the next piece of the current record's data: all of what is
// left when it fits in `size` (the padding is then read too), else `size`
// bytes.  The body ending early ends the record without failing.
int read_record_data(dime_handle *d, void *data, int32_t size, int32_t sectime,
                     int32_t *length) {
  *length = 0;
  auto *dst = static_cast<unsigned char *>(data);
  if (size <= 0 && d->data_left > 0) {
    syslog(LOG_ERR, "dime 196: no room for record data size=%d\n", size);
    return HTTP_IO_ERROR;
  }
  const uint32_t room = size > 0 ? static_cast<uint32_t>(size) : 0;
  const uint32_t data_left = d->data_left;
  int r = HTTP_OK;
  int32_t got = 0;
  uint32_t delivered = 0;
  if (static_cast<uint64_t>(d->data_left) + d->pad_left <= room) {
    r = read_exact(d->http, dst, static_cast<int32_t>(d->data_left + d->pad_left), sectime, &got);
    delivered = static_cast<uint32_t>(got) < d->data_left ? static_cast<uint32_t>(got) : d->data_left;
    d->pad_left -= static_cast<uint32_t>(got) - delivered;
    d->data_left -= delivered;
  } else {
    int32_t want = d->data_left <= room ? static_cast<int32_t>(d->data_left) : size;
    r = read_exact(d->http, dst, want, sectime, &got);
    delivered = static_cast<uint32_t>(got);
    d->data_left -= delivered;
    if (r == HTTP_OK && d->data_left == 0) {
      uint32_t skipped = 0;
      r = skip_bytes(d->http, d->pad_left, sectime, &skipped);
      d->pad_left -= skipped;
    }
  }
  if (r == HTTP_END) {
    syslog(LOG_ERR, "dime 205: message ended inside a record (%u of %u bytes)\n",
           data_left - d->data_left, data_left);
    d->data_left = 0;
    d->pad_left = 0;
  } else if (r != HTTP_OK) {
    return HTTP_IO_ERROR;
  }
  *length = static_cast<int32_t>(delivered);
  d->total = d->total > INT32_MAX - *length ? INT32_MAX : d->total + *length;
  return HTTP_OK;
}

int read_piece(dime_handle *d, void *data, int32_t size, int32_t sectime, int32_t *length) {
  if (record_in_progress(d)) return read_record_data(d, data, size, sectime, length);
  return dime_read_record(d, data, size, sectime, length);
}

}  // namespace

int dime_read_record(dime_handle *d, void *data, int32_t size, int32_t sectime,
                     int32_t *length) {
  *length = 0;
  unsigned char header[kRecordHeaderSize];
  int32_t got = 0;
  if (read_exact(d->http, header, kRecordHeaderSize, sectime, &got) != HTTP_OK)
    return HTTP_IO_ERROR;
  d->flags = be16(header);
  d->options_length = be16(header + 2);
  d->id_length = be16(header + 4);
  d->type_length = be16(header + 6);
  d->data_length = be32(header + 8);

  const int version = d->flags >> kVersionShift;
  if (version != kDimeVersion) {
    syslog(LOG_ERR, "dime 182: invalid dime version=%d\n", version);
    return HTTP_IO_ERROR;
  }
  // Options, identifier and type are not used: passed over in full.
  uint32_t skipped = 0;
  const uint32_t described =
      padded(d->options_length) + padded(d->id_length) + padded(d->type_length);
  if (skip_bytes(d->http, described, kSkipSectime, &skipped) != HTTP_OK) return HTTP_IO_ERROR;

  d->data_left = d->data_length;
  d->pad_left = padding(d->data_length);
  return read_record_data(d, data, size, sectime, length);
}

int dime_open(http_handle *http, int32_t sectime, dime_handle **place) {
  *place = nullptr;
  auto *d = static_cast<dime_handle *>(malloc(sizeof(dime_handle)));
  if (d == nullptr) {
    syslog(LOG_ERR, "dime 261: malloc failed: %m\n");
    return HTTP_NO_MEMORY;
  }
  memset(d, 0, sizeof *d);
  d->http = http;

  char scratch[kScratchSize];
  int32_t n = 0;
  if (http_read_header(http, scratch, kScratchSize, sectime, &n) != HTTP_OK) {
    syslog(LOG_ERR, "dime 270: dime_open failed sec=%d\n", sectime);
    free(d);
    return HTTP_IO_ERROR;
  }
  // The first record's data is not wanted, however long it is.
  int r = dime_read_record(d, scratch, kScratchSize, sectime, &n);
  while (r == HTTP_OK && record_in_progress(d))
    r = read_record_data(d, scratch, kScratchSize, sectime, &n);
  if (r != HTTP_OK) {
    syslog(LOG_ERR, "dime 277: dime_open failed sec=%d\n", sectime);
    free(d);
    return HTTP_IO_ERROR;
  }
  if ((d->flags & kMessageBegin) == 0) {
    syslog(LOG_ERR, "dime 284: invalid dime message=%x\n", d->flags);
    free(d);
    return HTTP_IO_ERROR;
  }
  // A message of one record has nothing more to hand out.
  d->state = (d->flags & kMessageEnd) != 0 ? 2 : 1;
  d->total = 0;
  *place = d;
  return HTTP_OK;
}

int dime_read(dime_handle *d, void *data, int32_t size, int32_t sectime, int32_t *length) {
  *length = 0;
  if (d->state == 2) return HTTP_END;
  if (read_piece(d, data, size, sectime, length) != HTTP_OK) return HTTP_IO_ERROR;
  // Only the last piece of the record marked ME ends the message.
  if (!record_in_progress(d) && (d->flags & kMessageEnd) != 0) d->state = 2;
  return HTTP_OK;
}

int dime_close(dime_handle *d) {
  free(d);
  return HTTP_OK;
}
