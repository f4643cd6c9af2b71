// A host session with a plug-in record attached, as bb_open would leave it,
// and the answers a scanner gives, for the job control tests.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "bb_escl.h"
#include "captured_devices.h"
#include "device_double.h"
#include "bb_escl/session.h"
#include "http/http.h"

namespace jobtest {

// The device the sessions talk to, and the Host every request carries for
// it: the default port written out.
inline constexpr char kDeviceUri[] = "http://192.168.1.20/";
inline const std::string kHost = "192.168.1.20:80";

// host_session carries the 4 MB image buffer: always on the heap, zeroed.
struct Session {
  std::unique_ptr<host_session> hs = std::make_unique<host_session>();
  bb_session *bb = static_cast<bb_session *>(calloc(1, sizeof(bb_session)));

  explicit Session(int dd = 7) {
    hs->dd = dd;
    strcpy(hs->device_uri, kDeviceUri);
    hs->bb_session = bb;
    hs->current_resolution = 300;
  }
  ~Session() {
    http_close(bb->http);
    free(bb);
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  void set_job(const std::string &id) {
    memset(hs->job_id, 0, sizeof hs->job_id);
    memcpy(hs->job_id, id.data(), id.size() < sizeof hs->job_id ? id.size() : sizeof hs->job_id);
    hs->job_page_count = 1;
  }
  std::string job_id() const { return std::string(hs->job_id, strnlen(hs->job_id, sizeof hs->job_id)); }
};

inline std::string request(const std::string &method, const std::string &target,
                           const std::string &host = kHost) {
  return method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

inline const std::string kStatusRequest = request("GET", "/eSCL/ScannerStatus");

inline std::string next_document_request(const std::string &id, const std::string &host = kHost) {
  return request("GET", "/eSCL/ScanJobs/" + id + "/NextDocument", host);
}

inline std::string with_length(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string chunked(const std::string &body) {
  std::ostringstream out;
  out << "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n";
  if (!body.empty()) out << std::hex << body.size() << "\r\n" << body << "\r\n";
  out << "0\r\n\r\n";
  return out.str();
}

inline std::string created(const std::string &location) {
  return "HTTP/1.1 201 Created\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

inline std::string job_entry(const std::string &id, const std::string &state, int images = -1) {
  std::string e = "<scan:JobInfo><pwg:JobUri>/eSCL/ScanJobs/" + id + "</pwg:JobUri>";
  if (images >= 0) e += "<pwg:ImagesToTransfer>" + std::to_string(images) + "</pwg:ImagesToTransfer>";
  return e + "<pwg:JobState>" + state + "</pwg:JobState></scan:JobInfo>";
}

// A status document: scanner state, feeder state (none when empty) and jobs.
inline std::string status_doc(const std::string &scanner, const std::string &adf,
                              const std::string &jobs = "") {
  std::string d =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<scan:ScannerStatus>"
      "<pwg:Version>2.63</pwg:Version><pwg:State>" + scanner + "</pwg:State>";
  if (!adf.empty()) d += "<scan:AdfState>" + adf + "</scan:AdfState>";
  return d + "<scan:Jobs>" + jobs + "</scan:Jobs></scan:ScannerStatus>\r\n";
}

// The status a job creation reads first: the jobs listed before the new one.
inline fake::Channel &script_jobs_before(fake::Device &dev, const std::string &jobs = "") {
  return dev.next("KV-ESCL-SCAN").reply(with_length(status_doc("Idle", "", jobs)));
}

// A job creation as the device sees it: that status, then the posting,
// answered `answer`.
inline fake::Channel &script_post(fake::Device &dev, const std::string &answer,
                                  const std::string &jobs_before = "") {
  script_jobs_before(dev, jobs_before);
  return dev.next("KV-ESCL-SCAN").reply(answer);
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string device_doc(const std::string &name) {
  return read_file(captured::path(name));
}

// Every captured log line, for failure messages.
inline std::string dump_logs() {
  std::string out = "\nlog:\n";
  for (const auto &l : fake::logs()) out += std::to_string(l.level) + " " + l.text;
  return out;
}

}  // namespace jobtest
