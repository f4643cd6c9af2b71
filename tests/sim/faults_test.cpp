// Device behaviours and faults, each selected alone, seen on the wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "xml_text.h"

namespace escl_sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class Faults : public SimTest {
 protected:
  std::string status(RawClient &c) { return c.exchange(get("/eSCL/ScannerStatus")).body; }
  static std::string job_state(const std::string &doc, const std::string &id) {
    std::string anchor = "<pwg:JobUri>/eSCL/ScanJobs/" + id + "</pwg:JobUri>";
    size_t p = doc.find(anchor);
    if (p == std::string::npos) return "(not listed)";
    std::string state;
    xml_element_text(doc.substr(p), "JobState", state);
    return state;
  }
  static std::string adf_state(const std::string &doc) {
    std::string state;
    xml_element_text(doc, "AdfState", state);
    return state;
  }
  static std::string scanner_state(const std::string &doc) {
    std::string state;
    xml_element_text(doc, "State", state);
    return state;
  }
  static std::string next(const std::string &id) { return get("/eSCL/ScanJobs/" + id + "/NextDocument"); }
  static Settings feeder() {
    Settings s;
    s.source = "Feeder";
    return s;
  }
};

TEST_F(Faults, JobStaysPendingForSomeStatusPolls) {
  Config cfg;
  cfg.pending_polls = 2;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  Answer early = c.exchange(next(id));
  EXPECT_EQ(early.status, 503);
  EXPECT_EQ(early.header("Retry-After"), "1");
  std::string first = status(c);
  EXPECT_EQ(job_state(first, id), "Pending");
  EXPECT_EQ(scanner_state(first), "Processing");
  EXPECT_EQ(job_state(status(c), id), "Processing");
  EXPECT_EQ(c.exchange(next(id)).status, 200);
}

TEST_F(Faults, JobPendingAndScannerIdleUntilTheDocumentIsRequested) {
  Config cfg;
  cfg.pending_until_document_request = true;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  for (int i = 0; i < 3; ++i) {
    std::string doc = status(c);
    EXPECT_EQ(job_state(doc, id), "Pending");
    EXPECT_EQ(scanner_state(doc), "Idle");
  }
  EXPECT_EQ(c.exchange(next(id)).status, 200);
  EXPECT_EQ(job_state(status(c), id), "Completed");
}

struct StopCase {
  const char *name;
  bool jam;
  int page;
  bool keeps_processing;
  const char *adf;
  const char *job;
};

class FeederStops : public Faults, public ::testing::WithParamInterface<StopCase> {};

TEST_P(FeederStops, StatusShowsTheFaultAndTheDocumentFails) {
  const StopCase &p = GetParam();
  Config cfg;
  cfg.adf_sheets = 3;
  (p.jam ? cfg.jam_at_page : cfg.cover_open_at_page) = p.page;
  cfg.stop_keeps_processing = p.keeps_processing;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c, feeder());
  for (int page = 1; page < p.page; ++page) {
    EXPECT_EQ(adf_state(status(c)), "ScannerAdfLoaded") << page;
    ASSERT_EQ(c.exchange(next(id)).status, 200) << page;
  }
  std::string doc = status(c);
  EXPECT_EQ(adf_state(doc), p.adf);
  EXPECT_EQ(job_state(doc, id), p.job);
  EXPECT_EQ(scanner_state(doc), "Stopped");
  EXPECT_EQ(c.exchange(next(id)).status, 409);
  EXPECT_EQ(server().jobs_alive(), p.keeps_processing ? 1 : 0);
  if (p.keeps_processing) {
    // The client deletes the job the device holds.
    EXPECT_EQ(c.exchange(del("/eSCL/ScanJobs/" + id)).status, 200);
    EXPECT_EQ(job_state(status(c), id), "Canceled");
  }
  // The next job finds the fault cleared (a feeder job would meet it again).
  create_job(c);
  doc = status(c);
  EXPECT_EQ(adf_state(doc), "ScannerAdfLoaded");
  EXPECT_EQ(scanner_state(doc), "Processing");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FeederStops,
    ::testing::Values(StopCase{"JamAtFirstPage", true, 1, false, "ScannerAdfJam", "Aborted"},
                      StopCase{"JamAtSecondPage", true, 2, false, "ScannerAdfJam", "Aborted"},
                      StopCase{"JamKeepsProcessing", true, 2, true, "ScannerAdfJam", "Processing"},
                      StopCase{"CoverOpenAtThirdPage", false, 3, false, "ScannerAdfHatchOpen", "Aborted"},
                      StopCase{"CoverOpenKeepsProcessing", false, 1, true, "ScannerAdfHatchOpen",
                               "Processing"}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

TEST_F(Faults, JamDoesNotTouchPlatenJobs) {
  Config cfg;
  cfg.jam_at_page = 1;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  EXPECT_EQ(adf_state(status(c)), "ScannerAdfLoaded");
  EXPECT_EQ(c.exchange(next(id)).status, 200);
}

TEST_F(Faults, DeviceAbortsTheJob) {
  Config cfg;
  cfg.abort_job = true;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(job_state(status(c), id), "Aborted");
  EXPECT_EQ(c.exchange(next(id)).status, 409);
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(Faults, BusyAnswers503ToJobCreation) {
  Config cfg;
  cfg.busy_503 = 2;
  start(cfg);
  RawClient c(port());
  for (int i = 0; i < 2; ++i) {
    Answer a = c.exchange(post_scan_job(scan_settings({})));
    EXPECT_THAT(a.head, StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
  }
  EXPECT_FALSE(create_job(c).empty());
}

TEST_F(Faults, BadRequestAnswersBeforeTheRealOne) {
  Config cfg;
  cfg.bad_request_first = 2;
  start(cfg);
  RawClient c(port());
  // Both 400 answers, each with a short page, and the real one come back
  // to back for one request.
  ASSERT_TRUE(c.send(get("/eSCL/ScannerStatus")));
  for (int i = 0; i < 2; ++i) {
    Answer bad = c.read_answer();
    EXPECT_THAT(bad.head, StartsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_FALSE(bad.body.empty());
    EXPECT_EQ(bad.header("Content-Length"), std::to_string(bad.body.size()));
  }
  EXPECT_EQ(c.read_answer().status, 200);
}

TEST_F(Faults, BadRequestOnlyOnTheChosenKindOfRequest) {
  Config cfg;
  cfg.bad_request_first = 1;
  cfg.bad_request_on = RequestKind::kNextDocument;
  start(cfg);
  RawClient c(port());
  EXPECT_EQ(c.exchange(get("/eSCL/ScannerStatus")).status, 200);
  std::string id = create_job(c);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(c.exchange(next(id)).status, 400);
  Answer page = c.read_answer();
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(page.complete);
}

TEST_F(Faults, StatusFirstAnsweredWithContentLengthZero) {
  Config cfg;
  cfg.status_content_length_zero = true;
  start(cfg);
  RawClient c(port());
  Answer empty = c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.header("Content-Length"), "0");
  EXPECT_EQ(empty.body, "");
  Answer real = c.read_answer();
  EXPECT_THAT(real.body, HasSubstr("<pwg:State>Idle</pwg:State>"));
  // Other answers are not preceded.
  EXPECT_THAT(c.exchange(get("/eSCL/ScannerCapabilities")).body, HasSubstr("ScannerCapabilities"));
}

TEST_F(Faults, ImageDataStallsAtTheOffsetUntilTheClientCloses) {
  Config cfg;
  cfg.stall_image_at = 100;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  ASSERT_TRUE(c.send(next(id)));
  Answer a = c.read_answer(500);
  EXPECT_EQ(a.status, 200);
  EXPECT_FALSE(a.complete);
  std::string page = server().pages_sent().at(0);
  // Header, one chunk size line, 100 bytes of data, then silence.
  EXPECT_EQ(a.raw.substr(a.head.size()), chunk_of(page).substr(0, chunk_of(page).find('\n') + 1) +
                                            page.substr(0, 100));
  EXPECT_FALSE(c.closed_by_peer(200));
}

TEST_F(Faults, ConnectionDropsInTheMiddleOfTheImage) {
  struct Row {
    long long at;
    size_t chunk;
  };
  for (Row r : {Row{1500, 1000}, Row{1000, 1000}, Row{0, 65536}}) {
    Config cfg;
    cfg.drop_image_at = r.at;
    cfg.chunk_size = r.chunk;
    start(cfg);
    RawClient c(port());
    std::string id = create_job(c);
    ASSERT_TRUE(c.send(next(id)));
    std::string wire = c.read_rest(5000);
    EXPECT_TRUE(c.closed_by_peer());
    std::string page = server().pages_sent().at(0);
    size_t body = wire.find("\r\n\r\n") + 4;
    // De-chunk what arrived: exactly `at` bytes of page data.
    std::string data;
    for (size_t pos = body; pos < wire.size();) {
      size_t eol = wire.find("\r\n", pos);
      size_t size = std::stoul(wire.substr(pos, eol - pos), nullptr, 16);
      size_t take = std::min(size, wire.size() - (eol + 2));
      data += wire.substr(eol + 2, take);
      pos = eol + 2 + size + 2;
    }
    EXPECT_EQ(data, page.substr(0, static_cast<size_t>(r.at))) << r.at;
    EXPECT_THAT(wire, Not(HasSubstr("\r\n0\r\n\r\n")));
    server().stop();
  }
}

TEST_F(Faults, JobVanishesFromTheStatusList) {
  Config cfg;
  cfg.job_vanishes = JobVanish::kFromStatus;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  EXPECT_THAT(status(c), Not(HasSubstr(id)));
  EXPECT_EQ(c.exchange(next(id)).status, 200);
}

TEST_F(Faults, JobForgottenEntirely) {
  Config cfg;
  cfg.job_vanishes = JobVanish::kEntirely;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  ASSERT_FALSE(id.empty());
  EXPECT_THAT(status(c), Not(HasSubstr(id)));
  EXPECT_EQ(c.exchange(next(id)).status, 404);
  EXPECT_EQ(c.exchange(del("/eSCL/ScanJobs/" + id)).status, 404);
}

}  // namespace
}  // namespace escl_sim::test
