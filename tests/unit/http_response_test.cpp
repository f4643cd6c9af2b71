// Response readers: status line and header, and the body decoder that
// removes chunked, counted and connection-ended framing, through the
// scripted device.
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
    int32_t quiet_status = 0;  // a refusal the caller expects: logged at info level
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
      {"HTTP/1.1 404 Not Found", HTTP_IO_ERROR, 404, 404},
      {"HTTP/1.1 409 Conflict", HTTP_IO_ERROR, 409, 404},
      {"HTTP/1.1 OK", HTTP_IO_ERROR, 0, 404},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.status_line + " quiet " + std::to_string(row.quiet_status));
    Connection c;
    c.ch.reply(row.status_line + "\r\nServer: x\r\n\r\n");
    c.open();
    c.h->quiet_status = row.quiet_status;
    char buf[256];
    int32_t n = 0;
    EXPECT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), row.result);
    EXPECT_EQ(c.h->http_status, row.status);
    const std::string line = "http 322: invalid http_status=" + std::to_string(row.status) + "\n";
    const bool expected = row.quiet_status != 0 && row.status == row.quiet_status;
    EXPECT_EQ(fake::logged(3, line), row.result != HTTP_OK && !expected);
    EXPECT_EQ(fake::logged(6, line), expected);
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
      {"chunked, extensions and trailer",
       "HTTP/1.1 409 Conflict\r\nTransfer-Encoding: chunked\r\n\r\n5;why=busy\r\nbusy!\r\n"
       "0;last\r\nRetry-After: 3\r\n\r\n",
       false},
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

// The answer's media type, for the page start to tell the host the format.
TEST(HttpReadHeader, NotesTheMediaTypeOfEachAnswer) {
  struct Row {
    std::string line;  // empty: no Content-Type line
    std::string type;
    bool too_long;
  };
  const std::string longest = "image/" + std::string(57, 'x');  // 63 bytes and the NUL
  const Row rows[] = {
      {"Content-Type: image/jpeg", "image/jpeg", false},
      {"content-type:text/xml; charset=\"utf-8\"", "text/xml", false},
      {"Content-Type: \tImage/JPEG ; q=1", "image/jpeg", false},
      {"Content-Type: application/pdf  ", "application/pdf", false},
      {"Content-Type:", "", false},
      {"Content-Type: ; charset=utf-8", "", false},
      {"Content-Type: " + longest, longest, false},
      {"Content-Type: " + longest + "y", "", true},  // does not fit: not kept, not cut
      {"", "", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    Connection c;
    const std::string line = row.line.empty() ? "" : row.line + "\r\n";
    // A second answer on the channel without a type must not keep the first's.
    c.ch.reply("HTTP/1.1 200 OK\r\n" + line + "Content-Length: 0\r\n\r\n")
        .reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    c.open();
    char buf[256];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    EXPECT_EQ(std::string(c.h->content_type), row.type);
    EXPECT_EQ(fake::logs_starting("http 348:").size(), row.too_long ? 1u : 0u);
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    EXPECT_EQ(std::string(c.h->content_type), "");
  }
}

// ---- http_read_body ----

// What the decoder made of one answer: the body bytes, how the last call
// ended, the log lines of the body and the raw bytes left on the channel.
struct Decoded {
  std::string body;
  int end = -1;
  std::string rest;
};

// Reads the header, then the body with `buffer` bytes a call, then what is
// left on the channel.
Decoded decode(const std::vector<std::string> &reads, size_t buffer) {
  Connection c;
  for (const std::string &r : reads) c.ch.reply(r);
  c.open();
  Decoded d;
  char header[1024];
  int32_t n = 0;
  if (http_read_header(c.h, header, sizeof header, 5, &n) != HTTP_OK) return d;
  std::vector<char> buf(buffer);
  for (int calls = 0; calls < 10000; ++calls) {
    n = -1;
    d.end = http_read_body(c.h, buf.data(), static_cast<int32_t>(buf.size()), 5, &n);
    if (d.end != HTTP_OK) {
      EXPECT_EQ(n, 0);
      break;
    }
    EXPECT_GT(n, 0);
    d.body.append(buf.data(), static_cast<size_t>(n));
  }
  // Once ended, the body stays ended and nothing more is read.
  if (d.end == HTTP_END) {
    const size_t reads_before = c.ch.read_sizes.size();
    EXPECT_EQ(http_read_body(c.h, buf.data(), static_cast<int32_t>(buf.size()), 5, &n), HTTP_END);
    EXPECT_EQ(c.ch.read_sizes.size(), reads_before);
  }
  for (char byte = 0; read_stream(c.h, &byte, 1, 1, &n) == HTTP_OK;) d.rest += byte;
  return d;
}

const std::string kChunkedOk = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
// The next answer on the channel, which a body must leave untouched.
const std::string kNext = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

struct BodyRow {
  std::string name;
  std::string wire;  // header and body
  std::string body;  // what the decoder hands out
  int end;           // HTTP_END, or HTTP_IO_ERROR for a broken body
  bool followed;     // the next answer follows and must stay untouched
};

// Every framing, read whole, split into two reads at every position, and
// one byte a read; with a small caller buffer and one past the read-ahead.
TEST(HttpReadBody, RemovesEveryFramingWhateverTheSplit) {
  const std::string z26(26, 'z');
  const BodyRow rows[] = {
      {"chunked", kChunkedOk + "5\r\nhello\r\n0\r\n\r\n", "hello", HTTP_END, true},
      {"chunks and extensions",
       kChunkedOk + "3;a=b\r\nabc\r\n1A;ext=\"x;y\"\r\n" + z26 + "\r\n0;last\r\n\r\n", "abc" + z26,
       HTTP_END, true},
      {"trailer", kChunkedOk + "1\r\nx\r\n0\r\nX-Checksum: 12\r\nX-More: 3\r\n\r\n", "x", HTTP_END, true},
      {"upper-case size, blanks", kChunkedOk + " A\r\n0123456789\r\n0\r\n\r\n", "0123456789", HTTP_END,
       true},
      {"chunked wins over a length", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\nhello\r\n0\r\n\r\n", "hello", HTTP_END, true},
      {"CR LF inside data", kChunkedOk + "4\r\n\r\n\r\n\r\n0\r\n\r\n", "\r\n\r\n", HTTP_END, true},
      {"empty chunked", kChunkedOk + "0\r\n\r\n", "", HTTP_END, true},
      {"counted", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello\r\n0\r\n\r", "hello\r\n0\r\n\r",
       HTTP_END, true},
      {"counted empty", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", HTTP_END, true},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", "", HTTP_END, true},
      {"closed", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<a>\r\n5\r\n</a>", "<a>\r\n5\r\n</a>",
       HTTP_END, false},
      {"data not followed by CR LF", kChunkedOk + "3\r\nabcXY3\r\ndef\r\n0\r\n\r\n", "abc", HTTP_IO_ERROR,
       false},
      {"data followed by a bare LF", kChunkedOk + "3\r\nabc\n3\r\ndef\r\n0\r\n\r\n", "abc", HTTP_IO_ERROR,
       false},
      {"size line ended by a bare LF", kChunkedOk + "5\nhello\r\n0\r\n\r\n", "", HTTP_IO_ERROR, false},
      {"no number", kChunkedOk + "xyz\r\nhello\r\n", "", HTTP_IO_ERROR, false},
      {"chunk cut short", kChunkedOk + "8\r\nabc", "abc", HTTP_IO_ERROR, false},
      {"no last chunk", kChunkedOk + "3\r\nabc\r\n", "abc", HTTP_IO_ERROR, false},
      {"counted cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345", "12345", HTTP_IO_ERROR,
       false},
  };
  for (const BodyRow &row : rows) {
    const std::string wire = row.wire + (row.followed ? kNext : "");
    const std::string rest = row.followed ? kNext : "";
    for (size_t buffer : {size_t{3}, size_t{5000}}) {
      for (size_t split = 0; split <= wire.size(); ++split) {
        SCOPED_TRACE(testing::Message() << row.name << ", split at " << split << ", buffer " << buffer);
        std::vector<std::string> reads;
        if (split > 0) reads.push_back(wire.substr(0, split));
        if (split < wire.size()) reads.push_back(wire.substr(split));
        Decoded d = decode(reads, buffer);
        EXPECT_EQ(d.body, row.body);
        EXPECT_EQ(d.end, row.end);
        if (row.end == HTTP_END) {
          EXPECT_EQ(d.rest, rest);
        }
      }
      std::vector<std::string> bytes;
      for (char c : wire) bytes.push_back(std::string(1, c));
      Decoded d = decode(bytes, buffer);
      EXPECT_EQ(d.body, row.body) << row.name << " byte by byte";
      EXPECT_EQ(d.end, row.end) << row.name << " byte by byte";
      if (row.end == HTTP_END) {
        EXPECT_EQ(d.rest, rest) << row.name << " byte by byte";
      }
    }
  }
}

// Chunk-size lines as devices write them: strtol's hexadecimal after
// blanks, anything after the digits an extension; what is no number or does
// not fit in 31 bits is no chunked body.
TEST(HttpReadBody, ChunkSizeLines) {
  struct Row {
    std::string line;
    int result;  // of http_body_ready
    int32_t size;
    const char *log;  // the failure's log line prefix
  };
  const Row rows[] = {
      {"10\r\n", HTTP_OK, 0x10, nullptr},
      {"  ff\r\n", HTTP_OK, 0xff, nullptr},
      {"\t2\r\n", HTTP_OK, 2, nullptr},
      {"Ff\r\n", HTTP_OK, 0xff, nullptr},
      {"0x20\r\n", HTTP_OK, 0x20, nullptr},
      {"10;name=value\r\n", HTTP_OK, 0x10, nullptr},
      {"1a ; x\r\n", HTTP_OK, 0x1a, nullptr},
      {"7fffffff\r\n", HTTP_OK, 0x7fffffff, nullptr},
      {"5;" + std::string(4000, 'e') + "\r\n", HTTP_OK, 5, nullptr},
      {"xyz\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {"\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {"-5\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {" -10\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {"80000000\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {"100000010\r\n", HTTP_IO_ERROR, 0, "http 371:"},  // must not wrap to 0x10
      {"123456789abcd\r\n", HTTP_IO_ERROR, 0, "http 371:"},
      {std::string(200, '1'), HTTP_IO_ERROR, 0, "http 371:"},  // a size line that does not end
      {"5;" + std::string(4100, 'e') + "\r\n", HTTP_IO_ERROR, 0, "http 373:"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line.substr(0, 20));
    Connection c;
    c.ch.reply(kChunkedOk + row.line + "D\r\n");
    c.open();
    char header[256];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
    int32_t size = -1;
    EXPECT_EQ(http_body_ready(c.h, 5, &size), row.result);
    EXPECT_EQ(size, row.size);
    if (row.log != nullptr) {
      EXPECT_EQ(fake::logs_starting(row.log).size(), 1u);
      // A broken body stays broken: nothing after it is taken for data.
      char byte = 0;
      EXPECT_EQ(http_read_body(c.h, &byte, 1, 5, &n), HTTP_IO_ERROR);
    }
  }
}

TEST(HttpReadBody, ReadyTellsWhatFollowsWithoutMoreFraming) {
  Connection d;
  d.ch.reply("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabcdefghi");
  d.open();
  char header[128];
  char buf[16];
  int32_t n = 0;
  ASSERT_EQ(http_read_header(d.h, header, sizeof header, 5, &n), HTTP_OK);
  int32_t size = 0;
  ASSERT_EQ(http_body_ready(d.h, 5, &size), HTTP_OK);
  EXPECT_EQ(size, 9);
  ASSERT_EQ(http_read_body(d.h, buf, 4, 5, &n), HTTP_OK);
  ASSERT_EQ(http_body_ready(d.h, 5, &size), HTTP_OK);
  EXPECT_EQ(size, 5);
  ASSERT_EQ(http_read_body(d.h, buf, 16, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(http_body_ready(d.h, 5, &size), HTTP_END);
  EXPECT_EQ(size, 0);
}

// A body without framing ends when the device stops sending, unless the
// exchange was stopped: then it is not whole.
TEST(HttpReadBody, ClosedBodyEndsWithTheConnectionUnlessStopped) {
  struct Row {
    std::string name;
    bool cancel;
    bool expire;
    int end;
  };
  const Row rows[] = {
      {"ends", false, false, HTTP_END},
      {"cancelled", true, false, HTTP_IO_ERROR},
      {"out of time", false, true, HTTP_IO_ERROR},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Connection c;
    c.ch.reply("HTTP/1.1 200 OK\r\n\r\n").reply("part").fail_read(104);
    c.open();
    volatile sig_atomic_t cancel = 0;
    c.h->cancel = &cancel;
    char buf[64];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    ASSERT_EQ(http_read_body(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    EXPECT_EQ(std::string(buf, 4), "part");
    if (row.cancel) cancel = 1;
    if (row.expire) c.h->deadline_ms = http_now_ms() - 1;
    EXPECT_EQ(http_read_body(c.h, buf, sizeof buf, 5, &n), row.end);
  }
}

// A page-sized read goes straight from the channel into the caller's
// memory, never past the body; small reads go through the read-ahead.
TEST(HttpReadBody, LargeReadsGoStraightIntoTheCallersBuffer) {
  Connection c;
  const std::string body(10000, 'p');
  c.ch.reply("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n").reply(body + kNext);
  c.open();
  char header[128];
  int32_t n = 0;
  ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
  std::vector<char> buf(20000);
  ASSERT_EQ(http_read_body(c.h, buf.data(), 20000, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 10000);
  EXPECT_EQ(std::string(buf.data(), 10000), body);
  EXPECT_EQ(c.ch.read_sizes, (std::vector<int>{4096, 10000}));
  EXPECT_EQ(c.h->total, 10000);
  EXPECT_EQ(http_read_body(c.h, buf.data(), 20000, 5, &n), HTTP_END);
}

TEST(HttpReadBody, WaitsAndLimits) {
  {
    Connection c;  // the line end after the last chunk never comes: still the end
    c.ch.reply(kChunkedOk + "0\r\n");
    c.open();
    char buf[64];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 7, &n), HTTP_OK);
    EXPECT_EQ(http_read_body(c.h, buf, 8, 7, &n), HTTP_END);
    EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{7, 1}));
    EXPECT_EQ(fake::logs_starting("http 389:").size(), 1u);
  }
  {
    Connection c;  // a trailer that runs on is read only so far
    std::string trailer;
    for (int i = 0; i < 100; ++i) trailer += "X-Line: " + std::to_string(i) + "\r\n";
    c.ch.reply(kChunkedOk + "1\r\nx\r\n0\r\n" + trailer);
    c.open();
    char buf[64];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    ASSERT_EQ(http_read_body(c.h, buf, 8, 5, &n), HTTP_OK);
    EXPECT_EQ(http_read_body(c.h, buf, 8, 5, &n), HTTP_END);
    EXPECT_EQ(fake::logs_starting("http 388:").size(), 1u);
  }
  {
    Connection c;  // the chunk-size line may wait a longer limit than the data
    c.ch.reply(kChunkedOk).reply("4\r\n").reply("DATA").reply("\r\n0\r\n\r\n");
    c.open();
    char buf[64];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, buf, sizeof buf, 5, &n), HTTP_OK);
    c.h->size_line_sectime = 125;
    ASSERT_EQ(http_read_body(c.h, buf, 8, 25, &n), HTTP_OK);
    EXPECT_EQ(http_read_body(c.h, buf, 8, 25, &n), HTTP_END);
    EXPECT_EQ(c.ch.read_timeouts, (std::vector<int>{5, 125, 25, 25}));
  }
  {
    Connection c;  // no header read: no body
    c.ch.reply("5\r\nhello\r\n0\r\n\r\n");
    c.open();
    char buf[8];
    int32_t n = 0;
    EXPECT_EQ(http_read_body(c.h, buf, 8, 5, &n), HTTP_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "http 380: no answer header read, no body to read\n"));
    EXPECT_TRUE(c.ch.read_sizes.empty());
  }
}

// ---- http_read ----

TEST(HttpRead, CollectsTheDecodedBodyAndLeavesTheNextAnswer) {
  Connection c;
  c.ch.reply_in_pieces(kChunkedOk + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n" + kNext, 7);
  c.open();
  char header[128];
  int32_t n = 0;
  ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
  fake::reset_captures();
  char buf[64];
  memset(buf, '#', sizeof buf);
  ASSERT_EQ(http_read(c.h, buf, 63, 5, &n), HTTP_END);
  EXPECT_EQ(n, 11);
  EXPECT_EQ(std::string(buf, 12), "hello world#");
  EXPECT_THAT(fake::logs_starting("http 4"),
              ElementsAre(Log{6, "http 459: http_read() handle=" + fake::ptr(c.h) + " data=" + fake::ptr(buf) +
                                     " size=63 sectime=5\n"}));
  EXPECT_TRUE(fake::logged(6, "http 506: -http_read() handle=" + fake::ptr(c.h) + " data=" + fake::ptr(buf) +
                                  " bytes_read=11 size=63 status=2\n"));
  char rest[64] = {};
  ASSERT_EQ(http_read_size(c.h, rest, static_cast<int32_t>(kNext.size()), 5, &n), HTTP_OK);
  EXPECT_EQ(std::string(rest), kNext);
}

TEST(HttpRead, ABodyLongerThanTheBufferIsCutButReadToItsEnd) {
  struct Row {
    int32_t size;
    std::string kept;
    size_t cut_logs;
  };
  const Row rows[] = {{4, "0123", 1}, {10, "0123456789", 0}, {0, "", 1}};
  for (const Row &row : rows) {
    Connection c;
    c.ch.reply(kChunkedOk + "4\r\n0123\r\n6\r\n456789\r\n0\r\n\r\n" + kNext);
    c.open();
    char header[128];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
    char buf[16];
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(http_read(c.h, buf, row.size, 5, &n), HTTP_END) << row.size;
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), row.kept);
    EXPECT_EQ(buf[row.size], '#') << "nothing written past the buffer";
    EXPECT_EQ(fake::logs_starting("http 497:").size(), row.cut_logs) << row.size;
    char rest[64] = {};
    ASSERT_EQ(http_read_size(c.h, rest, static_cast<int32_t>(kNext.size()), 5, &n), HTTP_OK);
    EXPECT_EQ(std::string(rest), kNext);
  }
}

TEST(HttpRead, EndlessOrBrokenBodiesFail) {
  {
    Connection c;  // a body without framing that never stops
    c.ch.reply("HTTP/1.1 200 OK\r\n\r\n");
    for (int i = 0; i < 400; ++i) c.ch.reply(std::string(4096, 'x'));
    c.open();
    char header[128];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
    char buf[64];
    EXPECT_EQ(http_read(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
    EXPECT_EQ(fake::logs_starting("http 498:").size(), 1u);
    EXPECT_FALSE(c.ch.script.empty());
  }
  {
    Connection c;
    c.ch.reply(kChunkedOk + "3\r\nabcXY");
    c.open();
    char header[128];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
    char buf[64];
    EXPECT_EQ(http_read(c.h, buf, sizeof buf, 5, &n), HTTP_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "http 412: chunk data not followed by its line end\n"));
    EXPECT_TRUE(fake::logs_starting("http 506:").empty());
  }
}

// ---- http_skip_body ----

TEST(HttpSkipBody, DropsTheBodyUpToALimit) {
  struct Row {
    std::string answer;
    int64_t limit;
    int result;
  };
  const Row rows[] = {
      {kChunkedOk + "5\r\nhello\r\n0\r\n\r\n", 5, HTTP_END},
      {"HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'b'), 300, HTTP_END},
      {"HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'b'), 100, HTTP_IO_ERROR},
      {kChunkedOk + "5\r\nhel", 64, HTTP_IO_ERROR},
  };
  for (const Row &row : rows) {
    Connection c;
    c.ch.reply(row.answer + kNext);
    c.open();
    char header[128];
    int32_t n = 0;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);
    EXPECT_EQ(http_skip_body(c.h, row.limit, 5), row.result) << row.answer;
    if (row.result != HTTP_END) continue;
    ASSERT_EQ(http_read_header(c.h, header, sizeof header, 5, &n), HTTP_OK);  // the next answer is whole
    EXPECT_EQ(std::string(header), kNext);
  }
}

// ---- http_read_size ----

TEST(HttpReadSize, NothingToRead) {
  Connection c;
  c.ch.reply("abc");
  c.open();
  char buf[8] = {};
  for (int32_t size : {0, -1, -5}) {
    int32_t n = 99;
    EXPECT_EQ(http_read_size(c.h, buf, size, 5, &n), HTTP_OK);
    EXPECT_EQ(n, 0);
  }
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

}  // namespace
