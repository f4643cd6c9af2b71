// Answers some devices get wrong: a job created without a Location, a
// capabilities document behind a byte-order mark.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "status_doc.h"

namespace escl_sim::test {
namespace {

using ::testing::StartsWith;

class AnswerQuirks : public SimTest {};

TEST_F(AnswerQuirks, JobCreatedWithoutLocationStaysAliveUntilDeleted) {
  Config cfg;
  cfg.no_location = true;
  start(cfg);
  RawClient c(port());
  Answer created = c.exchange(post_scan_job(scan_settings({})));
  EXPECT_EQ(created.status, 201);
  EXPECT_EQ(created.header("Location"), "");
  EXPECT_EQ(server().jobs_alive(), 1);
  // Only the status names the job.
  std::string doc = c.exchange(get("/eSCL/ScannerStatus")).body;
  std::string uri = element_text(doc, "JobUri");
  ASSERT_THAT(uri, StartsWith("/eSCL/ScanJobs/"));
  EXPECT_EQ(element_text(job_entry(doc, job_id_of(uri)), "JobState"), "Processing");
  EXPECT_EQ(c.exchange(del(uri)).status, 200);
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(AnswerQuirks, CapabilitiesBehindAByteOrderMark) {
  for (bool bom : {false, true}) {
    Config cfg;
    cfg.capabilities_bom = bom;
    start(cfg);
    RawClient c(port());
    Answer a = c.exchange(get("/eSCL/ScannerCapabilities"));
    EXPECT_TRUE(a.complete);
    EXPECT_THAT(a.body, StartsWith(bom ? "\xEF\xBB\xBF\n<?xml" : "<?xml"));
    EXPECT_EQ(a.header("Content-Length"), std::to_string(a.body.size()));
    // Only the capabilities carry it.
    EXPECT_THAT(c.exchange(get("/eSCL/ScannerStatus")).body, StartsWith("<?xml"));
    server().stop();
  }
}

}  // namespace
}  // namespace escl_sim::test
