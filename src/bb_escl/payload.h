// Reads the whole answer to one eSCL request from bb_session::http.
#pragma once

#include <stdint.h>

struct bb_session;

int bb_read_http_payload(bb_session *session, char *buf, int32_t len, int32_t sectime,
                         int32_t *bytes_read);
