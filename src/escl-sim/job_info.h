// One job's entry in the ScannerStatus document, its JobUri written the way
// the device writes it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "simulator.h"

namespace escl_sim {

struct JobInfoEntry {
  std::string id;
  std::string uuid;
  long long age_seconds = 0;
  int images_completed = 0;
  int images_to_transfer = 0;
  const char *state = "";
  const char *reason = "";
};

// The pwg:JobUri element of job `id`, with its indentation and line end;
// `origin` ("http://127.0.0.1:PORT", https over TLS) begins absolute ones.
std::string job_uri_element(JobUriStyle style, const std::string &origin, const std::string &id);

// The whole scan:JobInfo element.
void write_job_info(std::ostream &o, const JobInfoEntry &job, JobUriStyle style, const std::string &origin);

}  // namespace escl_sim
