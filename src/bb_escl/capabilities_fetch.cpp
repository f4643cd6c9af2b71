// Fetches the scanner's capabilities document over the scan channel and
// hands it to the walk.  The channel lives only inside the fetch.
#include <string.h>
#include <syslog.h>

#include "capabilities.h"
#include "../http/http.h"
#include "../http/xml.h"
#include "payload.h"
#include "request.h"
#include "session.h"

namespace {

constexpr int32_t kCapsSectime = 3;

// The document goes into the session's long text buffer: capabilities of
// devices with many setting profiles run past 32 KiB.
struct FetchBuffers {
  char *response;
  int32_t size;
  caps_walk_buffers walk;
};

// Some devices start the document with a UTF-8 byte-order mark or a line
// break; the text scanners expect it to start at its first '<' (or, for a
// chunked body, at its first chunk-size line).
void skip_document_lead(char *text) {
  size_t from = 0;
  if (strncmp(text, "\xEF\xBB\xBF", 3) == 0) from = 3;
  while (text[from] == ' ' || text[from] == '\t' || text[from] == '\r' || text[from] == '\n')
    ++from;
  if (from > 0) memmove(text, text + from, strlen(text + from) + 1);
}

int fetch_and_walk(host_session *hs, bb_session *session, escl_caps *caps, FetchBuffers &buf) {
  ChannelGuard channel(&session->http);
  if (http_open(hs->dd, "KV-ESCL-SCAN", &session->http) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 912: unable to open http connection %s\n", hs->device_uri);
    return 1;
  }
  if (bb::send_request(hs, session->http, "GET", {bb::kCapabilitiesPath}, kCapsSectime) != HTTP_OK) {
    syslog(LOG_ERR, "bb_escl 919: unable to get_scanner_elements %s\n", hs->device_uri);
    return 1;
  }
  int32_t received = 0;
  if (bb_read_http_payload(session, buf.response, buf.size - 1, kCapsSectime, &received) != 0)
    return 1;
  buf.response[buf.size - 1] = '\0';
  skip_document_lead(buf.response);
  normalize_body(buf.response);
  int32_t length = static_cast<int32_t>(strnlen(buf.response, static_cast<size_t>(buf.size)));
  return bb_parse_scan_elements(buf.response, length, session, caps, &buf.walk);
}

}  // namespace

int bb_get_scanner_elements(host_session *hs, escl_caps *caps) {
  FetchBuffers buf;
  buf.response = hs->bb_session->status_doc;
  buf.size = static_cast<int32_t>(sizeof hs->bb_session->status_doc);
  memset(buf.response, 0, static_cast<size_t>(buf.size));
  syslog(LOG_INFO, "bb_escl 909: bb_get_scanner_elements.\n");
  int stat = fetch_and_walk(hs, hs->bb_session, caps, buf);
  syslog(LOG_INFO, "bb_escl 941: bb_get_scanner_elements returning with (stat=%d).\n", stat);
  return stat;
}
