// The queue between the scan worker and the frontend: its order, its
// bound, and a ready descriptor readable exactly when a read or a start has
// something to take.
#include "frame_queue.h"

#include <poll.h>

#include <gtest/gtest.h>

#include <vector>

using bbescl::FrameQueue;

namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

SANE_Parameters params_of(int lines) {
  SANE_Parameters p{};
  p.lines = lines;
  p.bytes_per_line = 4;
  return p;
}

// One step a row: what the worker pushes or the frontend takes, and what
// the step gives and leaves.
enum class Op { kPushPage, kPushData, kPushEnd, kPushLastEnd, kPushNoPage, kAbandon, kTakePage, kRead };
struct Step {
  Op op;
  int value;            // lines of a page; a data byte; a read's length
  bool taken;           // a take or read found something
  SANE_Status status;   // what it gave
  int length;           // bytes read
  bool ready_after;     // the descriptor is readable after the step
};

TEST(FrameQueue, ReadyExactlyWhenTheFrontendHasSomething) {
  const Step steps[] = {
      {Op::kTakePage, 0, false, SANE_STATUS_GOOD, 0, false},
      {Op::kPushPage, 10, false, SANE_STATUS_GOOD, 0, true},
      {Op::kRead, 8, false, SANE_STATUS_GOOD, 0, true},  // no page begun: nothing to read
      {Op::kTakePage, 0, true, SANE_STATUS_GOOD, 0, false},
      {Op::kRead, 8, false, SANE_STATUS_GOOD, 0, false},
      {Op::kPushData, 1, false, SANE_STATUS_GOOD, 0, true},
      {Op::kRead, 3, true, SANE_STATUS_GOOD, 3, true},
      {Op::kRead, 8, true, SANE_STATUS_GOOD, 1, false},
      {Op::kPushData, 2, false, SANE_STATUS_GOOD, 0, true},
      {Op::kPushEnd, 0, false, SANE_STATUS_GOOD, 0, true},
      {Op::kPushPage, 20, false, SANE_STATUS_GOOD, 0, true},
      {Op::kRead, 8, true, SANE_STATUS_GOOD, 4, true},
      {Op::kRead, 8, true, SANE_STATUS_EOF, 0, true},  // the next page waits for its start
      {Op::kTakePage, 0, true, SANE_STATUS_GOOD, 0, false},
      {Op::kPushData, 3, false, SANE_STATUS_GOOD, 0, true},
      {Op::kPushLastEnd, 0, false, SANE_STATUS_GOOD, 0, true},
      {Op::kRead, 8, true, SANE_STATUS_GOOD, 4, true},
      {Op::kRead, 8, true, SANE_STATUS_EOF, 0, false},
  };
  FrameQueue q;
  ASSERT_TRUE(q.valid());
  EXPECT_FALSE(readable(q.ready_fd()));
  int i = 0;
  for (const Step &s : steps) {
    SCOPED_TRACE(i++);
    SANE_Status status = SANE_STATUS_GOOD;
    SANE_Parameters params{};
    uint8_t buffer[16] = {};
    int length = 0;
    bool taken = false;
    switch (s.op) {
      case Op::kPushPage: q.push_page(params_of(s.value)); break;
      case Op::kPushData: q.push_data(std::vector<uint8_t>(4, static_cast<uint8_t>(s.value))); break;
      case Op::kPushEnd: q.push_page_end(SANE_STATUS_EOF, false); break;
      case Op::kPushLastEnd: q.push_page_end(SANE_STATUS_EOF, true); break;
      case Op::kPushNoPage: q.push_start_failure(SANE_STATUS_NO_DOCS); break;
      case Op::kAbandon: q.abandon(SANE_STATUS_CANCELLED); break;
      case Op::kTakePage: taken = q.take_page(&status, &params); break;
      case Op::kRead: taken = q.read(buffer, s.value, &length, &status); break;
    }
    EXPECT_EQ(taken, s.taken);
    if (taken) {
      EXPECT_EQ(status, s.status);
      EXPECT_EQ(length, s.length);
    }
    EXPECT_EQ(readable(q.ready_fd()), s.ready_after);
  }
  EXPECT_TRUE(q.batch_over());
  EXPECT_EQ(q.pages_taken(), 2);
}

// What ends a batch, and what the next start gives.
TEST(FrameQueue, EndsOfABatch) {
  struct Case {
    const char *name;
    bool cancel;
    SANE_Status next_start;
    size_t queued;  // what stays queued
  };
  const Case cases[] = {
      {"feeder empty", false, SANE_STATUS_NO_DOCS, 0},
      // What was fetched ahead is dropped.
      {"cancelled", true, SANE_STATUS_CANCELLED, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FrameQueue q;
    q.push_page(params_of(1));
    q.push_data(std::vector<uint8_t>(4, 9));
    q.push_page_end(SANE_STATUS_EOF, false);
    SANE_Status status = SANE_STATUS_GOOD;
    SANE_Parameters params{};
    ASSERT_TRUE(q.take_page(&status, &params));
    EXPECT_EQ(status, SANE_STATUS_GOOD);
    EXPECT_EQ(params.lines, 1);
    if (c.cancel) q.abandon(SANE_STATUS_CANCELLED);
    else q.push_start_failure(SANE_STATUS_NO_DOCS);
    uint8_t buffer[8];
    int length = 0;
    ASSERT_TRUE(q.read(buffer, 8, &length, &status));
    EXPECT_EQ(status, c.cancel ? SANE_STATUS_CANCELLED : SANE_STATUS_GOOD);
    if (!c.cancel) {
      ASSERT_TRUE(q.read(buffer, 8, &length, &status));
      EXPECT_EQ(status, SANE_STATUS_EOF);
      EXPECT_FALSE(q.batch_over());
    }
    EXPECT_TRUE(readable(q.ready_fd()));
    ASSERT_TRUE(q.take_page(&status, &params));
    EXPECT_EQ(status, c.next_start);
    EXPECT_TRUE(q.batch_over());
    EXPECT_EQ(q.queued_bytes(), c.queued);
  }
}

TEST(FrameQueue, BoundedByBytesButNeverEmptyHanded) {
  struct Case {
    size_t queued;
    size_t more;
    bool room;
  };
  const Case cases[] = {
      {0, 1000, true},  // a block larger than the bound still goes into an empty queue
      {40, 60, true},
      {40, 61, false},
      {100, 1, false},
  };
  for (const Case &c : cases) {
    FrameQueue q(100);
    q.push_page(params_of(1));
    if (c.queued) q.push_data(std::vector<uint8_t>(c.queued, 1));
    EXPECT_EQ(q.has_room(c.more), c.room) << c.queued << " + " << c.more;
  }
  // Taking bytes out makes room and says so on the room descriptor.
  FrameQueue q(100);
  q.push_page(params_of(1));
  q.push_data(std::vector<uint8_t>(100, 1));
  q.drain_room();
  SANE_Status status;
  SANE_Parameters params;
  ASSERT_TRUE(q.take_page(&status, &params));
  q.drain_room();
  EXPECT_FALSE(readable(q.room_fd()));
  uint8_t buffer[30];
  int length = 0;
  ASSERT_TRUE(q.read(buffer, 30, &length, &status));
  EXPECT_TRUE(readable(q.room_fd()));
  EXPECT_EQ(q.queued_bytes(), 70u);
  EXPECT_TRUE(q.has_room(30));
}

}  // namespace
