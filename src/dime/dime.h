// Reader for DIME-framed response bodies, chunked, counted or ended by the
// connection.
#pragma once

#include <stdint.h>

struct http_handle;

struct dime_handle {
  int32_t state;  // 1 open, 2 the record marked ME was handed out
  int32_t total;  // data bytes reported since the open
  http_handle *http;
  uint16_t flags;  // first two header bytes: VERSION(5) MB ME CF TYPE_T(4) reserved(4)
  uint16_t options_length;
  uint16_t id_length;
  uint16_t type_length;
  uint32_t data_length;
  // A record whose data is larger than the caller's buffer is handed out
  // over several reads: what is left of the current record.
  uint32_t data_left;  // data bytes not yet handed out
  uint32_t pad_left;   // padding bytes after them, not yet passed over
};

int dime_open(http_handle *http, int32_t sectime, dime_handle **place);
int dime_read(dime_handle *d, void *data, int32_t size, int32_t sectime, int32_t *length);
int dime_close(dime_handle *d);
int dime_read_record(dime_handle *d, void *data, int32_t size, int32_t sectime,
                     int32_t *length);
