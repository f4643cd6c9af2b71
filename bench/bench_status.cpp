// Cost of reading a status document: the scanner state, the feeder state
// and the current job's state and images, over a document listing 40 jobs
// with the job of interest last (devices list past jobs first), written
// with the usual prefixes and with others (ns0:/ns2:), which must cost the
// same.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "bb_escl.h"
#include "bb_escl/job_control.h"

namespace {

std::string status_document(const std::string &scan, const std::string &pwg) {
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<" + scan +
                  ":ScannerStatus xmlns:" + scan +
                  "=\"http://schemas.example.com/imaging/escl/2011/05/03\" xmlns:" + pwg +
                  "=\"http://www.pwg.org/schemas/2010/12/sm\">\r\n  <" + pwg +
                  ":Version>2.63</" + pwg + ":Version>\r\n  <" + pwg + ":State>Processing</" +
                  pwg + ":State>\r\n  <" + scan + ":AdfState>ScannerAdfLoaded</" + scan +
                  ":AdfState>\r\n  <" + scan + ":Jobs>\r\n";
  for (int job = 1; job <= 40; ++job) {
    const bool last = job == 40;
    s += "    <" + scan + ":JobInfo>\r\n      <" + pwg + ":JobUri>/eSCL/ScanJobs/job-" +
         std::to_string(job) + "</" + pwg + ":JobUri>\r\n      <" + pwg +
         ":JobUuid>urn:uuid:00000000-0000-0000-0000-0000000000" + std::to_string(10 + job) +
         "</" + pwg + ":JobUuid>\r\n      <" + scan + ":Age>" + std::to_string(400 - job) + "</" +
         scan + ":Age>\r\n      <" + pwg + ":ImagesCompleted>1</" + pwg +
         ":ImagesCompleted>\r\n      <" + pwg + ":ImagesToTransfer>" + (last ? "1" : "0") + "</" +
         pwg + ":ImagesToTransfer>\r\n      <" + pwg + ":JobState>" +
         (last ? "Processing" : "Completed") + "</" + pwg + ":JobState>\r\n    </" + scan +
         ":JobInfo>\r\n";
  }
  return s + "  </" + scan + ":Jobs>\r\n</" + scan + ":ScannerStatus>\r\n";
}

void read_status(benchmark::State &state, const std::string &doc) {
  host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  snprintf(hs->job_id, sizeof hs->job_id, "job-40");
  for (auto _ : state) {
    int job = bb::read_job_state(hs, doc);
    int32_t images = bb::read_images_to_transfer(hs, doc);
    SANE_Status adf = bb::read_adf_state(doc);
    bool idle = bb::scanner_idle(doc);
    if (job != BB_JOB_PROCESSING || images != 1 || adf != SANE_STATUS_GOOD || idle) abort();
    benchmark::DoNotOptimize(job);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
  free(hs);
}

void BM_StatusUsualPrefixes(benchmark::State &state) {
  read_status(state, status_document("scan", "pwg"));
}
BENCHMARK(BM_StatusUsualPrefixes)->Unit(benchmark::kMicrosecond);

void BM_StatusOtherPrefixes(benchmark::State &state) {
  read_status(state, status_document("ns0", "ns2"));
}
BENCHMARK(BM_StatusOtherPrefixes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
