// The jobs a status document lists, by their pwg:JobUri texts: noted
// before a job creation, so that a job the device created while its answer
// was lost can be told from the jobs that were there already.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace bb {

// Room for the noted URIs, one after the other, each with its NUL: devices
// list dozens of past jobs with URIs of 20 to 80 bytes.
inline constexpr size_t kJobUriListSize = 16384;

struct JobUriList {
  char text[kJobUriListSize];
  int32_t used;   // bytes of text in use
  int32_t count;  // URIs noted
  int32_t cut;    // some URIs did not fit: the list is not the whole
};

// The next pwg:JobUri text of a status document at or after *from,
// trimmed of blanks and line breaks; *from moves past it.  False when
// there is none.
bool next_job_uri(std::string_view doc, size_t *from, std::string_view *uri);

// Notes every job URI of a status document (the list is emptied first).
void note_job_uris(std::string_view doc, JobUriList *list);

// Whether the list holds this URI.
bool job_uri_noted(const JobUriList *list, std::string_view uri);

// The job state code (BB_JOB_*) of the job entry whose URI text ends at
// `uri_end` in `doc`: the first pwg:JobState before the next job's URI.
int job_state_after(std::string_view doc, size_t uri_end);

// The path of a job URI ("/eSCL/ScanJobs/7" of "http://host:80/eSCL/ScanJobs/7"),
// empty when it is not a plain URL path that may go into a request line.
std::string_view job_uri_path(std::string_view uri);

}  // namespace bb
