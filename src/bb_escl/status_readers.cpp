// Readers of the eSCL ScannerStatus document: feeder state, the state of the
// current job and the images it still has to transfer.  They are substring
// scanners, not XML parsers: each finds a fixed opening tag, copies the text
// up to the next '<' into a small bounded field and classifies the copy.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "limits.h"
#include "session.h"
#include "text.h"

namespace bb {
namespace {

constexpr std::string_view kAdfStateTag = "<scan:AdfState>";
constexpr std::string_view kJobStateTag = "<pwg:JobState>";
constexpr std::string_view kImagesToTransferTag = "<pwg:ImagesToTransfer>";

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

// Copies the text after the first `tag` in `doc` up to the next '<' into
// `out` (cut to its room).  False when the tag is absent.
bool copy_element_text(std::string_view doc, std::string_view tag, char *out, size_t room) {
  size_t at = doc.find(tag);
  if (at == std::string_view::npos) return false;
  copy_bounded(out, room, take_until(drop(doc, at + tag.size()), '<'));
  return true;
}

// The document from the current job's entry on, or an empty view with
// found == false when the job is not listed.  Devices that write the job
// URI with a host part or padding do not match: the job then counts as not
// listed.
std::string_view from_job_entry(const host_session *hs, std::string_view doc, bool *found) {
  char anchor[kTagBufferSize];
  std::string_view id = job_id_text(hs);
  int n = snprintf(anchor, sizeof anchor, "<pwg:JobUri>/eSCL/ScanJobs/%.*s</pwg:JobUri>",
                   static_cast<int>(id.size()), id.data());
  *found = false;
  if (n <= 0 || static_cast<size_t>(n) >= sizeof anchor) return {};
  size_t at = doc.find(std::string_view(anchor, static_cast<size_t>(n)));
  if (at == std::string_view::npos) return {};
  *found = true;
  return drop(doc, at);
}


}  // namespace

bb_session *session_of(const host_session *hs) { return hs == nullptr ? nullptr : hs->bb_session; }

std::string_view job_id_text(const host_session *hs) {
  return buffer_text(hs->job_id, sizeof hs->job_id);
}

bool scanner_idle(std::string_view doc) { return contains(doc, kScannerIdle); }

SANE_Status read_adf_state(std::string_view doc) {
  char state[kStateTextSize] = {};
  // No feeder, or one the device does not report on: nothing to log.
  if (!copy_element_text(doc, kAdfStateTag, state, sizeof state)) return SANE_STATUS_UNSUPPORTED;
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
  std::string_view entry = from_job_entry(hs, doc, &listed);
  // The state is taken from the first JobState at or after the job's entry,
  // even if the entry itself lacks one and a later job's is found.
  if (listed && copy_element_text(entry, kJobStateTag, state, sizeof state))
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
  std::string_view entry = from_job_entry(hs, doc, &listed);
  char count[kCountTextSize] = {};
  if (!listed || !copy_element_text(entry, kImagesToTransferTag, count, sizeof count)) return 0;
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
