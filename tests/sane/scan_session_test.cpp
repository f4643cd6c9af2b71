// The scan worker against a scripted plug-in: pages in order and ahead on
// a feeder, non-blocking reads, and cancels from other threads and from a
// signal handler while a read or a busy device holds the frontend.
#include "scan_session.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image_fixtures.h"
#include "published_session.h"

using bbescl::ScanSession;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPagePixels = 120;  // 10 mm at 300 dpi fit in it
// Small enough that a page's header comes before its rows: a page that
// stalls after its first chunk has decoded nothing yet.
constexpr size_t kChunkBytes = 64;
// Cancels end a blocked call within this.
constexpr auto kCancelBound = std::chrono::milliseconds(100);

// The plug-in as a conversation: the pages the device sends (each a solid
// PNG of a level of its own), whether it refuses every job as busy, and
// where a page's data stalls until the host's wake-up descriptor is
// written, as the channel library's waits do.
struct Script {
  std::vector<std::vector<uint8_t>> pages;
  bool busy = false;
  int stall_page = -1;  // 0-based page whose data stalls after its first chunk
  // What the worker did, in order, with the frontend's marks between.
  std::mutex mutex;
  std::vector<std::string> calls;
  std::promise<void> stalled;
  std::atomic<int> wake_fd{-1};
  size_t started = 0;  // jobs or sheets begun
  size_t offset = 0;   // bytes of the current page sent

  void note(const std::string &call) {
    std::lock_guard lock(mutex);
    calls.push_back(call);
  }
  size_t position(const std::string &call) {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == call) return i;
    return SIZE_MAX;
  }
  int count(const std::string &call) {
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }
};
Script *g_script = nullptr;

SANE_Status check(host_session *) {
  g_script->note("check");
  return g_script->started < g_script->pages.size() ? SANE_STATUS_GOOD : SANE_STATUS_NO_DOCS;
}

SANE_Status start_scan(host_session *hs) {
  Script &s = *g_script;
  if (s.busy) {
    if (s.count("start busy") == 0) s.stalled.set_value();
    s.note("start busy");
    return SANE_STATUS_DEVICE_BUSY;
  }
  if (s.started >= s.pages.size()) return SANE_STATUS_NO_DOCS;
  s.note("start " + std::to_string(++s.started));
  s.offset = 0;
  strcpy(hs->job_id, "job");
  return SANE_STATUS_GOOD;
}

int get_image_data(host_session *hs) {
  Script &s = *g_script;
  const std::vector<uint8_t> &page = s.pages[s.started - 1];
  if (static_cast<int>(s.started - 1) == s.stall_page && s.offset > 0) {
    s.stalled.set_value();
    pollfd p{s.wake_fd.load(), POLLIN, 0};
    poll(&p, 1, 10000);
    s.note("stall ended");
    return 1;
  }
  const size_t n = std::min(kChunkBytes, page.size() - s.offset);
  memcpy(hs->image_buffer, page.data() + s.offset, n);
  s.offset += n;
  hs->image_count = static_cast<int32_t>(n);
  return 0;
}

int end_page(host_session *, int32_t error) {
  g_script->note("end_page " + std::to_string(error));
  return 0;
}

int end_scan(host_session *hs, int32_t cancel) {
  g_script->note("end_scan " + std::to_string(cancel) + (hs->scan_interrupted ? " deleted" : ""));
  hs->job_id[0] = '\0';
  hs->scan_interrupted = 0;
  return 0;
}

int get_parameters(host_session *hs, SANE_Parameters *p, int32_t option) {
  p->format = SANE_FRAME_RGB;
  p->depth = 8;
  p->last_frame = SANE_TRUE;
  p->pixels_per_line = option == 1 ? hs->image_pixels_per_row : 1;
  p->lines = option == 1 ? hs->image_rows : 1;
  p->bytes_per_line = 3 * p->pixels_per_line;
  return 0;
}

int set_wake_fd(int, int fd) {
  if (fd >= 0) g_script->wake_fd = fd;
  return 0;
}

bb_escl_entry_table scripted_table() {
  bb_escl_entry_table t{};
  t.check_scanner_to_continue = check;
  t.start_scan = start_scan;
  t.get_image_data = get_image_data;
  t.end_page = end_page;
  t.end_scan = end_scan;
  t.get_parameters = get_parameters;
  return t;
}

class ScanSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    hs_->current_mode = BB_MODE_COLOR;
    hs_->current_source = BB_SOURCE_FLATBED;
    hs_->current_resolution = 300;
  }
  void TearDown() override {
    session_.reset();
    g_script = nullptr;
  }
  void add_pages(int count) {
    for (int i = 0; i < count; ++i)
      script_.pages.push_back(fixtures::encode_png(
          fixtures::solid(kPagePixels, kPagePixels, 3, static_cast<uint8_t>(10 * (i + 1)))));
  }
  SANE_Status begin(int busy_timeout_millis = 10000) {
    bbescl::ScanSetup setup;
    setup.plan = bbescl::plan_area({0, 0, SANE_FIX(10.0), SANE_FIX(10.0)}, hs_->source_geometry[0],
                                   BB_SOURCE_FLATBED);
    setup.bound = bbescl::page_bound(SANE_FIX(215.9), SANE_FIX(297.0), 300);
    setup.busy_timeout_millis = busy_timeout_millis;
    SANE_Parameters estimate{};
    return session_->begin_batch(setup, estimate);
  }
  // Reads the page to its end: its status, its bytes into `frame`.
  SANE_Status read_page(std::vector<uint8_t> &frame) {
    for (;;) {
      uint8_t buffer[5000];
      SANE_Int length = 0;
      const SANE_Status s = session_->read(buffer, sizeof buffer, &length);
      frame.insert(frame.end(), buffer, buffer + length);
      if (s != SANE_STATUS_GOOD) return s;
    }
  }

  Script script_;
  fixtures::SessionPtr hs_ = fixtures::published_session();
  bb_escl_entry_table table_ = scripted_table();
  std::unique_ptr<ScanSession> session_ = std::make_unique<ScanSession>(table_, *hs_, set_wake_fd);
};

TEST_F(ScanSessionTest, FeederPagesComeInOrderFetchedAheadAndEndWithNoDocs) {
  hs_->current_source = BB_SOURCE_ADF;
  add_pages(3);
  ASSERT_EQ(begin(), SANE_STATUS_GOOD);
  for (int page = 1; page <= 3; ++page) {
    SCOPED_TRACE(page);
    script_.note("sane_start " + std::to_string(page));
    ASSERT_EQ(session_->next_page(), SANE_STATUS_GOOD);
    SANE_Parameters params{};
    ASSERT_TRUE(session_->parameters(&params));
    std::vector<uint8_t> frame;
    ASSERT_EQ(read_page(frame), SANE_STATUS_EOF);
    ASSERT_EQ(frame.size(), static_cast<size_t>(params.lines) * params.bytes_per_line);
    EXPECT_EQ(frame.front(), 10 * page);
    EXPECT_EQ(frame.back(), 10 * page);
    // The worker starts the next sheet by itself: its header is there
    // without a sane_start.
    pollfd p{0, POLLIN, 0};
    ASSERT_EQ(session_->select_fd(&p.fd), SANE_STATUS_GOOD);
    EXPECT_EQ(poll(&p, 1, 5000), 1);
  }
  EXPECT_EQ(session_->next_page(), SANE_STATUS_NO_DOCS);
  session_->wait_idle();
  // Never more than one page ahead: a sheet starts only once the frontend
  // has begun the one before it.
  EXPECT_LT(script_.position("start 2"), script_.position("sane_start 2"));
  EXPECT_LT(script_.position("sane_start 2"), script_.position("start 3"));
  EXPECT_EQ(script_.count("end_page 0"), 3);
  EXPECT_EQ(script_.count("end_scan 0"), 1);
  EXPECT_EQ(script_.count("end_scan 1 deleted"), 0);
}

TEST_F(ScanSessionTest, IoModeAndSelectDescriptor) {
  add_pages(1);
  script_.stall_page = 0;
  SANE_Int fd = -1;
  bool non_blocking = true;
  // Only once a scan has started.
  EXPECT_EQ(session_->set_io_mode(true), SANE_STATUS_INVAL);
  EXPECT_EQ(session_->select_fd(&fd), SANE_STATUS_INVAL);
  ASSERT_EQ(begin(), SANE_STATUS_GOOD);
  ASSERT_EQ(session_->next_page(), SANE_STATUS_GOOD);
  ASSERT_EQ(session_->set_io_mode(non_blocking), SANE_STATUS_GOOD);
  ASSERT_EQ(session_->select_fd(&fd), SANE_STATUS_GOOD);
  script_.stalled.get_future().wait();
  // Nothing decoded yet: not readable, and a read returns at once.
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  uint8_t buffer[64];
  SANE_Int length = -1;
  EXPECT_EQ(session_->read(buffer, sizeof buffer, &length), SANE_STATUS_GOOD);
  EXPECT_EQ(length, 0);
  // A cancel is a final status: readable, and reads say it.
  session_->cancel();
  EXPECT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(session_->read(buffer, sizeof buffer, &length), SANE_STATUS_CANCELLED);
  session_->wait_idle();
  EXPECT_EQ(script_.count("end_scan 1 deleted"), 1);
}

// A cancel from another thread or from a signal handler ends a read that
// waits on a stalled page, and a sane_start that waits on a busy device.
void on_signal(int);
ScanSession *g_signalled = nullptr;
void on_signal(int) { g_signalled->cancel(); }

TEST_F(ScanSessionTest, CancelsEndBlockedCallsAtOnce) {
  struct Case {
    const char *name;
    bool busy;     // else a stalled read
    bool signal;   // from a SIGUSR1 handler on the blocked thread
    bool wake_fd;  // the channel library has wake-up descriptors
  };
  const Case cases[] = {
      {"read, thread", false, false, true},
      {"read, signal", false, true, true},
      {"busy start, thread", true, false, true},
      {"busy start, signal", true, true, true},
  };
  struct sigaction action {};
  action.sa_handler = on_signal;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    script_.~Script();
    new (&script_) Script;
    add_pages(1);
    script_.busy = c.busy;
    script_.stall_page = c.busy ? -1 : 0;
    g_signalled = session_.get();
    ASSERT_EQ(begin(), SANE_STATUS_GOOD);
    const pthread_t blocked = pthread_self();
    std::atomic<int64_t> cancelled_at{0};
    std::promise<void> took;
    std::thread canceller([&] {
      script_.stalled.get_future().wait();
      if (!c.busy) took.get_future().wait();
      cancelled_at = Clock::now().time_since_epoch().count();
      if (c.signal) pthread_kill(blocked, SIGUSR1);
      else session_->cancel();
    });
    SANE_Status status = session_->next_page();
    if (!c.busy) {
      EXPECT_EQ(status, SANE_STATUS_GOOD);
      took.set_value();
      std::vector<uint8_t> frame;
      status = read_page(frame);
    }
    const auto returned = Clock::now();
    canceller.join();
    EXPECT_EQ(status, SANE_STATUS_CANCELLED);
    EXPECT_LT(returned - Clock::time_point(Clock::duration(cancelled_at.load())), kCancelBound);
    session_->wait_idle();
    // The job is ended as interrupted, which deletes it on the device.
    EXPECT_EQ(script_.count("end_scan 1" + std::string(c.busy ? "" : " deleted")), 1);
  }
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(ScanSessionTest, BusyDeviceIsGivenUpAfterTheBudget) {
  add_pages(1);
  script_.busy = true;
  ASSERT_EQ(begin(300), SANE_STATUS_GOOD);
  EXPECT_EQ(session_->next_page(), SANE_STATUS_DEVICE_BUSY);
  session_->wait_idle();
  EXPECT_GE(script_.count("start busy"), 2);
  EXPECT_EQ(script_.count("end_scan 1"), 1);
  // A new scan after it starts afresh.
  script_.busy = false;
  ASSERT_EQ(begin(), SANE_STATUS_GOOD);
  EXPECT_EQ(session_->next_page(), SANE_STATUS_GOOD);
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_page(frame), SANE_STATUS_EOF);
}

TEST_F(ScanSessionTest, StaleCancelDoesNotStopTheNextScan) {
  add_pages(2);
  ASSERT_EQ(begin(), SANE_STATUS_GOOD);
  ASSERT_EQ(session_->next_page(), SANE_STATUS_GOOD);
  std::vector<uint8_t> frame;
  ASSERT_EQ(read_page(frame), SANE_STATUS_EOF);
  // Frontends cancel after every scan: the job is already over.
  session_->cancel();
  EXPECT_FALSE(session_->batch_running());
  ASSERT_EQ(begin(), SANE_STATUS_GOOD);
  EXPECT_EQ(session_->next_page(), SANE_STATUS_GOOD);
  frame.clear();
  EXPECT_EQ(read_page(frame), SANE_STATUS_EOF);
  EXPECT_EQ(frame.front(), 20);
  session_->wait_idle();
  EXPECT_EQ(script_.count("end_scan 0"), 2);
  EXPECT_EQ(script_.count("end_scan 1 deleted"), 0);
}

}  // namespace
