// Arbitrary bytes through the status readers and the job location reader.
// The first byte chooses the road (modulo 8: 0-2 road 0, 3-5 road 1, 6 road
// 2, 7 road 3; the channel roads are slow, the readers are the target), the second the job identifier's length
// (0: no job); that many bytes follow as the identifier, the rest is the
// document or the response:
//   0  the readers over the text as the host hands it in (zero-terminated);
//   1  the readers over exactly the bytes, with no terminator;
//   2  bb_check_scanner_to_continue with the bytes as a whole response
//      (status line and headers included) on the in-memory channel;
//   3  the same with the bytes as a Content-Length body.
// On roads 2 and 3 the rest of the first byte picks the input source, and
// the response is cut to kMaxResponse bytes: a status answer is small.
// Every copy must stay inside its field; the fields around stay as set.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "bb_escl.h"
#include "bb_escl/job_control.h"
#include "bb_escl/session.h"
#include "memory_channel.h"

namespace {

constexpr size_t kPrefix = 2;
constexpr size_t kMaxResponse = 2048;
constexpr int32_t kSentinel = 0x5a5a5a5a;

host_session *host() {
  // 4 MB with the image buffer: allocated once, its small fields reset.
  static host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  static bb_session *bb = static_cast<bb_session *>(calloc(1, sizeof(bb_session)));
  memset(hs, 0, offsetof(host_session, image_buffer));
  memset(bb, 0, sizeof *bb);
  hs->bb_session = bb;
  hs->dd = 1;
  hs->scan_interrupted = kSentinel;
  hs->image_pixels_per_row = kSentinel;
  return hs;
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != nullptr; }

void check_fields(const host_session *hs) {
  if (!terminated(hs->job_url, sizeof hs->job_url)) abort();
  if (!terminated(hs->device_ip, sizeof hs->device_ip)) abort();
  if (!terminated(hs->job_id, sizeof hs->job_id)) abort();
  if (hs->scan_interrupted != kSentinel || hs->image_pixels_per_row != kSentinel) abort();
  if (hs->job_page_count != 0 && hs->job_page_count != 1) abort();
}

void check_reader_results(int adf, int job_state) {
  switch (adf) {
    case SANE_STATUS_GOOD: case SANE_STATUS_UNSUPPORTED: case SANE_STATUS_DEVICE_BUSY:
    case SANE_STATUS_JAMMED: case SANE_STATUS_NO_DOCS: case SANE_STATUS_COVER_OPEN:
      break;
    default:
      abort();
  }
  if (job_state < BB_JOB_CANCELED || job_state > BB_JOB_NOT_FOUND) abort();
}

// The readers over a zero-terminated copy, as the host calls them.
void read_terminated(host_session *hs, const uint8_t *data, size_t size) {
  char *text = static_cast<char *>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';
  check_reader_results(bb_get_adf_state(hs, text), bb_get_JobState(hs, text));
  bb_get_ImagesToTransfer(hs, text);
  int found = bb_get_url(hs, text);
  if (found != 0 && found != 1) abort();
  check_fields(hs);
  // The job the location named is looked for in the same text.
  check_reader_results(bb_get_adf_state(hs, text), bb_get_JobState(hs, text));
  bb_get_ImagesToTransfer(hs, text);
  free(text);
}

// The readers over exactly `size` bytes, placed at the end of their block.
void read_bounded(host_session *hs, const uint8_t *data, size_t size) {
  char *text = static_cast<char *>(malloc(size ? size : 1));
  memcpy(text, data, size);
  std::string_view doc(text, size);
  check_reader_results(bb::read_adf_state(doc), bb::read_job_state(hs, doc));
  bb::read_images_to_transfer(hs, doc);
  bb::scanner_idle(doc);
  if (bb::read_job_location(hs, doc) > 1) abort();
  check_fields(hs);
  check_reader_results(bb::read_adf_state(doc), bb::read_job_state(hs, doc));
  free(text);
}

void continue_check(host_session *hs, const uint8_t *data, size_t size, bool as_body,
                    int32_t source) {
  char head[96];
  int n = as_body ? snprintf(head, sizeof head, "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n", size) : 0;
  size_t total = static_cast<size_t>(n) + size;
  char *answer = static_cast<char *>(malloc(total ? total : 1));
  memcpy(answer, head, static_cast<size_t>(n));
  memcpy(answer + n, data, size);
  memchan::feed(answer, total, 1 + size % 1500);
  hs->current_source = source;
  SANE_Status st = bb_check_scanner_to_continue(hs);
  if (st != SANE_STATUS_IO_ERROR) check_reader_results(st, BB_JOB_COMPLETED);
  if (memchan::open_channels() != 0 || hs->bb_session->http != nullptr) abort();
  free(answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  static constexpr uint8_t kRoads[8] = {0, 0, 0, 1, 1, 1, 2, 3};
  const uint8_t road = kRoads[data[0] % 8];
  const int32_t source = BB_SOURCE_FLATBED + (data[0] / 8) % 3;
  size_t id_len = data[1] % BB_JOB_ID_SIZE;
  data += kPrefix;
  size -= kPrefix;
  if (id_len > size) id_len = size;

  host_session *hs = host();
  memcpy(hs->job_id, data, id_len);  // a NUL inside cuts it, as in a real field
  data += id_len;
  size -= id_len;

  switch (road) {
    case 0:
      read_terminated(hs, data, size);
      break;
    case 1:
      read_bounded(hs, data, size);
      break;
    default:
      continue_check(hs, data, size < kMaxResponse ? size : kMaxResponse, road == 3, source);
      break;
  }
  return 0;
}
