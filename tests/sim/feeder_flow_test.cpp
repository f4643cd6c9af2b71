// How feeder jobs move from page to page on devices that hold the job
// Pending between sheets, or that are busy before each page.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "status_doc.h"

namespace escl_sim::test {
namespace {

using ::testing::StartsWith;

class FeederFlow : public SimTest {
 protected:
  std::string status(RawClient &c) { return c.exchange(get("/eSCL/ScannerStatus")).body; }
  static std::string next(const std::string &id) { return get("/eSCL/ScanJobs/" + id + "/NextDocument"); }
  static Settings feeder(bool duplex) {
    Settings s;
    s.source = "Feeder";
    s.duplex = duplex;
    return s;
  }
};

TEST_F(FeederFlow, JobIsPendingBetweenPagesUntilTheNextIsRequested) {
  for (bool duplex : {false, true}) {
    SCOPED_TRACE(duplex ? "duplex" : "simplex");
    Config cfg;
    cfg.pending_between_pages = true;
    cfg.adf_sheets = 2;
    start(cfg);
    RawClient c(port());
    std::string id = create_job(c, feeder(duplex));
    const int pages = duplex ? 4 : 2;
    for (int page = 1; page <= pages; ++page) {
      Answer a = c.exchange(next(id));
      ASSERT_EQ(a.status, 200) << page;
      EXPECT_TRUE(a.complete);
      std::string doc = status(c);
      std::string job = job_entry(doc, id);
      EXPECT_EQ(element_text(job, "JobState"), "Pending") << page;
      EXPECT_EQ(element_text(job, "ImagesToTransfer"), "0") << page;
      EXPECT_EQ(element_text(job, "ImagesCompleted"), std::to_string(page));
      EXPECT_EQ(element_text(doc, "State"), "Processing") << page;
      EXPECT_EQ(element_text(doc, "AdfState"), page == pages ? "ScannerAdfEmpty" : "ScannerAdfLoaded");
      EXPECT_EQ(server().jobs_alive(), 1) << page;
    }
    EXPECT_EQ(c.exchange(next(id)).status, 404);
    std::string doc = status(c);
    EXPECT_EQ(element_text(job_entry(doc, id), "JobState"), "Completed");
    EXPECT_EQ(element_text(doc, "State"), "Idle");
    EXPECT_EQ(server().jobs_alive(), 0);
    EXPECT_EQ(server().pages_sent().size(), static_cast<size_t>(pages));
    server().stop();
  }
}

TEST_F(FeederFlow, SheetHeldPendingJamsWhenItIsRequested) {
  Config cfg;
  cfg.pending_between_pages = true;
  cfg.jam_at_page = 2;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c, feeder(false));
  ASSERT_EQ(c.exchange(next(id)).status, 200);
  EXPECT_EQ(element_text(job_entry(status(c), id), "JobState"), "Pending");
  EXPECT_EQ(c.exchange(next(id)).status, 409);
  std::string doc = status(c);
  EXPECT_EQ(element_text(doc, "AdfState"), "ScannerAdfJam");
  EXPECT_EQ(element_text(job_entry(doc, id), "JobState"), "Aborted");
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(FeederFlow, BusyAnswersBeforeEveryPage) {
  struct Row {
    const char *name;
    Settings settings;
    int pages;
  };
  for (const Row &r : {Row{"platen", Settings{}, 1}, Row{"feeder", feeder(false), 3}}) {
    SCOPED_TRACE(r.name);
    Config cfg;
    cfg.busy_next_document = 2;
    start(cfg);
    RawClient c(port());
    std::string id = create_job(c, r.settings);
    for (int page = 1; page <= r.pages; ++page) {
      for (int i = 0; i < 2; ++i) {
        Answer busy = c.exchange(next(id));
        EXPECT_THAT(busy.head, StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
        EXPECT_EQ(busy.header("Retry-After"), "1");
        EXPECT_TRUE(busy.complete);
        EXPECT_FALSE(busy.body.empty());
        EXPECT_EQ(busy.header("Content-Length"), std::to_string(busy.body.size()));
        EXPECT_EQ(server().jobs_alive(), 1);
      }
      EXPECT_EQ(c.exchange(next(id)).status, 200) << page;
    }
    // Past the last sheet the device answers at once.
    if (r.pages > 1) {
      EXPECT_EQ(c.exchange(next(id)).status, 404);
    }
    EXPECT_EQ(server().jobs_alive(), 0);
    EXPECT_EQ(server().pages_sent().size(), static_cast<size_t>(r.pages));
    server().stop();
  }
}

}  // namespace
}  // namespace escl_sim::test
