// The job list of the status document: past jobs before the live one, long
// documents in every framing, and the ways devices write a JobUri.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "sim_fixture.h"
#include "status_doc.h"

namespace escl_sim::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class StatusList : public SimTest {
 protected:
  std::string status(RawClient &c) { return c.exchange(get("/eSCL/ScannerStatus")).body; }
};

TEST_F(StatusList, PastJobsComeBeforeTheLiveJobAndAreNotAlive) {
  constexpr int kPast = 20;
  Config cfg;
  cfg.past_jobs = kPast;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  std::string doc = status(c);
  ASSERT_EQ(count_of(doc, "<scan:JobInfo>"), kPast + 1);
  const size_t live = doc.find("/eSCL/ScanJobs/" + id);
  EXPECT_GT(live, 5120u);  // beyond a client's first 5 KiB
  std::set<std::string> uris;
  size_t at = doc.find("<scan:JobInfo>");
  for (int k = 0; k < kPast; ++k) {
    size_t end = doc.find("</scan:JobInfo>", at);
    ASSERT_LT(end, live) << k;
    std::string entry = doc.substr(at, end - at);
    EXPECT_EQ(element_text(entry, "JobState"), "Completed") << k;
    EXPECT_EQ(element_text(entry, "JobStateReason"), "JobCompletedSuccessfully") << k;
    EXPECT_THAT(element_text(entry, "JobUuid"), StartsWith("urn:uuid:"));
    EXPECT_NE(element_text(entry, "Age"), "");
    EXPECT_NE(element_text(entry, "ImagesCompleted"), "0");
    EXPECT_GT(entry.size(), 300u);
    EXPECT_LT(entry.size(), 600u);
    uris.insert(element_text(entry, "JobUri"));
    at = doc.find("<scan:JobInfo>", end);
  }
  EXPECT_EQ(uris.size(), static_cast<size_t>(kPast));
  EXPECT_FALSE(uris.count("/eSCL/ScanJobs/" + id));
  EXPECT_EQ(element_text(job_entry(doc, id), "JobState"), "Processing");
  EXPECT_EQ(server().jobs_alive(), 1);
  // A past job has nothing left to give.
  std::string past = *uris.begin();
  EXPECT_EQ(c.exchange(get(past + "/NextDocument")).status, 404);
}

TEST_F(StatusList, LongStatusIsWholeInEveryFraming) {
  struct Row {
    Framing framing;
    size_t chunk_size;
  };
  for (const Row &r : {Row{Framing::kContentLength, 65536}, Row{Framing::kChunked, 65536},
                       Row{Framing::kChunked, 4096}, Row{Framing::kClose, 65536}}) {
    SCOPED_TRACE(static_cast<int>(r.framing));
    Config cfg;
    cfg.past_jobs = 200;
    cfg.framing = r.framing;
    cfg.chunk_size = r.chunk_size;
    start(cfg);
    RawClient c(port());
    std::string id = create_job(c);
    Answer a = c.exchange(get("/eSCL/ScannerStatus"));
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(a.complete);
    EXPECT_GT(a.body.size(), 60000u);
    EXPECT_EQ(a.chunked, r.framing == Framing::kChunked);
    EXPECT_THAT(a.body, StartsWith("<?xml"));
    EXPECT_THAT(a.body, EndsWith("</scan:Jobs>\n</scan:ScannerStatus>\n"));
    EXPECT_EQ(count_of(a.body, "<scan:JobInfo>"), 201);
    EXPECT_NE(job_entry(a.body, id), "");
    server().stop();
  }
}

TEST_F(StatusList, JobUriStyles) {
  struct Row {
    JobUriStyle style;
    std::string before, after;  // around "ID" in the element; PORT stands for the port
  };
  const Row rows[] = {
      {JobUriStyle::kPath, "<pwg:JobUri>/eSCL/ScanJobs/", "</pwg:JobUri>"},
      {JobUriStyle::kPadded, "<pwg:JobUri>\n        /eSCL/ScanJobs/", "\n      </pwg:JobUri>"},
      {JobUriStyle::kAbsolute, "<pwg:JobUri>http://127.0.0.1:PORT/eSCL/ScanJobs/", "</pwg:JobUri>"},
      {JobUriStyle::kTrailingSlash, "<pwg:JobUri>/eSCL/ScanJobs/", "/</pwg:JobUri>"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(static_cast<int>(r.style));
    Config cfg;
    cfg.job_uri_style = r.style;
    cfg.past_jobs = 2;
    start(cfg);
    RawClient c(port());
    std::string id = create_job(c);
    std::string before = r.before;
    if (size_t p = before.find("PORT"); p != std::string::npos)
      before.replace(p, 4, std::to_string(port()));
    std::string doc = status(c);
    EXPECT_THAT(doc, HasSubstr(before + id + r.after));
    // The past jobs are written alike.
    EXPECT_EQ(count_of(doc, before), 3);
    EXPECT_EQ(count_of(doc, r.after), 3);
    server().stop();
  }
}

}  // namespace
}  // namespace escl_sim::test
