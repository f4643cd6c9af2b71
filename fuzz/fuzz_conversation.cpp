// A whole conversation with a device scripted from the input, driven through
// the entry points the way the backend drives a scan: bb_open (the
// capabilities), the frame parameters, the feeder check and the page start
// (which posts the job), the page's image data chunk by chunk, the next
// pages of a feeder batch, the scan's end (with a cancel when it failed or
// was cancelled) and bb_close.
//
// The input is a header of kHeader bytes, then the device's answers, one
// for each channel the plug-in opens, in the order it opens them, separated
// by kSeparator.  An empty answer refuses its open; once the answers are
// used up, every open is refused.  The header:
//   0  the source (an index into the published list) and, /4, the mode;
//   1  the resolution (an index into the source's list) and, /16, how much
//      of the area is asked for;
//   2  how many bytes a channel read brings (0: 4096, below 16: that + 1,
//      else 16 times it);
//   3  flags: kEndIsClose, kStatusBetweenChunks, kCancelInWait,
//      kCancelBetweenChunks; /16, the pages a feeder batch asks for;
//   4  when the cancel comes: at that usleep, or after that many chunks;
//   5  the size of the host's status buffer, in 64-byte steps.
// Every request the plug-in writes must be well formed with a plain target;
// the image count never leaves the image buffer; results stay in the sets
// the entry points document; waits are bounded and end soon after a cancel;
// no channel is used after its close, closed twice or left open.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "bb_escl.h"
#include "bb_escl/session.h"
#include "memory_channel.h"

namespace {

constexpr size_t kHeader = 6;
constexpr std::string_view kSeparator = "\x1e\x1e";

constexpr uint8_t kEndIsClose = 1;           // an answer's end reads as the device closing
constexpr uint8_t kStatusBetweenChunks = 2;  // the host asks the status during a page
constexpr uint8_t kCancelInWait = 4;         // a cancel arrives during a wait
constexpr uint8_t kCancelBetweenChunks = 8;  // a cancel arrives while the page is read

constexpr int kMaxChannels = 64;
constexpr int kMaxFirstPageAttempts = 3;  // the backend's busy retries, without the pauses
constexpr int kMaxChunks = 512;
constexpr int kKvchanConnect = 5;
constexpr int kKvchanClosed = 7;
constexpr int kKvchanNoChannel = 3;

// A page start may sleep through its 300 s budget; nothing else waits long.
constexpr unsigned long long kMaxSleepPerCallUs = 310ULL * 1000000ULL;
// After a cancel, any wait ends within half a second.
constexpr unsigned long long kMaxSleepAfterCancelUs = 500000ULL;
constexpr size_t kMaxRequestLine = 512;

// What the plug-in writes on one channel, read as HTTP requests.
struct RequestCheck {
  enum class Part { request_line, headers, body } part = Part::request_line;
  char line[kMaxRequestLine];
  size_t len = 0;
  long long body_left = 0;
  long long content_length = 0;
};

struct Channel {
  std::string_view answer;
  size_t pos = 0;
  bool open = false;
  RequestCheck requests;
};

struct Conversation {
  std::string_view rest;  // answers not yet handed to a channel
  bool answers_left = true;
  size_t piece = 4096;
  bool end_is_close = false;
  Channel channels[kMaxChannels];
  int opened = 0;
  int open_now = 0;
  host_session *hs = nullptr;
  unsigned long long slept_us = 0;  // in the current entry-point call
  unsigned sleeps = 0;              // since the scan began
  unsigned cancel_at_sleep = 0;     // 0: no cancel in a wait
  bool cancel_raised = false;
  unsigned long long slept_since_cancel_us = 0;
};

Conversation g;

// CONVERSATION_TRACE=1 in the environment shows the conversation of an
// input on standard error, for reading a finding.
bool tracing() {
  static const bool on = getenv("CONVERSATION_TRACE") != nullptr;
  return on;
}

#define TRACE(...)                                  \
  do {                                              \
    if (tracing()) fprintf(stderr, __VA_ARGS__); \
  } while (0)

bool target_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~:@!$&'()*+,;=%/").find(c) != std::string_view::npos;
}

// "METHOD /target HTTP/1.1": a method the plug-in uses, a target of plain
// path segments (none of them "." or ".."), nothing else.
void check_request_line(std::string_view line) {
  size_t sp = line.find(' ');
  if (sp == std::string_view::npos) abort();
  std::string_view method = line.substr(0, sp);
  if (method != "GET" && method != "POST" && method != "DELETE") abort();
  std::string_view rest = line.substr(sp + 1);
  sp = rest.find(' ');
  if (sp == std::string_view::npos || rest.substr(sp + 1) != "HTTP/1.1") abort();
  std::string_view target = rest.substr(0, sp);
  if (target.empty() || target[0] != '/') abort();
  for (char c : target) {
    if (!target_char(c)) abort();
  }
  while (!target.empty()) {
    target.remove_prefix(1);  // the '/'
    std::string_view segment = target.substr(0, target.find('/'));
    if (segment == "." || segment == "..") abort();
    target.remove_prefix(segment.size());
  }
}

long long content_length_of(std::string_view header) {
  constexpr std::string_view kName = "content-length:";
  if (header.size() < kName.size()) return -1;
  for (size_t i = 0; i < kName.size(); ++i) {
    char c = header[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return -1;
  }
  long long value = 0;
  for (char c : header.substr(kName.size())) {
    if (c == ' ') continue;
    if (c < '0' || c > '9' || value > 1000000) abort();
    value = value * 10 + (c - '0');
  }
  return value;
}

// Takes one written byte: lines end with CR LF and hold no other CR or LF.
void check_request_byte(RequestCheck &r, char c) {
  if (r.part == RequestCheck::Part::body) {
    if (--r.body_left == 0) r.part = RequestCheck::Part::request_line;
    return;
  }
  if (r.len == kMaxRequestLine) abort();
  r.line[r.len++] = c;
  if (c == '\r') return;
  bool after_cr = r.len >= 2 && r.line[r.len - 2] == '\r';
  if (c != '\n') {
    if (after_cr) abort();  // a bare CR inside a line
    return;
  }
  if (!after_cr) abort();  // a bare LF
  std::string_view line(r.line, r.len - 2);
  for (char b : line) {
    if (b == '\r' || b == '\n' || b == '\0') abort();
  }
  r.len = 0;
  if (r.part == RequestCheck::Part::request_line) {
    TRACE("  request: %.*s\n", static_cast<int>(line.size()), line.data());
    check_request_line(line);
    r.part = RequestCheck::Part::headers;
    r.content_length = 0;
    return;
  }
  if (!line.empty()) {
    long long length = content_length_of(line);
    if (length >= 0) r.content_length = length;
    return;
  }
  r.body_left = r.content_length;
  r.part = r.body_left > 0 ? RequestCheck::Part::body : RequestCheck::Part::request_line;
}

// The next answer of the script, or none when they are used up.
bool next_answer(std::string_view &answer) {
  if (!g.answers_left) return false;
  size_t cut = g.rest.find(kSeparator);
  answer = g.rest.substr(0, cut);
  if (cut == std::string_view::npos) {
    g.answers_left = false;
  } else {
    g.rest.remove_prefix(cut + kSeparator.size());
  }
  return true;
}

Channel *channel_of(int id) {
  if (id < 1 || id > g.opened || !g.channels[id - 1].open) return nullptr;
  return &g.channels[id - 1];
}

int scripted_open(const char *name, int *channel) {
  if (name == nullptr || channel == nullptr) abort();
  *channel = 0;
  std::string_view answer;
  if (g.opened == kMaxChannels || !next_answer(answer) || answer.empty()) {
    TRACE("  open %s: refused\n", name);
    return kKvchanConnect;
  }
  TRACE("  open %s: channel %d, %zu bytes\n", name, g.opened + 1, answer.size());
  Channel &c = g.channels[g.opened++];
  c = Channel();
  c.answer = answer;
  c.open = true;
  ++g.open_now;
  *channel = g.opened;
  return 0;
}

int scripted_read(int id, void *data, int size, int *bytes_read) {
  *bytes_read = 0;
  Channel *c = channel_of(id);
  if (c == nullptr) abort();  // a read on a channel that is not open
  if (size < 0 || data == nullptr) abort();
  size_t left = c->answer.size() - c->pos;
  if (left == 0) return g.end_is_close ? kKvchanClosed : 0;
  size_t n = left < g.piece ? left : g.piece;
  if (n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
  memcpy(data, c->answer.data() + c->pos, n);
  c->pos += n;
  *bytes_read = static_cast<int>(n);
  return 0;
}

int scripted_write(int id, const void *data, int size, int *written) {
  Channel *c = channel_of(id);
  if (c == nullptr) abort();
  if (size < 0 || (size > 0 && data == nullptr)) abort();
  const char *bytes = static_cast<const char *>(data);
  for (int i = 0; i < size; ++i) check_request_byte(c->requests, bytes[i]);
  if (written != nullptr) *written = size;
  return 0;
}

int scripted_close(int id) {
  Channel *c = channel_of(id);
  if (c == nullptr) abort();  // closed twice, or never opened
  c->open = false;
  --g.open_now;
  TRACE("  close channel %d\n", id);
  return 0;
}

// usleep: nothing sleeps; the time is counted, and the host's cancel comes
// at the sleep the input names, as a signal would.
void scripted_sleep(unsigned us) {
  g.slept_us += us;
  if (g.slept_us > kMaxSleepPerCallUs) abort();
  ++g.sleeps;
  if (g.cancel_raised) {
    g.slept_since_cancel_us += us;
    if (g.slept_since_cancel_us > kMaxSleepAfterCancelUs) abort();
  }
  if (g.cancel_at_sleep != 0 && g.sleeps == g.cancel_at_sleep && g.hs != nullptr) {
    g.hs->cancel_requested = 1;
    g.cancel_raised = true;
  }
}

const memchan::ScriptedDevice kDevice = {scripted_open, scripted_read, scripted_write,
                                         scripted_close, scripted_sleep};

host_session *fresh_host() {
  // 4 MB with the image buffer: allocated once; everything but the image
  // buffer zeroed, as the host zero-fills its record before bb_open.
  static host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  memset(hs, 0, offsetof(host_session, image_buffer));
  memset(&hs->bb_session, 0, sizeof *hs - offsetof(host_session, bb_session));
  hs->dd = 1;
  hs->gated_option_cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT | SANE_CAP_ADVANCED;
  return hs;
}

// Each entry-point call has its own allowance of sleeps.
void begin_call(const char *entry) {
  g.slept_us = 0;
  TRACE("%s\n", entry);
}

void check_status(SANE_Status s) {
  switch (s) {
    case SANE_STATUS_GOOD: case SANE_STATUS_UNSUPPORTED: case SANE_STATUS_CANCELLED:
    case SANE_STATUS_DEVICE_BUSY: case SANE_STATUS_JAMMED: case SANE_STATUS_NO_DOCS:
    case SANE_STATUS_COVER_OPEN: case SANE_STATUS_IO_ERROR:
      break;
    default:
      abort();
  }
}

void check_zero_or_one(int r) {
  if (r != 0 && r != 1) abort();
}

bool has_job(const host_session *hs) { return hs->job_id[0] != '\0'; }

// The scan's end as the backend ends it: a failed or cancelled scan marks
// an existing job interrupted and asks for the cancel; the plug-in then
// holds no channel.
void end_scan(host_session *hs, bool cancel) {
  hs->cancel_requested = 0;
  g.cancel_raised = false;
  if (cancel && has_job(hs)) hs->scan_interrupted = 1;
  begin_call(cancel ? "bb_end_scan(cancel)" : "bb_end_scan");
  check_zero_or_one(bb_end_scan(hs, cancel ? 1 : 0));
  if (g.open_now != 0 || has_job(hs)) abort();
}

struct Choice {
  int32_t source;
  int32_t mode;
  int32_t resolution;
  int eighths;  // of the source's width and height
  int pages;
  uint8_t flags;
  uint8_t cancel_point;
  int32_t status_buffer;
};

// What the host sets from its options before a scan.
void apply_options(host_session *hs, const Choice &c) {
  hs->current_source = c.source;
  hs->current_mode = c.mode;
  hs->current_resolution = c.resolution;
  const source_geometry &geo = hs->source_geometry[c.source - 1];
  hs->x_range_max = geo.br_x_range.max;
  hs->tl_x = hs->tl_y = 0;
  hs->br_x = static_cast<SANE_Fixed>(static_cast<int64_t>(geo.br_x_range.max) * c.eighths / 8);
  hs->br_y = static_cast<SANE_Fixed>(static_cast<int64_t>(geo.br_y_range.max) * c.eighths / 8);
  hs->effective_tl_x = hs->tl_x;
  hs->effective_tl_y = hs->tl_y;
  hs->effective_br_x = hs->br_x;
  hs->effective_br_y = hs->br_y;
}

// Picks the scan from the header among what bb_open published.
bool choose(const host_session *hs, const uint8_t *head, Choice &c) {
  int sources = 0;
  while (sources < BB_SOURCE_COUNT && hs->source_names[sources] != nullptr) ++sources;
  int modes = 0;
  while (modes < 3 && hs->mode_names[modes] != nullptr) ++modes;
  if (sources == 0 || modes == 0) return false;
  c.source = hs->source_ids[head[0] % sources];
  c.mode = hs->mode_ids[(head[0] / 4) % modes];
  if (c.source < BB_SOURCE_FLATBED || c.source > BB_SOURCE_CAMERA) abort();
  if (c.mode < BB_MODE_LINEART || c.mode > BB_MODE_COLOR) abort();
  const SANE_Word *list = hs->source_geometry[c.source - 1].resolutions;
  if (list[0] < 0 || list[0] > BB_WORD_LIST_WORDS - 1) abort();
  c.resolution = list[0] > 0 ? list[1 + head[1] % list[0]] : 300;
  c.eighths = 1 + (head[1] / 16) % 8;
  c.flags = head[3];
  c.pages = 1 + (head[3] / 16) % 4;
  c.cancel_point = head[4];
  c.status_buffer = 64 * (1 + head[5] % 64);
  return true;
}

// A status query during a page, and the readers over its document.
void query_status(host_session *hs, int32_t size) {
  char *buf = static_cast<char *>(malloc(static_cast<size_t>(size)));
  begin_call("bb_get_scanner_status");
  SANE_Status s = bb_get_scanner_status(hs, buf, size);
  TRACE("  -> %d\n", s);
  check_status(s);
  if (s == SANE_STATUS_GOOD) {
    if (memchr(buf, 0, static_cast<size_t>(size)) == nullptr) abort();
    check_status(bb_get_adf_state(hs, buf));
    int job_state = bb_get_JobState(hs, buf);
    if (job_state < BB_JOB_CANCELED || job_state > BB_JOB_NOT_FOUND) abort();
    bb_get_ImagesToTransfer(hs, buf);
  }
  free(buf);
}

enum class PageEnd { done, failed, cancelled };

// The page's image data until its end, a failure or the host's cancel.
PageEnd read_page(host_session *hs, const Choice &c) {
  SANE_Parameters params{};
  hs->image_pixels_per_row = 1 + c.eighths * 100;
  hs->image_rows = 1 + c.eighths * 140;
  bb_get_parameters(hs, &params, 1);
  for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
    if ((c.flags & kCancelBetweenChunks) != 0 && chunk == c.cancel_point % 8) {
      return PageEnd::cancelled;
    }
    hs->image_count = 0;
    begin_call("bb_get_image_data");
    int failed = bb_get_image_data(hs);
    TRACE("  -> %d, %d bytes\n", failed, hs->image_count);
    check_zero_or_one(failed);
    int32_t count = hs->image_count;
    if (count < 0 || count > BB_IMAGE_BUFFER_SIZE) abort();
    hs->image_count = 0;
    if (hs->cancel_requested != 0) return PageEnd::cancelled;
    if (failed) return PageEnd::failed;
    if (count == 0) return PageEnd::done;
    if (chunk == 0 && (c.flags & kStatusBetweenChunks) != 0) query_status(hs, c.status_buffer);
  }
  return PageEnd::failed;
}

// The backend's start of a page: the first page retries a busy device,
// later ones end the batch on anything but GOOD.
SANE_Status start_page(host_session *hs, const Choice &c, bool first) {
  const bool feeder = c.source == BB_SOURCE_ADF || c.source == BB_SOURCE_DUPLEX;
  hs->cancel_requested = 0;
  SANE_Status status = SANE_STATUS_IO_ERROR;
  for (int attempt = 0; attempt < (first ? kMaxFirstPageAttempts : 1); ++attempt) {
    status = SANE_STATUS_GOOD;
    if (feeder || !first) {
      begin_call("bb_check_scanner_to_continue");
      status = bb_check_scanner_to_continue(hs);
      TRACE("  -> %d\n", status);
      check_status(status);
    }
    if (status == SANE_STATUS_GOOD) {
      begin_call("bb_start_scan");
      status = bb_start_scan(hs);
      TRACE("  -> %d after %llu us of sleeps\n", status, g.slept_us);
      check_status(status);
      if (status == SANE_STATUS_GOOD) {
        if (g.open_now != 1) abort();  // the page's channel, and only it
        return hs->cancel_requested != 0 ? SANE_STATUS_CANCELLED : status;
      }
    }
    if (status != SANE_STATUS_DEVICE_BUSY || hs->cancel_requested != 0) break;
  }
  if (!first && status == SANE_STATUS_IO_ERROR && hs->cancel_requested == 0) {
    // A feeder that jams on the next sheet may say so only after the
    // refused page: the backend asks once more.
    begin_call("bb_check_scanner_to_continue");
    SANE_Status why = bb_check_scanner_to_continue(hs);
    TRACE("  -> %d\n", why);
    check_status(why);
    if (why == SANE_STATUS_JAMMED || why == SANE_STATUS_COVER_OPEN) status = why;
  }
  return status;
}

void scan(host_session *hs, const Choice &c) {
  apply_options(hs, c);
  SANE_Parameters params{};
  bb_get_parameters(hs, &params, 0);
  const bool feeder = c.source == BB_SOURCE_ADF || c.source == BB_SOURCE_DUPLEX;
  for (int page = 0; page < c.pages; ++page) {
    SANE_Status started = start_page(hs, c, page == 0);
    if (started != SANE_STATUS_GOOD) {
      end_scan(hs, started != SANE_STATUS_NO_DOCS || page == 0);
      return;
    }
    PageEnd end = read_page(hs, c);
    if (end != PageEnd::done) {
      if (end == PageEnd::failed) check_zero_or_one(bb_end_page(hs, 1));
      end_scan(hs, true);
      return;
    }
    check_zero_or_one(bb_end_page(hs, 0));
    if (!feeder) break;
  }
  end_scan(hs, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeader) return 0;
  const uint8_t *head = data;
  g = Conversation();
  g.rest = std::string_view(reinterpret_cast<const char *>(data + kHeader), size - kHeader);
  g.piece = head[2] == 0 ? 4096 : head[2] < 16 ? head[2] + 1u : 16u * head[2];
  g.end_is_close = (head[3] & kEndIsClose) != 0;
  memchan::use_device(&kDevice);

  host_session *hs = fresh_host();
  g.hs = hs;
  begin_call("bb_open");
  int opened = bb_open(hs);
  TRACE("  -> %d\n", opened);
  if (opened != 0 && opened != 1 && opened != BB_OPEN_NO_SOURCE) abort();
  if (g.open_now != 0) abort();
  Choice choice{};
  if (opened == 0 && choose(hs, head, choice)) {
    if ((choice.flags & kCancelInWait) != 0) g.cancel_at_sleep = 1u + choice.cancel_point;
    scan(hs, choice);
  }
  check_zero_or_one(bb_close(hs));
  if (g.open_now != 0 || hs->bb_session != nullptr) abort();
  memchan::use_device(nullptr);
  return 0;
}
