// The connection record and its read-ahead buffer, through the scripted device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

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

TEST(HttpOpen, LogsTheCallAndClearsThePlaceFirst) {
  struct Row {
    int refusal;
    Log why;
  };
  const Row rows[] = {
      {5, {3, "http 263: unable to open KV-ESCL-SCAN channel\n"}},
      // KVCHAN_E_CANCELLED: the host's wake-up descriptor ended the connect.
      {9, {6, "http 262: opening the KV-ESCL-SCAN channel cancelled by the host\n"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.refusal);
    fake::Device dev;
    dev.refuse("KV-ESCL-SCAN", row.refusal);
    http_handle *h = reinterpret_cast<http_handle *>(0x1);
    EXPECT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &h), HTTP_IO_ERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_THAT(fake::logs(),
                ElementsAre(Log{6, "http 249: http_open() dd=7 channel=KV-ESCL-SCAN handle=" +
                                       fake::ptr(&h) + "\n"},
                            row.why));
  }
}

TEST(HttpClose, LogsAndSkipsTheChannelLibraryWithoutAChannel) {
  Connection c;
  c.open();
  fake::reset_captures();
  // A record whose channel number is not positive holds no channel.
  c.h->channel_id = 0;
  void *address = c.h;
  EXPECT_EQ(http_close(c.h), 0);
  c.h = nullptr;
  EXPECT_FALSE(c.ch.closed);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "http 284: http_close() handle=" +
                                                   fake::ptr(address) + "\n"}));
}

TEST(HttpWrite, OneCallWithTheWholeRequest) {
  Connection c;
  c.open();
  fake::reset_captures();
  const std::string request = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHOST: \r\n\r\n";
  EXPECT_EQ(http_write(c.h, request.data(), static_cast<int32_t>(request.size()), 5), HTTP_OK);
  EXPECT_EQ(c.ch.writes, std::vector<std::string>{request});
  EXPECT_EQ(c.ch.write_timeouts, std::vector<int>{5});
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "http 552: http_write() handle=" + fake::ptr(c.h) +
                                                   " data=" + fake::ptr(request.data()) +
                                                   " size=44 sectime=5\n"}));
  c.ch.write_result = 5;
  EXPECT_EQ(http_write(c.h, request.data(), 10, 1), HTTP_IO_ERROR);
  EXPECT_EQ(c.ch.writes.size(), 2u);  // no retry
  EXPECT_TRUE(fake::logged(3, "http 556: unable to write channel data\n"));
}

TEST(ReadStream, ChannelReadLogsAndHandsOutFromTheBuffer) {
  Connection c;
  c.ch.reply("0123456789");
  c.open();
  fake::reset_captures();
  char buf[4];
  int32_t n = 0;
  ASSERT_EQ(read_stream(c.h, buf, 4, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_THAT(fake::logs(),
              ElementsAre(Log{6, "http 166: read_channel len=10\n"},
                          Log{6, "http 189: -read_stream() bytes_read=4 s.index=4 s.cnt=6 stat=0\n"}));
  // The rest comes from the buffer, silently; asking for more than it holds
  // empties it.
  fake::reset_captures();
  ASSERT_EQ(read_stream(c.h, buf, 4, 5, &n), HTTP_OK);
  ASSERT_EQ(read_stream(c.h, buf, 4, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(c.h->s.index, 0);
  EXPECT_EQ(c.h->s.cnt, 0);
  EXPECT_TRUE(fake::logs().empty());
  EXPECT_EQ(c.ch.read_sizes, std::vector<int>{4096});
  EXPECT_EQ(c.ch.read_timeouts, std::vector<int>{5});
}

TEST(ReadStream, Failures) {
  struct Row {
    const char *what;
    std::vector<fake::ReadStep> script;
    std::vector<Log> logs;
    size_t sleeps;
  };
  const Row rows[] = {
      {"hard error, no retry", {{"", 5}},
       {{3, "http 157: read_stream error stat=5\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       0},
      {"nothing in time", {{"", 0}},
       {{3, "http 162: read_stream error len=0\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       0},
      {"transient then hard error", {{"", 49}, {"", 7}},
       {{6, "http 153: kvchan_read_channel failed retrying (2) more times)\n"},
        {3, "http 157: read_stream error stat=7\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       1},
      {"transient then nothing", {{"", 12}, {"", 0}},
       {{6, "http 153: kvchan_read_channel failed retrying (2) more times)\n"},
        {3, "http 162: read_stream error len=0\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       1},
      // KVCHAN_E_CANCELLED: the host's wake-up descriptor, no failure of the device.
      {"cancelled by the host, no retry", {{"", 9}, {"late", 0}},
       {{6, "http 156: read_stream stopped: cancelled by the host\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       0},
      {"transient then cancelled", {{"", 49}, {"", 9}, {"late", 0}},
       {{6, "http 153: kvchan_read_channel failed retrying (2) more times)\n"},
        {6, "http 156: read_stream stopped: cancelled by the host\n"},
        {6, "http 189: -read_stream() bytes_read=0 s.index=0 s.cnt=0 stat=1\n"}},
       1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Connection c;
    for (const auto &step : row.script) c.ch.script.push_back(step);
    c.open();
    fake::reset_captures();
    char buf[8];
    int32_t n = 99;
    EXPECT_EQ(read_stream(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(fake::logs(), row.logs);
    EXPECT_EQ(fake::sleeps().size(), row.sleeps);
  }
}

// Once the host's wake-up descriptor ended a read, the exchange is over:
// later reads stop without asking the channel.
TEST(ReadStream, CancelledReadEndsTheExchange) {
  Connection c;
  c.ch.fail_read(9).reply("late");
  c.open();
  char buf[8];
  int32_t n = 99;
  EXPECT_EQ(read_stream(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
  EXPECT_EQ(read_stream(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
  EXPECT_EQ(c.ch.read_sizes.size(), 1u);
  EXPECT_TRUE(fake::logged(6, "http 140: read_stream stopped: cancelled\n"));
  for (const Log &line : fake::logs()) EXPECT_NE(line.level, 3) << line;
}

TEST(HttpWrite, CancelledWriteIsNoError) {
  Connection c;
  c.ch.write_result = 9;
  c.open();
  fake::reset_captures();
  EXPECT_EQ(http_write(c.h, "GET", 3, 5), HTTP_IO_ERROR);
  EXPECT_TRUE(fake::logged(6, "http 555: writing channel data cancelled by the host\n"));
  for (const Log &line : fake::logs()) EXPECT_NE(line.level, 3) << line;
}

TEST(ReadStream, PersistentTransientResultRetriesThreeTimesOnly) {
  Connection c;
  c.ch.fail_read(12).fail_read(12).fail_read(12).fail_read(12).reply("late");
  c.open();
  char buf[8];
  int32_t n = 0;
  EXPECT_EQ(read_stream(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
  EXPECT_EQ(c.ch.read_sizes.size(), 4u);
  EXPECT_THAT(fake::sleeps(), ElementsAre(100000u, 100000u, 100000u));
  // The bytes that came later are still there for the next read.
  ASSERT_EQ(read_stream(c.h, buf, 8, 5, &n), HTTP_OK);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "late");
}

struct Line {
  int status;
  std::string text;
};

// Reads lines with a buffer of `size` bytes until a read fails.
std::vector<Line> read_lines(http_handle *h, int32_t size) {
  std::vector<Line> lines;
  std::vector<char> buf(static_cast<size_t>(size) + 1, '#');
  for (;;) {
    int32_t len = -1;
    int status = read_line(h, buf.data(), size, 5, &len);
    EXPECT_EQ(buf[static_cast<size_t>(len)], '\0');
    lines.push_back({status, std::string(buf.data(), static_cast<size_t>(len))});
    if (status != HTTP_OK) return lines;
  }
}

TEST(ReadLine, SplitsLinesWhateverTheChannelReads) {
  const std::string input = "HTTP/1.1 200 OK\r\nabc\ndef\n\nx\r\r\nend";
  const std::vector<std::string> expected = {"HTTP/1.1 200 OK\r\n", "abc\ndef\n\n", "x\r\r\n",
                                             "end\xff"};
  for (size_t piece = 1; piece <= input.size(); ++piece) {
    SCOPED_TRACE(piece);
    Connection c;
    c.ch.reply_in_pieces(input, piece);
    c.open();
    std::vector<Line> lines = read_lines(c.h, 128);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].text, expected[i]);
      EXPECT_EQ(lines[i].status, i + 1 == lines.size() ? HTTP_IO_ERROR : HTTP_OK);
    }
  }
}

TEST(ReadLine, LongLineComesBackInPieces) {
  Connection c;
  c.ch.reply(std::string(298, 'L') + "\r\n");
  c.open();
  char buf[128];
  int32_t len = 0;
  std::vector<int32_t> lengths;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(read_line(c.h, buf, sizeof buf, 5, &len), HTTP_OK);
    lengths.push_back(len);
  }
  EXPECT_EQ(lengths, (std::vector<int32_t>{127, 127, 46}));
  EXPECT_EQ(std::string(buf), std::string(44, 'L') + "\r\n");
  // Lines are not logged one by one: a device sending garbage must not
  // flood the log.
  EXPECT_TRUE(fake::logs_starting("http 239:").empty());
}

TEST(ReadLine, FailureMarksTheLineWith0xFF) {
  Connection c;
  c.ch.reply("HTTP/").silence();
  c.open();
  char buf[16];
  int32_t len = 0;
  EXPECT_EQ(read_line(c.h, buf, sizeof buf, 9, &len), HTTP_IO_ERROR);
  EXPECT_EQ(len, 6);
  EXPECT_EQ(std::string(buf), "HTTP/\xff");
  // The first byte may take the caller's limit, the rest of a line 3 s.
  EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{9, 3}));
}

TEST(ReadLine, TinyBuffersReadNothing) {
  Connection c;
  c.ch.reply("abc\r\n");
  c.open();
  char buf[2] = {'#', '#'};
  int32_t len = -1;
  EXPECT_EQ(read_line(c.h, buf, 1, 5, &len), HTTP_OK);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(read_line(c.h, buf, 0, 5, &len), HTTP_OK);
  EXPECT_EQ(len, 0);
  EXPECT_TRUE(c.ch.read_sizes.empty());
  // Size 2 reads one byte at a time.
  EXPECT_EQ(read_line(c.h, buf, 2, 5, &len), HTTP_OK);
  EXPECT_EQ(std::string(buf), "a");
}

// Pages are read in pieces as large as the host's buffer: what the
// read-ahead holds goes first, otherwise one channel read lands straight in
// the caller's memory.
TEST(HttpReadAvailable, BufferedBytesFirstThenOneDirectRead) {
  Connection c;
  c.ch.reply("abc").reply(std::string(9000, 'd')).reply("e");
  c.open();
  char byte = 0;
  int32_t n = 0;
  ASSERT_EQ(read_stream(c.h, &byte, 1, 5, &n), HTTP_OK);
  std::vector<char> buf(10000);
  ASSERT_EQ(http_read_available(c.h, buf.data(), 10000, 5, &n), HTTP_OK);
  EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)), "bc");
  ASSERT_EQ(http_read_available(c.h, buf.data(), 10000, 7, &n), HTTP_OK);
  EXPECT_EQ(n, 9000);
  EXPECT_EQ(c.h->s.cnt, 0);
  EXPECT_EQ(c.ch.read_sizes, (std::vector<int>{4096, 10000}));
  EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{5, 7}));
  EXPECT_EQ(http_read_available(c.h, buf.data(), 0, 7, &n), HTTP_OK);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(c.ch.read_sizes.size(), 2u);
}

}  // namespace
