// Reads the whole answer to one eSCL request from bb_session::http.
#pragma once

#include <stdint.h>

struct bb_session;
struct http_handle;

// For "201 Created" the header, otherwise the body without its transfer
// framing: buf (len bytes) is zero-filled first and takes at most len bytes
// of it, so a caller that wants text reserves a byte for its NUL after len.
// 0 for success (*bytes_read: the bytes stored), 1 for failure.
int bb_read_http_payload(bb_session *session, char *buf, int32_t len, int32_t sectime,
                         int32_t *bytes_read);

// Reads and drops the body of an answer that is passed over ("400 Bad
// Request" before the real answer) by its framing, so that the next header
// read starts at the next answer.  buf (len bytes) is scratch space.
int bb_skip_answer_body(http_handle *h, char *buf, int32_t len, int32_t sectime);
