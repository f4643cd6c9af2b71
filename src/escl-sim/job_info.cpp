#include "job_info.h"

namespace escl_sim {

std::string job_uri_element(JobUriStyle style, const std::string &origin, const std::string &id) {
  const std::string path = "/eSCL/ScanJobs/" + id;
  switch (style) {
    case JobUriStyle::kPath: break;
    case JobUriStyle::kPadded:
      // Some devices pretty-print the document, text nodes included.
      return "      <pwg:JobUri>\n        " + path + "\n      </pwg:JobUri>\n";
    case JobUriStyle::kAbsolute:
      return "      <pwg:JobUri>" + origin + path + "</pwg:JobUri>\n";
    case JobUriStyle::kTrailingSlash:
      return "      <pwg:JobUri>" + path + "/</pwg:JobUri>\n";
  }
  return "      <pwg:JobUri>" + path + "</pwg:JobUri>\n";
}

void write_job_info(std::ostream &o, const JobInfoEntry &job, JobUriStyle style, const std::string &origin) {
  o << "    <scan:JobInfo>\n"
    << job_uri_element(style, origin, job.id)
    << "      <pwg:JobUuid>" << job.uuid << "</pwg:JobUuid>\n"
    << "      <scan:Age>" << job.age_seconds << "</scan:Age>\n"
    << "      <pwg:ImagesCompleted>" << job.images_completed << "</pwg:ImagesCompleted>\n"
    << "      <pwg:ImagesToTransfer>" << job.images_to_transfer << "</pwg:ImagesToTransfer>\n"
    << "      <pwg:JobState>" << job.state << "</pwg:JobState>\n"
    << "      <pwg:JobStateReasons>\n"
    << "        <pwg:JobStateReason>" << job.reason << "</pwg:JobStateReason>\n"
    << "      </pwg:JobStateReasons>\n"
    << "    </scan:JobInfo>\n";
}

}  // namespace escl_sim
