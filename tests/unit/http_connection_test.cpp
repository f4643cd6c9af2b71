// The connection record and its read-ahead buffer, through the scripted device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "device_double.h"
#include "http/http.h"

using fake::Log;
using ::testing::ElementsAre;

namespace {

struct Connection {
  fake::Device dev;
  http_handle *h = nullptr;
  fake::Channel &ch;
  Connection() : ch(dev.next("KV-ESCL-SCAN")) {}
  void open() { ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &h), HTTP_OK); }
  ~Connection() { http_close(h); }
};

TEST(HttpOpen, StoresTheRecordAndMarksItOpen) {
  Connection c;
  c.open();
  ASSERT_NE(c.h, nullptr);
  EXPECT_EQ(c.h->state, 1);
  EXPECT_EQ(c.h->dd, c.dev.dd());
  EXPECT_GT(c.h->channel_id, 0);
  EXPECT_EQ(c.dev.opened_names(), std::vector<std::string>{"KV-ESCL-SCAN"});
}

TEST(HttpOpen, RefusedChannelLeavesThePlaceEmpty) {
  fake::Device dev;
  dev.refuse("KV-EWS-NDAT");
  http_handle *h = reinterpret_cast<http_handle *>(0x1);
  EXPECT_EQ(http_open(dev.dd(), "KV-EWS-NDAT", &h), HTTP_IO_ERROR);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(fake::logged(3, "http 263: unable to open KV-EWS-NDAT channel\n"));
}

TEST(HttpClose, NullLogsNothingAndRecordIsClosedOnce) {
  Connection c;
  EXPECT_EQ(http_close(nullptr), 0);
  EXPECT_TRUE(fake::logs().empty());
  c.open();
  http_close(c.h);
  c.h = nullptr;
  EXPECT_TRUE(c.ch.closed);
  EXPECT_EQ(c.dev.open_count(), 0);
}

TEST(ReadStream, OneByteReadKeepsTheRestBuffered) {
  Connection c;
  c.ch.reply(std::string(500, 'x'));
  c.open();
  char byte = 0;
  int32_t n = 0;
  ASSERT_EQ(read_stream(c.h, &byte, 1, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(c.h->s.index, 1);
  EXPECT_EQ(c.h->s.cnt, 499);
  for (int i = 0; i < 499; ++i) ASSERT_EQ(read_stream(c.h, &byte, 1, 5, &n), HTTP_OK);
  EXPECT_EQ(c.ch.read_sizes, std::vector<int>{4096});
  EXPECT_EQ(c.h->s.index, 0);
  EXPECT_EQ(c.h->s.cnt, 0);
}

TEST(ReadStream, TransientResultsAreRetriedThreeTimes) {
  Connection c;
  c.ch.fail_read(49).fail_read(49).fail_read(49).reply("0123456789");
  c.open();
  char buf[16];
  int32_t n = 0;
  fake::reset_captures();
  ASSERT_EQ(read_stream(c.h, buf, 16, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 10);
  EXPECT_THAT(fake::sleeps(), ElementsAre(100000u, 100000u, 100000u));
  EXPECT_THAT(fake::logs_starting("http 153:"),
              ElementsAre(Log{6, "http 153: kvchan_read_channel failed retrying (2) more times)\n"},
                          Log{6, "http 153: kvchan_read_channel failed retrying (1) more times)\n"},
                          Log{6, "http 153: kvchan_read_channel failed retrying (0) more times)\n"}));
}

TEST(ReadStream, PersistentTransientResultIsAnError) {
  Connection c;
  c.ch.fail_read(12).fail_read(12).fail_read(12).fail_read(12);
  c.open();
  char buf[16];
  int32_t n = 0;
  EXPECT_EQ(read_stream(c.h, buf, 16, 5, &n), HTTP_IO_ERROR);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(fake::logged(3, "http 157: read_stream error stat=12\n"));
}

}  // namespace
