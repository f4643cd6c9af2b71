// Response readers: status line and header, text body, exact byte counts
// and chunk data, through the scripted device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "device_double.h"
#include "http/http.h"

using fake::Log;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Connection {
  fake::Device dev;
  fake::Channel &ch;
  http_handle *h = nullptr;
  Connection() : ch(dev.next("KV-ESCL-SCAN")) {}
  // Opens the channel and forgets the open's own log line.
  void open() {
    ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &h), HTTP_OK);
    fake::reset_captures();
  }
  ~Connection() { http_close(h); }
};

// Every piece size from 1 to the whole input, for parsers that must not
// care where the device's reads split the bytes.
std::vector<size_t> piece_sizes(const std::string &bytes) {
  std::vector<size_t> sizes;
  for (size_t p = 1; p <= bytes.size(); ++p) sizes.push_back(p);
  return sizes;
}

const std::string kHeader =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/xml\r\n"
    "Transfer-Encoding: chunked\r\n"
    "\r\n";
const std::string kFiveByteBody = "5\r\nhello\r\n0\r\n\r\n";

// ---- http_read_header ----

TEST(HttpReadHeader, ReturnsStatusLineHeaderLinesAndEmptyLineWhateverTheSplit) {
  const std::string after = "BODY";
  for (size_t piece : piece_sizes(kHeader + after)) {
    SCOPED_TRACE(piece);
    Connection c;
    c.ch.reply_in_pieces(kHeader + after, piece);
    c.open();
    char buf[256];
    int32_t n = -1;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    EXPECT_EQ(std::string(buf), kHeader);
    EXPECT_EQ(n, static_cast<int32_t>(kHeader.size()));
    EXPECT_EQ(c.h->http_status, 200);
    // The body is left for the body readers.
    char rest[8] = {};
    int32_t got = 0;
    ASSERT_EQ(http_read_size(c.h, rest, 4, 5, &got), HTTP_OK);
    EXPECT_EQ(std::string(rest), after);
  }
}

TEST(HttpReadHeader, LogsItsEntryAndItsEnd) {
  Connection c;
  c.ch.reply(kHeader);
  c.open();
  char buf[256];
  int32_t n = 0;
  ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
  EXPECT_THAT(fake::logs_starting("http 3"),
              ElementsAre(Log{6, "http 300: http_read_header() handle=" +
                                     fake::ptr(c.h) + " data=" + fake::ptr(buf) +
                                     " size=256 sectime=5\n"},
                          Log{6, "http 345: -http_read_header() handle=" + fake::ptr(c.h) +
                                     " data=" + fake::ptr(buf) +
                                     " bytes_read=71 size=256 status=0\n"}));
  // The first byte of each line may take the caller's limit, the rest 3 s;
  // all of it came in one channel read.
  EXPECT_EQ(c.ch.read_timeouts, std::vector<int>{5});
}

TEST(HttpReadHeader, SkipsStrayLinesBeforeTheStatusLine) {
  Connection c;
  c.ch.reply("\r\n").reply("garbage\r\n" + kHeader);
  c.open();
  char buf[256];
  int32_t n = 0;
  ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
  EXPECT_EQ(std::string(buf), kHeader);
  // One line for the skip, however many lines are skipped.
  EXPECT_THAT(fake::logs_starting("http 313:"),
              ElementsAre(Log{6, "http 313: HTTP Header not found. Searching header in next line (2)\n"}));
}

// A device that never sends a status line, or never ends its header, is
// read only so far; a NUL hides nothing after it; interim answers and
// HTTP/1.0 are read as devices send them.
TEST(HttpReadHeader, BoundedAndLenientWhereDevicesDiffer) {
  struct Row {
    std::string name;
    std::string wire;
    int result;
    int32_t status;
    int64_t content_length;
  };
  std::string garbage;
  for (int i = 0; i < 2000; ++i) garbage += "this is not a status line of any answer, just garbage\r\n";
  std::string long_header = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 2000; ++i) long_header += "X-Pad: 0123456789012345678901234567890123456789\r\n";
  const Row rows[] = {
      {"endless garbage", garbage + kHeader, HTTP_IO_ERROR, 0, -1},
      {"endless header", long_header, HTTP_IO_ERROR, 200, -1},
      {"no reason phrase", "HTTP/1.1 201\r\nLocation: /eSCL/ScanJobs/1\r\n\r\n", HTTP_OK, 201, -1},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n", HTTP_OK, 200, 7},
      {"100 Continue first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n",
       HTTP_OK, 200, 3},
      {"NUL in a header line", std::string("HTTP/1.1 200 OK\r\nX-Info: ab\0cd\r\nContent-Length: 5\r\n\r\n", 53),
       HTTP_OK, 200, 5},
      {"chunked", "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n", HTTP_OK, 200, -1},
  };
  for (const Row &row : rows) {
    Connection c;
    c.ch.reply_in_pieces(row.wire, 4096);
    c.open();
    std::vector<char> buf(4096);
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf.data(), static_cast<int32_t>(buf.size()), 5, &n), row.result) << row.name;
    EXPECT_EQ(c.h->http_status, row.status) << row.name;
    if (row.result == HTTP_OK) {
      EXPECT_EQ(c.h->content_length, row.content_length) << row.name;
      EXPECT_EQ(std::string(buf.data()).find("X-Info"), std::string::npos) << row.name;
      EXPECT_EQ(std::string(buf.data()).find("100 Continue"), std::string::npos) << row.name;
    }
    EXPECT_LE(fake::logs().size(), 40u) << row.name;
    EXPECT_LE(c.ch.read_timeouts.size(), 20u) << row.name;
  }
}

TEST(HttpReadHeader, AcceptsSuccessStatusesAnd400RefusesTheRest) {
  struct Row {
    std::string status_line;
    int result;
    int32_t status;
  };
  const Row rows[] = {
      {"HTTP/1.1 200 OK", HTTP_OK, 200},
      {"HTTP/1.1 201 Created", HTTP_OK, 201},
      {"HTTP/1.1 204 No Content", HTTP_OK, 204},
      {"HTTP/1.1 299 Whatever", HTTP_OK, 299},
      {"HTTP/1.1 400 Bad Request", HTTP_OK, 400},
      {"HTTP/1.1  \t200 OK", HTTP_OK, 200},
      {"HTTP/1.0 204 No Content", HTTP_OK, 204},
      {"HTTP/1.1 300 Multiple", HTTP_IO_ERROR, 300},
      {"HTTP/1.1 404 Not Found", HTTP_IO_ERROR, 404},
      {"HTTP/1.1 503 Service Unavailable", HTTP_IO_ERROR, 503},
      {"HTTP/1.1 OK", HTTP_IO_ERROR, 0},
      {"HTTP/1.1 -200 OK", HTTP_IO_ERROR, 0},
      {"HTTP/1.1 4294967496 OK", HTTP_IO_ERROR, 0},  // 2^32 + 200 must not wrap to 200
      {"HTTP/1.1", HTTP_IO_ERROR, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.status_line);
    Connection c;
    c.ch.reply(row.status_line + "\r\nServer: x\r\n\r\n");
    c.open();
    char buf[256];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), row.result);
    EXPECT_EQ(c.h->http_status, row.status);
    EXPECT_EQ(fake::logged(3, "http 322: invalid http_status=" + std::to_string(row.status) + "\n"),
              row.result != HTTP_OK);
  }
}

// A refused answer is read by its own framing, so the caller is not held
// by a wait for silence and a further answer on the channel stays intact;
// only a body without a length is read until the device falls silent.
TEST(HttpReadHeader, RefusedAnswerIsReadByItsFraming) {
  struct Row {
    std::string name;
    std::string answer;
    bool waits_for_silence;
  };
  const std::string kNext = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const Row rows[] = {
      {"counted", "HTTP/1.1 404 Not Found\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'b'), false},
      {"empty", "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\ncontent-length: 0\r\n\r\n", false},
      {"chunked", "HTTP/1.1 409 Conflict\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nbusy!\r\n0\r\n\r\n", false},
      {"no length", "HTTP/1.1 404 Not Found\r\n\r\nnot here", true},
  };
  for (const Row &row : rows) {
    Connection c;
    c.ch.reply_in_pieces(row.answer, 7);
    if (!row.waits_for_silence) c.ch.reply(kNext);
    c.open();
    char buf[5120];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR) << row.name;
    const std::string status_line = row.answer.substr(0, row.answer.find("\r\n") + 2);
    EXPECT_EQ(n, static_cast<int32_t>(status_line.size())) << row.name;
    EXPECT_EQ(std::string(buf).rfind(status_line, 0), 0u) << row.name;
    EXPECT_EQ(c.h->http_status, std::stoi(row.answer.substr(9, 3))) << row.name;
    if (row.waits_for_silence) {
      EXPECT_FALSE(fake::logs_starting("http 328:").empty()) << row.name;
      continue;
    }
    EXPECT_TRUE(fake::logs_starting("http 328:").empty()) << row.name;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK) << row.name;
    EXPECT_EQ(std::string(buf), kNext) << row.name;
  }
}

// A refused answer whose body never ends is not read for ever.
TEST(HttpReadHeader, EndlessRefusedAnswerIsReadOnlyToALimit) {
  Connection c;
  c.ch.reply("HTTP/1.1 404 Not Found\r\n\r\n");
  for (int i = 0; i < 400; ++i) c.ch.reply(std::string(4096, 'x'));
  c.open();
  char buf[256];
  int32_t n = 0;
  EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
  EXPECT_LT(c.ch.read_timeouts.size(), 300u);
  EXPECT_EQ(std::string(buf, 24), "HTTP/1.1 404 Not Found\r\n");
}

TEST(HttpReadHeader, FailsWhenTheHeaderStopsOrDoesNotFit) {
  {
    Connection c;  // nothing at all
    c.open();
    char buf[64];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
    EXPECT_EQ(n, 0);
  }
  {
    Connection c;  // the header stops before its empty line
    c.ch.reply("HTTP/1.1 200 OK\r\nServer: x\r\n");
    c.open();
    char buf[64];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
  }
  {
    Connection c;  // the header is longer than the buffer
    c.ch.reply("HTTP/1.1 200 OK\r\nServer: " + std::string(100, 'x') + "\r\n\r\n");
    c.open();
    char buf[64];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "http 343: http_read_header header longer than the buffer size=64\n"));
  }
  {
    Connection c;  // a buffer that cannot hold a byte of a line
    c.ch.reply(kHeader);
    c.open();
    char buf[1];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
    EXPECT_TRUE(c.ch.read_sizes.empty());
  }
}

// ---- http_read ----

TEST(HttpRead, CollectsAChunkedBodyUpToItsEndWhateverTheSplit) {
  const std::string after = "NEXT";
  for (size_t piece : piece_sizes(kFiveByteBody + after)) {
    SCOPED_TRACE(piece);
    Connection c;
    c.ch.reply_in_pieces(kFiveByteBody + after, piece);
    c.open();
    char buf[256] = {};
    int32_t total = 0;
    ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
    EXPECT_EQ(total, 15);
    EXPECT_EQ(std::string(buf), kFiveByteBody);
    EXPECT_EQ(c.h->remaining, 0);
    EXPECT_TRUE(fake::logged(6, "http 506: -http_read() handle=" + fake::ptr(c.h) +
                                    " data=" + fake::ptr(buf + 15) +
                                    " bytes_read=15 size=256 status=2\n"));
    char rest[8] = {};
    int32_t got = 0;
    ASSERT_EQ(http_read_size(c.h, rest, 4, 5, &got), HTTP_OK);
    EXPECT_EQ(std::string(rest), after);
  }
}

TEST(HttpRead, LogsItsEntryButNotEachLine) {
  Connection c;
  c.ch.reply(kFiveByteBody);
  c.open();
  char buf[256] = {};
  int32_t total = 0;
  ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
  EXPECT_TRUE(fake::logs_starting("http 494:").empty());
  EXPECT_TRUE(fake::logged(6, "http 459: http_read() handle=" + fake::ptr(c.h) + " data=" +
                                  fake::ptr(buf) + " size=256 sectime=5 total_payload_length=0\n"));
}

TEST(HttpRead, ABodyThatStopsArrivingEndsTheCollection) {
  Connection c;
  c.ch.reply("5\r\nhel");
  c.open();
  char buf[256] = {};
  int32_t total = 0;
  ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
  // The last piece ("hel") is kept and counted; the failure mark is not.
  EXPECT_EQ(std::string(buf), "5\r\nhel");
  EXPECT_EQ(total, 3 + 3);
  EXPECT_EQ(c.h->remaining, 0);
  // The first byte of a line waits the caller's limit, later bytes 3 s.
  EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{5, 3}));
}

TEST(HttpRead, LongLinesArriveInPieces) {
  Connection c;
  const std::string data(300, 'd');
  const std::string body = "12c\r\n" + data + "\r\n0\r\n\r\n";
  c.ch.reply(body);
  c.open();
  char buf[1024] = {};
  int32_t total = 0;
  ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
  EXPECT_EQ(std::string(buf), body);
  EXPECT_EQ(total, static_cast<int32_t>(body.size()));
}

TEST(HttpRead, ABodyLongerThanTheBufferIsCutButReadToItsEnd) {
  Connection c;
  const std::string body = "a\r\n0123456789\r\n0\r\n\r\n";
  c.ch.reply(body + "NEXT");
  c.open();
  char buf[15];
  memset(buf, '#', sizeof buf);
  int32_t total = 0;
  ASSERT_EQ(http_read(c.h, buf, 14, 5, &total), HTTP_END);
  // "a\r\n" fits, the 12-byte data line would not leave room for the NUL.
  EXPECT_EQ(std::string(buf), "a\r\n");
  EXPECT_EQ(total, 3);
  EXPECT_THAT(fake::logs_starting("http 497:"),
              ElementsAre(Log{3, "http 497: http_read body cut after 3 bytes, buffer size=14\n"}));
  EXPECT_EQ(std::string(buf + 3, 12), std::string(1, '\0') + std::string(11, '#'));
  EXPECT_EQ(buf[14], '#');
  // The end of the body was still found: the next answer is untouched.
  char rest[8] = {};
  int32_t got = 0;
  ASSERT_EQ(http_read_size(c.h, rest, 4, 5, &got), HTTP_OK);
  EXPECT_EQ(std::string(rest), "NEXT");
}

TEST(HttpRead, ANulInsideALineLeavesZerosBehindIt) {
  Connection c;
  const std::string body = std::string("5\r\nhe\0lo\r\n0\r\n\r\n", 15);
  c.ch.reply(body);
  c.open();
  char buf[64];
  memset(buf, '#', sizeof buf);
  int32_t total = 0;
  ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
  EXPECT_EQ(std::string(buf, 16), std::string("5\r\nhe\0\0\0\0\0" "0\r\n\r\n\0", 16));
  // The line end before "0" is not in the collected text, so the end of the
  // body is only noticed when the channel falls silent.
  EXPECT_EQ(total, 15);
}

TEST(HttpRead, CountedModeStopsAtTheGivenLength) {
  Connection c;
  c.ch.reply("line one\r\nline two\r\nmore\r\n");
  c.open();
  char buf[64] = {};
  int32_t total = 20;
  ASSERT_EQ(http_read(c.h, buf, sizeof buf, 5, &total), HTTP_END);
  EXPECT_EQ(total, 20);
  EXPECT_EQ(std::string(buf), "line one\r\nline two\r\n");
  EXPECT_EQ(c.h->remaining, 0);
  EXPECT_THAT(fake::logs_starting("http 494:"), IsEmpty());

  Connection d;
  d.ch.reply("line one\r\nli");
  d.open();
  int32_t wanted = 20;
  EXPECT_EQ(http_read(d.h, buf, sizeof buf, 5, &wanted), HTTP_IO_ERROR);
  EXPECT_THAT(fake::logs_starting("http 506:"), IsEmpty());
}

// ---- http_read_size ----

TEST(HttpReadSize, ZeroAndEndMarks) {
  Connection c;
  c.ch.reply("abc");
  c.open();
  char buf[8] = {};
  int32_t n = 99;
  EXPECT_EQ(http_read_size(c.h, buf, 0, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 0);
  n = 99;
  EXPECT_EQ(http_read_size(c.h, buf, -5, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(c.ch.read_sizes.empty());
  n = 99;
  EXPECT_EQ(http_read_size(c.h, buf, -1, 5, &n), HTTP_END);
  EXPECT_EQ(n, 99);
  EXPECT_EQ(c.h->state, 2);
  EXPECT_EQ(http_read_size(c.h, buf, 3, 5, &n), HTTP_END);
  EXPECT_EQ(n, 99);
  EXPECT_TRUE(c.ch.read_sizes.empty());
}

TEST(HttpReadSize, ReadsExactlyTheCountAcrossChannelReads) {
  Connection c;
  c.ch.reply("0123").reply("456789").reply("abc");
  c.open();
  char buf[16] = {};
  int32_t n = 0;
  ASSERT_EQ(http_read_size(c.h, buf, 8, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(std::string(buf), "01234567");
  EXPECT_EQ(c.h->s.cnt, 2);
  EXPECT_EQ(c.ch.read_sizes, (std::vector<int>{4096, 4096}));
}

TEST(HttpReadSize, FailureReportsTheBytesReadSoFar) {
  Connection c;
  c.ch.reply("01234");
  c.open();
  char buf[16] = {};
  int32_t n = 0;
  EXPECT_EQ(http_read_size(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
  EXPECT_EQ(n, 5);
  EXPECT_TRUE(fake::logged(6, "http 533: http_read_size(): IO error after 5 bytes.\n"));
}

// What reading one byte at a time through read_stream gives; the exact-count
// reader must make the same channel calls and log the same lines.
int byte_at_a_time(http_handle *h, unsigned char *data, int32_t size, int32_t sectime,
                   int32_t *bytes_read) {
  syslog(LOG_INFO, "http 525: http_read_size() handle=%p data=%p size=%d sectime=%d\n",
         static_cast<void *>(h), static_cast<void *>(data), size, sectime);
  *bytes_read = 0;
  while (*bytes_read < size) {
    int32_t got = 0;
    if (read_stream(h, data + *bytes_read, 1, sectime, &got) != HTTP_OK) {
      syslog(LOG_INFO, "http 533: http_read_size(): IO error after %d bytes.\n", *bytes_read);
      return HTTP_IO_ERROR;
    }
    *bytes_read += got;
  }
  return HTTP_OK;
}

struct ReadRecord {
  std::vector<int> results;
  std::vector<int32_t> counts;
  std::string bytes;
  std::vector<Log> logs;
  std::vector<int> read_sizes;
  std::vector<int> read_timeouts;
  std::vector<unsigned> sleeps;
};

template <typename Reader>
ReadRecord record_reads(const std::string &input, size_t piece, bool transient_first,
                        Reader reader) {
  Connection c;
  if (transient_first) c.ch.fail_read(49).fail_read(12);
  c.ch.reply_in_pieces(input, piece);
  c.open();
  ReadRecord r;
  unsigned char buf[64];
  // Sizes that cross read boundaries; the last one runs past the input.
  for (int32_t size : {1, 7, 3, 20, 64}) {
    memset(buf, 0, sizeof buf);
    int32_t n = 0;
    r.results.push_back(reader(c.h, buf, size, 4, &n));
    r.counts.push_back(n);
    r.bytes.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
  }
  // Addresses differ between the two runs; they are not what is compared.
  for (Log l : fake::logs()) {
    if (l.text.rfind("http 525:", 0) == 0) l.text = l.text.substr(0, l.text.find(" handle="));
    r.logs.push_back(l);
  }
  r.read_sizes = c.ch.read_sizes;
  r.read_timeouts = c.ch.read_timeouts;
  r.sleeps = fake::sleeps();
  return r;
}

TEST(HttpReadSize, SameChannelCallsAndLogLinesAsReadingByteByByte) {
  std::string input;
  for (int i = 0; i < 60; ++i) input += static_cast<char>('!' + i);
  for (bool transient_first : {false, true}) {
    for (size_t piece : piece_sizes(input)) {
      SCOPED_TRACE(testing::Message() << "piece " << piece << " transient " << transient_first);
      ReadRecord fast = record_reads(input, piece, transient_first, http_read_size);
      ReadRecord slow = record_reads(input, piece, transient_first, byte_at_a_time);
      EXPECT_EQ(fast.results, slow.results);
      EXPECT_EQ(fast.counts, slow.counts);
      EXPECT_EQ(fast.bytes, slow.bytes);
      EXPECT_EQ(fast.bytes, input);
      EXPECT_EQ(fast.logs, slow.logs);
      EXPECT_EQ(fast.read_sizes, slow.read_sizes);
      EXPECT_EQ(fast.read_timeouts, slow.read_timeouts);
      EXPECT_EQ(fast.sleeps, slow.sleeps);
    }
  }
}

// ---- http_read_payload ----

TEST(HttpReadPayload, HandsOutChunkDataPieceByPiece) {
  Connection c;
  c.ch.reply(kFiveByteBody);
  c.open();
  char buf[8] = {};
  int32_t n = 0;
  ASSERT_EQ(http_read_payload(c.h, buf, 3, 5, &n), HTTP_OK);
  EXPECT_EQ(std::string(buf, 3), "hel");
  EXPECT_EQ(c.h->remaining, 2);
  ASSERT_EQ(http_read_payload(c.h, buf, 3, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::string(buf, 2), "lo");
  EXPECT_EQ(c.h->s.cnt, 5);  // the line end after the data was consumed
  ASSERT_EQ(http_read_payload(c.h, buf, 3, 5, &n), HTTP_END);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(c.h->state, 2);
  EXPECT_EQ(c.h->total, 5);
  const size_t reads = c.ch.read_sizes.size();
  ASSERT_EQ(http_read_payload(c.h, buf, 3, 5, &n), HTTP_END);
  EXPECT_EQ(c.ch.read_sizes.size(), reads);
  EXPECT_THAT(fake::logs_starting("http 420:"),
              ElementsAre(Log{6, "http 420: -http_read_payload() handle=" + fake::ptr(c.h) +
                                     " data=" + fake::ptr(buf) + " bytes_read=3 size=3 status=0\n"},
                          Log{6, "http 420: -http_read_payload() handle=" + fake::ptr(c.h) +
                                     " data=" + fake::ptr(buf) + " bytes_read=2 size=3 status=0\n"},
                          Log{6, "http 420: -http_read_payload() handle=" + fake::ptr(c.h) +
                                     " data=" + fake::ptr(buf) + " bytes_read=0 size=3 status=2\n"},
                          Log{6, "http 420: -http_read_payload() handle=" + fake::ptr(c.h) +
                                     " data=" + fake::ptr(buf) + " bytes_read=0 size=3 status=2\n"}));
}

TEST(HttpReadPayload, JoinsChunksWhateverTheSplit) {
  const std::string body = "3\r\nabc\r\n1A;ext=1\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n";
  for (size_t piece : piece_sizes(body)) {
    SCOPED_TRACE(piece);
    Connection c;
    c.ch.reply_in_pieces(body, piece);
    c.open();
    std::string data;
    char buf[10];
    int32_t n = 0;
    int r;
    int calls = 0;
    while ((r = http_read_payload(c.h, buf, sizeof buf, 5, &n)) == HTTP_OK && ++calls < 100)
      data.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(r, HTTP_END);
    EXPECT_EQ(data, "abc" + std::string(26, 'z'));
    EXPECT_EQ(c.h->total, 29);
  }
}

TEST(HttpReadPayload, ChunkSizeLines) {
  struct Row {
    std::string line;
    int result;
    int32_t remaining;
  };
  const Row rows[] = {
      {"10\r\n", HTTP_OK, 0x10 - 1},
      {"  ff\r\n", HTTP_OK, 0xff - 1},
      {"0x20\r\n", HTTP_OK, 0x20 - 1},
      {"7fffffff\r\n", HTTP_OK, 0x7fffffff - 1},
      {"xyz\r\n", HTTP_IO_ERROR, 0},  // no number: no chunked body
      {std::string(200, '1'), HTTP_IO_ERROR, 0},  // a size line that does not end
      {"-5\r\n", HTTP_IO_ERROR, 0},
      {"80000000\r\n", HTTP_IO_ERROR, 0},
      {"100000010\r\n", HTTP_IO_ERROR, 0},  // must not wrap to 0x10
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    Connection c;
    c.ch.reply(row.line + "D\r\n");
    c.open();
    char buf[1];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 1, 5, &n), row.result);
    EXPECT_EQ(c.h->remaining, row.remaining);
    EXPECT_EQ(fake::logs_starting("http 371:").size(), row.result == HTTP_IO_ERROR ? 1u : 0u);
  }
}

// Chunk data must be followed by its line end: anything else is a body
// out of step, not data.
TEST(HttpReadPayload, ChunkDataWithoutItsLineEndFails) {
  for (const std::string wire : {"3\r\nabcXY3\r\ndef\r\n0\r\n\r\n", "3\r\nabc\n3\r\ndef\r\n0\r\n\r\n"}) {
    Connection c;
    c.ch.reply(wire);
    c.open();
    char buf[3];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 3, 5, &n), HTTP_IO_ERROR) << wire;
    EXPECT_EQ(fake::logs_starting("http 412:").size(), 1u) << wire;
  }
}

TEST(HttpReadPayload, ReadFailures) {
  {
    Connection c;  // no chunk-size line
    c.open();
    char buf[8];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
    EXPECT_THAT(fake::logs_starting("http 420:"), IsEmpty());
  }
  {
    Connection c;  // data ends inside the chunk: one short piece, then failure
    c.ch.reply("8\r\nabc");
    c.open();
    char buf[8];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 8, 5, &n), HTTP_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(http_read_payload(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
    EXPECT_EQ(c.h->remaining, 5);
  }
  {
    Connection c;  // no line end after the data
    c.ch.reply("3\r\nabc");
    c.open();
    char buf[8];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
  }
  {
    Connection c;  // the line end after the last chunk never comes: still the end
    c.ch.reply("0\r\n");
    c.open();
    char buf[8];
    int32_t n = 0;
    EXPECT_EQ(http_read_payload(c.h, buf, 8, 7, &n), HTTP_END);
    EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{7, 1}));
  }
}

}  // namespace
