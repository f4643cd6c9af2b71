// The job-creation answer names the new job in its Location header, either
// absolute ("http://host:port/eSCL/ScanJobs/<id>") or relative
// ("/eSCL/ScanJobs/<id>").  From it come the job URL, the device address and
// the job identifier that every later request of the job uses.
#include <string.h>
#include <syslog.h>

#include "bb_escl.h"
#include "export.h"
#include "job_control.h"
#include "../http/limits.h"
#include "../http/text.h"

namespace bb {
namespace {

constexpr std::string_view kLocationHeader = "Location:";
constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kJobsPath = "/eSCL/ScanJobs/";

// The position of the Location header's name: at the start of a line, in
// any letter case (some devices send "location:").  A name that only ends
// in "Location:", such as Content-Location, is passed over.
size_t find_location_header(std::string_view response) {
  size_t from = 0;
  for (;;) {
    size_t at = find_nocase(drop(response, from), kLocationHeader);
    if (at == std::string_view::npos) return at;
    at += from;
    if (at == 0 || response[at - 1] == '\n') return at;
    from = at + 1;
  }
}

// A job identifier goes into request lines: only a plain URL path segment
// is taken, so nothing a device sends can add to those lines.
bool plain_path_segment(std::string_view id) {
  if (id.empty() || id.size() >= BB_JOB_ID_SIZE || id == "." || id == "..") return false;
  constexpr std::string_view kPunctuation = "-._~:@!$&'()*+,;=%";
  for (char c : id) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && kPunctuation.find(c) == std::string_view::npos) return false;
  }
  return true;
}

}  // namespace

int read_job_location(host_session *hs, std::string_view response) {
  size_t at = find_location_header(response);
  if (at == std::string_view::npos) return 1;

  // The value ends at the carriage return of its header line; blanks after
  // the colon and before the line end are not part of it.
  std::string_view value =
      take_until(take_until(skip_blanks(drop(response, at + kLocationHeader.size())), '\r'), '\n');
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  char work[kHeaderBufferSize] = {};
  copy_bounded(work, sizeof work, value);
  copy_bounded(hs->job_url, sizeof hs->job_url, buffer_text(work, sizeof work));
  std::string_view url = buffer_text(hs->job_url, sizeof hs->job_url);
  syslog(LOG_INFO, "bb_escl 1328: bb_get_url URL=%s\n", hs->job_url);

  // The device address is what follows the scheme up to the path; a port
  // stays part of it.  A relative location gives an empty address.
  std::string_view address = url.starts_with(kHttpScheme) ? drop(url, kHttpScheme.size()) : url;
  copy_bounded(hs->device_ip, sizeof hs->device_ip, take_until(address, '/'));
  syslog(LOG_INFO, "bb_escl 1343: bb_get_url ip=%s\n", hs->device_ip);

  size_t jobs = url.find(kJobsPath);
  if (jobs == std::string_view::npos) return 1;
  std::string_view id = take_until(drop(url, jobs + kJobsPath.size()), '/');
  if (!plain_path_segment(id)) {
    syslog(LOG_ERR, "bb_escl 1350: bb_get_url unusable job identifier in the Location\n");
    return 1;
  }
  memset(hs->job_id, 0, sizeof hs->job_id);
  copy_bounded(hs->job_id, sizeof hs->job_id, id);
  syslog(LOG_INFO, "bb_escl 1357: bb_get_url job_id=%s\n", hs->job_id);
  hs->job_page_count = 1;
  return 0;
}

}  // namespace bb

BB_EXPORT int bb_get_url(host_session *hs, const char *response) {
  if (hs == nullptr) return 1;
  return bb::read_job_location(hs, bb::c_text(response));
}
