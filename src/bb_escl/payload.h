// Reads the whole answer to one eSCL request from bb_session::http.
#pragma once

#include <stdint.h>

struct bb_session;
struct http_handle;

int bb_read_http_payload(bb_session *session, char *buf, int32_t len, int32_t sectime,
                         int32_t *bytes_read);

// Reads and drops the body of an answer that is passed over ("400 Bad
// Request" before the real answer) by its framing, so that the next header
// read starts at the next answer.  buf (len bytes) is scratch space.
int bb_skip_answer_body(http_handle *h, char *buf, int32_t len, int32_t sectime);
