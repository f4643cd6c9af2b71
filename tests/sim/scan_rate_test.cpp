// Page data paced like a scanner head: the first chunk at once, the rest at
// the configured rate, and a stop that does not wait for the page.
#include <gtest/gtest.h>

#include <chrono>

#include "scan_pace.h"
#include "sim_fixture.h"

namespace escl_sim::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

class ScanRate : public SimTest {
 protected:
  static std::string next(const std::string &id) { return get("/eSCL/ScanJobs/" + id + "/NextDocument"); }
};

TEST(ScanPaceSteps, HeadAtOnceThenSmallStepsAtTheRate) {
  ScanPace pace(5000, 1000);
  EXPECT_EQ(pace.step(0, 4000), 1000u);
  EXPECT_EQ(pace.step(400, 4000), 600u);
  EXPECT_EQ(pace.step(1000, 4000), 100u);  // 20 ms of data
  EXPECT_EQ(pace.step(1000, 30), 30u);
  EXPECT_EQ(pace.due(1000), pace.due(0));
  EXPECT_EQ(std::chrono::round<milliseconds>(pace.due(6000) - pace.due(1000)), milliseconds(1000));
  ScanPace unpaced(0, 0);
  EXPECT_EQ(unpaced.step(0, 123456), 123456u);
  EXPECT_EQ(unpaced.due(123456), unpaced.due(0));
}

// By default the first chunk is ready at once; with no head start every
// byte follows the head.
TEST_F(ScanRate, PageTakesItsSizeOverTheRate) {
  constexpr long long kRate = 20000;
  for (long long head_start : {-1LL, 0LL}) {
    SCOPED_TRACE(head_start);
    Config cfg;
    cfg.scan_rate = kRate;
    cfg.chunk_size = 1000;
    cfg.head_start = head_start;
    start(cfg);
    RawClient c(port());
    Settings s;
    s.width = s.height = 600;
    std::string id = create_job(c, s);
    const auto begin = Clock::now();
    Answer a = c.exchange(next(id));
    const double seconds = duration<double>(Clock::now() - begin).count();
    ASSERT_TRUE(a.complete);
    ASSERT_EQ(a.body, server().pages_sent().at(0));
    const size_t ready = head_start < 0 ? cfg.chunk_size : 0;
    const double least = static_cast<double>(a.body.size() - ready) / kRate;
    ASSERT_GT(least, 0.1);
    EXPECT_GE(seconds, least);
    EXPECT_LT(seconds, least + 1.0);
    server().stop();
  }
}

TEST_F(ScanRate, StopEndsAPagePromptly) {
  Config cfg;
  cfg.scan_rate = 1;  // a byte a second after the first chunk
  cfg.chunk_size = 1000;
  start(cfg);
  RawClient c(port());
  std::string id = create_job(c);
  Answer a = c.exchange(next(id), 100);
  ASSERT_EQ(a.status, 200);
  EXPECT_FALSE(a.complete);
  EXPECT_EQ(a.body, server().pages_sent().at(0).substr(0, 1000));
  const auto begin = Clock::now();
  server().stop();
  EXPECT_LT(Clock::now() - begin, milliseconds(100));
  EXPECT_TRUE(c.closed_by_peer(1000));
}

}  // namespace
}  // namespace escl_sim::test
