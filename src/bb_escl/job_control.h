// Internal operations of scan job control that are not entry points.
#pragma once

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include <sane/sane.h>

#include "../http/http.h"
#include "bb_escl.h"

struct host_session;
struct bb_session;

// Deletes a job the device stopped but still holds; called by bb_end_scan.
int bb_cancel_job(host_session *hs);

namespace bb {

// Channel names on the device: every request goes over the scan channel;
// the web-services channel is the status poll's fall-back and the cancel's
// first choice.
inline constexpr char kScanChannel[] = "KV-ESCL-SCAN";
inline constexpr char kWebServicesChannel[] = "KV-EWS-NDAT";

// The feeder sources deliver several pages per job.
inline bool feeder_source(int32_t source) { return source == BB_SOURCE_ADF || source == BB_SOURCE_DUPLEX; }

// Readers of the status document and the job-creation answer.  Each scans
// only the given text; the entry points of the same names wrap them.
SANE_Status read_adf_state(std::string_view doc);
int read_job_state(const host_session *hs, std::string_view doc);
int32_t read_images_to_transfer(const host_session *hs, std::string_view doc);
int read_job_location(host_session *hs, std::string_view response);
bool scanner_idle(std::string_view doc);
// The scanner's pwg:State ("Idle", "Processing", "Testing", "Stopped"),
// copied into buf (room bytes) and trimmed; empty when the document has none.
std::string_view scanner_state(std::string_view doc, char *buf, size_t room);

// Writes the ScanSettings document of a new job into body (room bytes);
// returns its length as snprintf does.
int write_scan_settings(const host_session *hs, const bb_session *session, char *body, size_t room);

// The current job identifier, bounded by its field.
std::string_view job_id_text(const host_session *hs);

// A NUL-terminated text handed in by the host (NULL reads as empty).
inline std::string_view c_text(const char *text) {
  return text == nullptr ? std::string_view() : std::string_view(text, strlen(text));
}

// Job states after which the device holds nothing to delete.
inline bool job_state_final(int job_state) {
  return job_state == BB_JOB_CANCELED || job_state == BB_JOB_ABORTED ||
         job_state == BB_JOB_COMPLETED;
}

// Whether the host asked the running scan to stop (from a signal handler
// or another thread).
inline bool cancel_asked(const host_session *hs) { return http_cancel_set(&hs->cancel_requested); }

// Sleeps `us` microseconds in short slices; returns false, early, once the
// host asks for a cancel.
bool wait_unless_cancelled(const host_session *hs, useconds_t us);

// The plug-in record of a session, or nullptr when there is none.
bb_session *session_of(const host_session *hs);

}  // namespace bb
