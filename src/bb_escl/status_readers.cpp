// Readers of the eSCL ScannerStatus document: feeder state, the state of the
// current job and the images it still has to transfer.  They are substring
// scanners, not XML parsers: each finds a fixed opening tag, copies the text
// up to the next '<' into a small bounded field and classifies the copy.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "../http/xml_namespaces.h"
#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "../http/limits.h"
#include "session.h"
#include "status_tags.h"
#include "../http/text.h"

namespace bb {
namespace {


constexpr size_t kStateTextSize = 50;   // 49 characters and the NUL
constexpr size_t kCountTextSize = 10;   // 9 digits and the NUL

// Feeder state words, tested in this order; the first one found decides.
// A mispick is reported like an unknown state, not as a jam: the page was
// never drawn in, so there is nothing to clear.
template <typename Result>
struct StateWord {
  std::string_view word;
  Result result;
};
constexpr StateWord<SANE_Status> kAdfWords[] = {
    {"ScannerAdfLoaded", SANE_STATUS_GOOD},
    {"ScannerAdfEmpty", SANE_STATUS_NO_DOCS},
    {"ScannerAdfJam", SANE_STATUS_JAMMED},
    {"ScannerAdfProcessing", SANE_STATUS_DEVICE_BUSY},
    {"ScannerAdfMispick", SANE_STATUS_UNSUPPORTED},
    {"ScannerAdfHatchOpen", SANE_STATUS_COVER_OPEN},
};

// Job state words, tested in this order.
constexpr StateWord<int> kJobWords[] = {
    {"Completed", BB_JOB_COMPLETED}, {"Canceled", BB_JOB_CANCELED},
    {"Aborted", BB_JOB_ABORTED},     {"Pending", BB_JOB_PENDING},
    {"Processing", BB_JOB_PROCESSING},
};

// The result of the first word of `table` that `state` contains, else
// `otherwise`.
template <typename Result, size_t N>
Result classify(std::string_view state, const StateWord<Result> (&table)[N], Result otherwise) {
  for (const StateWord<Result> &w : table)
    if (contains(state, w.word)) return w.result;
  return otherwise;
}

// Copies the text of the first element whose opening tag starts with
// `tag_start` ("<p:Local", attributes may follow) in `doc` up to the next
// '<' into `out` (cut to its room).  False when the element is absent.
bool copy_element_text(std::string_view doc, std::string_view tag_start, char *out, size_t room) {
  if (tag_start.empty()) return false;
  for (size_t at = doc.find(tag_start); at != std::string_view::npos;
       at = doc.find(tag_start, at + 1)) {
    std::string_view rest = drop(doc, at + tag_start.size());
    // Another element whose name only starts the same ("<p:StateReasons").
    if (rest.empty() || !(rest[0] == '>' || rest[0] == ' ' || rest[0] == '\t' ||
                          rest[0] == '\r' || rest[0] == '\n'))
      continue;
    size_t close = rest.find('>');
    if (close == std::string_view::npos) return false;
    copy_bounded(out, room, take_until(drop(rest, close + 1), '<'));
    return true;
  }
  return false;
}

constexpr std::string_view kJobsPath = "/eSCL/ScanJobs/";

// Whether a JobUri text names the job `id`.  Devices write the job's path
// ("/eSCL/ScanJobs/ID"), an absolute URL with that path, either with a
// trailing slash, and some pad the text with line breaks and blanks.
bool job_uri_names(std::string_view uri, std::string_view id) {
  uri = trim_xml_space(uri);
  size_t scheme = uri.find("://");
  if (scheme != std::string_view::npos && uri.find('/') > scheme) {
    size_t path = uri.find('/', scheme + 3);
    if (path == std::string_view::npos) return false;
    uri = drop(uri, path);
  }
  if (uri.ends_with('/')) uri.remove_suffix(1);
  return uri.size() == kJobsPath.size() + id.size() && uri.starts_with(kJobsPath) &&
         drop(uri, kJobsPath.size()) == id;
}

// The current job's own entry in the job list: from its JobInfo opening tag
// (or the end of the entry before it) to its JobInfo closing tag (or the
// next job's URI).  Empty, with found == false, when the job is not listed.
std::string_view job_entry(const host_session *hs, std::string_view doc, StatusTags &tags,
                           bool *found) {
  std::string_view id = job_id_text(hs);
  *found = false;
  const std::string_view uri_open = tags.open(xml_ns::kPwg, "JobUri");
  const std::string_view uri_close = tags.close(xml_ns::kPwg, "JobUri");
  const std::string_view info_open = tags.open_start(xml_ns::kEscl, "JobInfo");
  const std::string_view info_close = tags.close(xml_ns::kEscl, "JobInfo");
  if (uri_open.empty() || info_open.empty()) return {};
  size_t previous_end = 0;
  for (size_t from = 0;;) {
    size_t open = doc.find(uri_open, from);
    if (open == std::string_view::npos) return {};
    size_t text = open + uri_open.size();
    size_t close = doc.find(uri_close, text);
    if (close == std::string_view::npos) return {};
    from = close + uri_close.size();
    if (!job_uri_names(slice(doc, text, close), id)) {
      previous_end = from;
      continue;
    }
    std::string_view before = slice(doc, previous_end, open);
    size_t start = previous_end;
    size_t info = before.rfind(info_open);
    size_t info_end = before.rfind(info_close);
    if (info_end != std::string_view::npos) start = previous_end + info_end + info_close.size();
    if (info != std::string_view::npos && previous_end + info >= start) start = previous_end + info;
    size_t end = doc.find(info_close, from);
    size_t next_uri = doc.find(uri_open, from);
    if (next_uri < end) end = next_uri;
    if (end == std::string_view::npos) end = doc.size();
    *found = true;
    return slice(doc, start, end);
  }
}

}  // namespace

bb_session *session_of(const host_session *hs) { return hs == nullptr ? nullptr : hs->bb_session; }

std::string_view job_id_text(const host_session *hs) {
  return buffer_text(hs->job_id, sizeof hs->job_id);
}

std::string_view scanner_state(std::string_view doc, char *buf, size_t room) {
  StatusTags tags(doc);
  if (room == 0) return {};
  buf[0] = '\0';
  std::string_view tag = tags.open_start(xml_ns::kPwg, "State");
  if (tag.empty() || !copy_element_text(doc, tag, buf, room)) return {};
  return trim_xml_space(buffer_text(buf, room));
}

bool scanner_idle(std::string_view doc) {
  char state[kStateTextSize] = {};
  return scanner_state(doc, state, sizeof state) == "Idle";
}

SANE_Status read_adf_state(std::string_view doc) {
  char state[kStateTextSize] = {};
  // No feeder, or one the device does not report on: nothing to log.
  StatusTags tags(doc);
  std::string_view tag = tags.open_start(xml_ns::kEscl, "AdfState");
  if (tag.empty() || !copy_element_text(doc, tag, state, sizeof state)) return SANE_STATUS_UNSUPPORTED;
  const SANE_Status status = classify(std::string_view(state), kAdfWords, SANE_STATUS_UNSUPPORTED);
  syslog(LOG_INFO, "bb_escl 1306: bb_get_adf_state state=[%s] stat=[%d] \n", state, status);
  return status;
}

int read_job_state(const host_session *hs, std::string_view doc) {
  std::string_view id = job_id_text(hs);
  syslog(LOG_INFO, "bb_escl 1405: bb_get_JobState jobid[%.*s]\n", static_cast<int>(id.size()),
         id.data());
  // No job: nothing can be outstanding.
  if (id.empty()) return BB_JOB_COMPLETED;

  int code = BB_JOB_NOT_FOUND;
  char state[kStateTextSize] = {};
  bool listed = false;
  // The state is read from the job's own entry only: an entry without one
  // must not take a later job's.
  StatusTags tags(doc);
  std::string_view entry = job_entry(hs, doc, tags, &listed);
  if (listed &&
      copy_element_text(entry, tags.open_start(xml_ns::kPwg, "JobState"), state, sizeof state))
    code = classify(std::string_view(state), kJobWords, code);
  syslog(LOG_INFO, "bb_escl 1442: bb_get_JobState: js=[%s] jobstate=[%d].\n", state, code);
  return code;
}

int32_t read_images_to_transfer(const host_session *hs, std::string_view doc) {
  std::string_view id = job_id_text(hs);
  syslog(LOG_INFO, "bb_escl 1371: bb_get_ImagesToTransfer jobid[%.*s]\n",
         static_cast<int>(id.size()), id.data());
  if (id.empty()) return 0;
  bool listed = false;
  StatusTags tags(doc);
  std::string_view entry = job_entry(hs, doc, tags, &listed);
  char count[kCountTextSize] = {};
  if (!listed ||
      !copy_element_text(entry, tags.open_start(xml_ns::kPwg, "ImagesToTransfer"), count,
                         sizeof count))
    return 0;
  // Nine characters at most: strtol cannot overflow a 32-bit value here.
  auto pending = static_cast<int32_t>(strtol(count, nullptr, 10));
  syslog(LOG_INFO, "bb_escl 1392: pending_image =%d \n", pending);
  return pending;
}

}  // namespace bb

BB_EXPORT SANE_Status bb_get_adf_state(host_session *, const char *status_doc) {
  return bb::read_adf_state(bb::c_text(status_doc));
}

BB_EXPORT int bb_get_JobState(host_session *hs, const char *status_doc) {
  if (hs == nullptr) return BB_JOB_NOT_FOUND;
  return bb::read_job_state(hs, bb::c_text(status_doc));
}

BB_EXPORT int bb_get_ImagesToTransfer(host_session *hs, const char *status_doc) {
  if (hs == nullptr) return 0;
  return bb::read_images_to_transfer(hs, bb::c_text(status_doc));
}
