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

// The pwg:JobUri element of job `id`, with its indentation and line end.
std::string job_uri_element(JobUriStyle style, uint16_t port, const std::string &id);

// The whole scan:JobInfo element.
void write_job_info(std::ostream &o, const JobInfoEntry &job, JobUriStyle style, uint16_t port);

}  // namespace escl_sim
