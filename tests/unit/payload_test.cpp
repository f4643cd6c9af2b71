// The answer to one eSCL request, through the scripted device: header for a
// job creation, the body without its framing (counted, chunked or ended by
// the connection), and the quirks of devices that answer "400 Bad Request"
// or an empty "200 OK" before the real answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/limits.h"
#include "bb_escl/payload.h"
#include "bb_escl/session.h"
#include "device_double.h"
#include "http/http.h"

using fake::Log;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Exchange {
  fake::Device dev;
  fake::Channel &ch;
  bb_session session;
  Exchange() : ch(dev.next("KV-ESCL-SCAN")) { memset(&session, 0, sizeof session); }
  void open() {
    ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &session.http), HTTP_OK);
    fake::reset_captures();
  }
  ~Exchange() { http_close(session.http); }

  // Reads the answer into a buffer of `len` bytes (plus a guard area that
  // must stay untouched).
  int read(int32_t len, int32_t sectime = 3) {
    buffer.assign(static_cast<size_t>(len) + kGuard, '#');
    count = -7;
    return bb_read_http_payload(&session, buffer.data(), len, sectime, &count);
  }
  std::string text() const { return std::string(buffer.c_str()); }
  bool guard_intact() const {
    return buffer.substr(buffer.size() - kGuard) == std::string(kGuard, '#');
  }

  static constexpr size_t kGuard = 16;
  std::string buffer;
  int32_t count = 0;
};

std::vector<Log> payload_logs() { return fake::logs_starting("bb_escl "); }

const std::string kChunkedOk =
    "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kStatusText = "<scan:State>Idle</scan:State>";
const std::string kStatusBody = "1d\r\n" + kStatusText + "\r\n0\r\n\r\n";

std::string counted_ok(const std::string &length_line) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n" + length_line + "\r\n\r\n";
}

TEST(ReadHttpPayload, CreatedAnswerReturnsItsHeader) {
  Exchange x;
  const std::string header =
      "HTTP/1.1 201 Created\r\nLocation: http://10.0.0.5/eSCL/ScanJobs/42\r\n"
      "Content-Length: 0\r\n\r\n";
  x.ch.reply(header + "unread");
  x.open();
  ASSERT_EQ(x.read(5120, 5), 0);
  EXPECT_EQ(x.text(), header);
  EXPECT_EQ(x.count, static_cast<int32_t>(header.size()));
  EXPECT_THAT(payload_logs(), ElementsAre(Log{6, "bb_escl 785: bb_read_http_payload entry.\n"}));
  EXPECT_EQ(x.session.http->s.cnt, 6);  // the body is not read
}

TEST(ReadHttpPayload, CountedBodyTakesReadAheadBytesThenReadsTheRest) {
  Exchange x;
  const std::string body = std::string(60, 'a') + std::string(40, 'b');
  x.ch.reply(counted_ok("Content-Length: 100") + body.substr(0, 60)).reply(body.substr(60));
  x.open();
  ASSERT_EQ(x.read(5120), 0);
  EXPECT_EQ(x.count, 100);
  EXPECT_EQ(x.text(), body);
  EXPECT_TRUE(x.guard_intact());
  EXPECT_THAT(payload_logs(),
              ElementsAre(Log{6, "bb_escl 785: bb_read_http_payload entry.\n"},
                          Log{6, "bb_escl 823: payload_length= (100)\n"},
                          Log{6, "bb_escl 898: bb_read_http_payload completed. total=[100] stat=[0] \n"}));
  // The rest comes through the read-ahead buffer, with the caller's limit.
  EXPECT_EQ(x.ch.read_sizes, (std::vector<int>{4096, 4096}));
  EXPECT_EQ(x.ch.read_timeouts, (std::vector<int>{3, 3}));
}

TEST(ReadHttpPayload, ContentLengthForms) {
  struct Row {
    std::string line;
    int32_t length;  // -1: read until the device falls silent
  };
  const Row rows[] = {
      {"Content-Length: 12", 12},
      {"Content-Length:12", 12},  // no blank after the colon: all digits count
      {"Content-Length:\t \t12", 12},
      {"content-length: 12", 12},
      {"CONTENT-LENGTH: 12", 12},
      {"Content-Length: 12abc", 12},
      {"Content-Length: ", -1},
      {"Content-Length: none", -1},
      {"Content-Length: -12", -1},
      {"Content-Length: 4294967308", -1},  // 2^32 + 12 must not wrap to 12
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    Exchange x;
    const std::string body = row.length < 0 ? std::string("<doc>unframed</doc>") : std::string("0123456789AB");
    x.ch.reply(counted_ok(row.line) + body);
    x.open();
    ASSERT_EQ(x.read(5120), 0);
    EXPECT_EQ(x.text(), body);
    EXPECT_EQ(x.count, static_cast<int32_t>(body.size()));
    EXPECT_EQ(fake::logs_starting("http 346:").size(), row.length < 0 ? 1u : 0u);
    EXPECT_EQ(fake::logs_starting("bb_escl 857:").size(), row.length < 0 ? 1u : 0u);
  }
}

TEST(ReadHttpPayload, ChunkedBodyComesWithoutItsFramingWhateverTheSplit) {
  const std::string answer = kChunkedOk + kStatusBody;
  for (size_t piece = 1; piece <= answer.size(); ++piece) {
    SCOPED_TRACE(piece);
    Exchange x;
    x.ch.reply_in_pieces(answer, piece);
    x.open();
    ASSERT_EQ(x.read(5120, 10), 0);
    EXPECT_EQ(x.text(), kStatusText);
    EXPECT_EQ(x.count, static_cast<int32_t>(kStatusText.size()));
    EXPECT_TRUE(fake::logged(6, "bb_escl 857: bb_read_http_payload1 done (total=29). \n"));
    EXPECT_TRUE(fake::logged(
        6, "bb_escl 898: bb_read_http_payload completed. total=[29] stat=[0] \n"));
  }
}

std::string status_document() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<scan:ScannerStatus>"
         "<pwg:Version>2.63</pwg:Version><pwg:State>Processing</pwg:State>"
         "<scan:AdfState>ScannerAdfLoaded</scan:AdfState><scan:Jobs>"
         "<scan:JobInfo><pwg:JobUri>/eSCL/ScanJobs/0f3a9c2e-77aa-4c1e-9d2b-1f2e3d4c5b6a</pwg:JobUri>"
         "<pwg:JobUuid>urn:uuid:0f3a9c2e-77aa-4c1e-9d2b-1f2e3d4c5b6a</pwg:JobUuid>"
         "<scan:Age>2</scan:Age><pwg:ImagesCompleted>0</pwg:ImagesCompleted>"
         "<pwg:ImagesToTransfer>1</pwg:ImagesToTransfer><pwg:JobState>Processing</pwg:JobState>"
         "<pwg:JobStateReasons><pwg:JobStateReason>JobScanning</pwg:JobStateReason>"
         "</pwg:JobStateReasons></scan:JobInfo></scan:Jobs></scan:ScannerStatus>\r\n";
}

// `body` in chunks of `size` bytes, each size line with `extension`, and
// `trailer` after the last chunk.
std::string in_chunks(const std::string &body, size_t size, const std::string &extension = "",
                      const std::string &trailer = "") {
  std::string out;
  char line[16];
  for (size_t i = 0; i < body.size(); i += size) {
    std::string piece = body.substr(i, size);
    snprintf(line, sizeof line, "%zx", piece.size());
    out += line + extension + "\r\n" + piece + "\r\n";
  }
  return out + "0" + extension + "\r\n" + trailer + "\r\n";
}

// A status document in small chunks (boundaries fall inside JobState and
// JobUri) reads exactly as the same document sent whole, whatever the
// chunks carry besides and wherever the device's reads split the bytes.
TEST(ReadHttpPayload, StatusInSmallChunksReadsAsTheWholeDocument) {
  const std::string doc = status_document();
  struct Row {
    std::string name;
    std::string answer;
  };
  const Row rows[] = {
      {"counted", counted_ok("Content-Length: " + std::to_string(doc.size())) + doc},
      {"one chunk", kChunkedOk + in_chunks(doc, doc.size())},
      {"7-byte chunks", kChunkedOk + in_chunks(doc, 7)},
      {"extensions and a trailer",
       kChunkedOk + in_chunks(doc, 7, ";n=\"a;b\"", "X-Checksum: 1\r\nX-Other: 2\r\n")},
      {"ended by the connection", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + doc},
  };
  for (const Row &row : rows) {
    const bool framed = row.name != "ended by the connection";
    // The next answer on the channel stays whole after a framed body.
    const std::string next = framed ? counted_ok("Content-Length: 4") + "next" : "";
    const std::string wire = row.answer + next;
    for (size_t split = 0; split <= wire.size(); split += (split < 200 ? 1 : 13)) {
      SCOPED_TRACE(testing::Message() << row.name << ", split at " << split);
      Exchange x;
      if (split > 0) x.ch.reply(wire.substr(0, split));
      if (split < wire.size()) x.ch.reply(wire.substr(split));
      x.open();
      ASSERT_EQ(x.read(bb::kStatusBufferSize, 10), 0);
      EXPECT_EQ(x.text(), doc);
      EXPECT_EQ(x.count, static_cast<int32_t>(doc.size()));
      if (!framed) continue;
      ASSERT_EQ(x.read(bb::kStatusBufferSize, 10), 0);
      EXPECT_EQ(x.text(), "next");
    }
  }
}

// A "400 Bad Request" before the real answer is read by its framing,
// however it is framed, so the real answer after it is read whole.
TEST(ReadHttpPayload, BadRequestBodyIsReadByItsFraming) {
  const std::string bad = "HTTP/1.1 400 Bad Request\r\n";
  const std::string bodies[] = {
      "Content-Length: 0\r\n\r\n",
      "Content-Length: 11\r\n\r\nbad request",
      "Transfer-Encoding: chunked\r\n\r\n" + in_chunks("<error>bad request</error>", 7, ";x=1", "X-T: 1\r\n"),
      "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
  };
  for (const std::string &body : bodies) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
      SCOPED_TRACE(testing::Message() << body << " in pieces of " << piece);
      Exchange x;
      x.ch.reply_in_pieces(bad + body + kChunkedOk + in_chunks(kStatusText, 7), piece);
      x.open();
      ASSERT_EQ(x.read(5120), 0);
      EXPECT_EQ(x.text(), kStatusText);
      EXPECT_EQ(fake::logs_starting("bb_escl 793:").size(), 1u);
      EXPECT_TRUE(fake::logs_starting("http 313:").empty());
    }
  }
}

TEST(ReadHttpPayload, CountedBodyWhateverTheSplit) {
  const std::string body = "<doc>" + std::string(50, 'x') + "</doc>";
  const std::string answer = counted_ok("Content-Length: 61") + body;
  for (size_t piece = 1; piece <= answer.size(); ++piece) {
    SCOPED_TRACE(piece);
    Exchange x;
    x.ch.reply_in_pieces(answer, piece);
    x.open();
    ASSERT_EQ(x.read(5120), 0);
    EXPECT_EQ(x.text(), body);
    EXPECT_EQ(x.count, 61);
  }
}

TEST(ReadHttpPayload, BadRequestFirstThenTheRealAnswer) {
  Exchange x;
  x.ch.reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
      .reply(kChunkedOk + kStatusBody);
  x.open();
  ASSERT_EQ(x.read(5120), 0);
  EXPECT_EQ(x.text(), kStatusText);
  EXPECT_THAT(fake::logs_starting("bb_escl 793:"),
              ElementsAre(Log{6, "bb_escl 793: HTTP 400 Bad Request. Reading again  ret=0 len=" +
                                     std::to_string(kChunkedOk.size()) + " buf=" + kChunkedOk +
                                     "\n"}));
}

TEST(ReadHttpPayload, FourBadRequestsInARowTakeTheLastAsTheAnswer) {
  Exchange x;
  const std::string bad = "HTTP/1.1 400 Bad Request\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string bad_body = "4\r\nnope\r\n0\r\n\r\n";
  for (int i = 0; i < 4; ++i) x.ch.reply(bad + bad_body);
  x.open();
  // The bodies of the first three answers are read by their framing, so
  // the next header is found where it starts.
  ASSERT_EQ(x.read(5120), 0);
  EXPECT_EQ(x.text(), "nope");
  EXPECT_EQ(fake::logs_starting("bb_escl 793:").size(), 3u);
  EXPECT_TRUE(fake::logs_starting("http 313:").empty());
}

// A body that never ends is read past the buffer only so far, and the
// exchange fails: no endless read, no cut text taken for the document.
TEST(ReadHttpPayload, EndlessChunkedBodyFails) {
  Exchange x;
  x.ch.reply(kChunkedOk);
  const std::string chunk = "40\r\n" + std::string(64, 'g') + "\r\n";
  std::string lots;
  for (int i = 0; i < 64; ++i) lots += chunk;
  for (int i = 0; i < 600; ++i) x.ch.reply(lots);
  x.open();
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_EQ(fake::logs_starting("http 498:").size(), 1u);
  EXPECT_FALSE(x.ch.script.empty());  // it stopped reading long before the device did
}

// A caller that gave the exchange less time than a text body's own limit
// (a scan being given up) keeps it: an exchange already out of time reads
// nothing, however ready the device is, and the caller's limit is back
// after it.
TEST(ReadHttpPayload, ACallersShorterTimeLimitHolds) {
  Exchange x;
  x.ch.reply(counted_ok("Content-Length: 2") + "ok");
  x.open();
  const int64_t spent = http_now_ms() - 1;
  x.session.http->deadline_ms = spent;
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_TRUE(fake::logged(3, "http 142: read_stream stopped: the exchange took too long\n"));
  EXPECT_EQ(x.session.http->deadline_ms, spent);
  EXPECT_FALSE(x.ch.script.empty());
}

TEST(ReadHttpPayload, BadRequestAndThenNothing) {
  Exchange x;
  x.ch.reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  x.open();
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_EQ(x.count, 0);
  EXPECT_EQ(fake::logs_starting("bb_escl 793:").size(), 1u);
  EXPECT_TRUE(fake::logged(
      3, "bb_escl 798: http_read_header returned error code(1) hence exiting..\n"));
}

TEST(ReadHttpPayload, RefusedStatusFails) {
  Exchange x;
  x.ch.reply("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy");
  x.open();
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_EQ(x.count, 0);
  EXPECT_TRUE(fake::logged(3, "http 322: invalid http_status=503\n"));
  EXPECT_TRUE(fake::logged(
      3, "bb_escl 798: http_read_header returned error code(1) hence exiting..\n"));
  EXPECT_THAT(fake::logs_starting("bb_escl 898:"), IsEmpty());
}

TEST(ReadHttpPayload, EmptyOkAndNothingMore) {
  Exchange x;
  x.ch.reply(counted_ok("Content-Length: 0"));
  x.open();
  EXPECT_EQ(x.read(5120), 0);
  EXPECT_EQ(x.count, 0);
  EXPECT_THAT(payload_logs(),
              ElementsAre(Log{6, "bb_escl 785: bb_read_http_payload entry.\n"},
                          Log{3, "bb_escl 828: HEADER NOT FOUND. Retrying.\n"},
                          Log{3, "bb_escl 833: http_read_header returned error (1) hence exiting.\n"}));
}

TEST(ReadHttpPayload, EmptyOkThenTheRealAnswer) {
  {
    Exchange x;
    x.ch.reply(counted_ok("Content-Length: 0")).reply(counted_ok("Content-Length: 4") + "real");
    x.open();
    ASSERT_EQ(x.read(5120), 0);
    EXPECT_EQ(x.text(), "real");
    EXPECT_EQ(x.count, 4);
  }
  {
    // The real answer is chunked.
    Exchange x;
    x.ch.reply(counted_ok("Content-Length: 0")).reply(kChunkedOk + kStatusBody);
    x.open();
    ASSERT_EQ(x.read(5120), 0);
    EXPECT_EQ(x.text(), kStatusText);
    EXPECT_EQ(x.count, static_cast<int32_t>(kStatusText.size()));
  }
}

TEST(ReadHttpPayload, FourEmptyOksInARow) {
  Exchange x;
  const std::string empty = counted_ok("Content-Length: 0");
  x.ch.reply(empty + empty + empty + empty + "tail");
  x.open();
  ASSERT_EQ(x.read(5120), 0);
  // Three are looked past; the fourth is the (empty) answer, and what
  // follows it belongs to the next one.
  EXPECT_EQ(fake::logs_starting("bb_escl 828:").size(), 3u);
  EXPECT_EQ(x.text(), "");
  EXPECT_EQ(x.count, 0);
  EXPECT_EQ(x.session.http->s.cnt, 4);
}

TEST(ReadHttpPayload, DirectReadsThatBringNothingFail) {
  Exchange x;
  x.ch.reply(counted_ok("Content-Length: 10") + "12345");
  x.open();
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_EQ(x.count, 0);
  EXPECT_TRUE(fake::sleeps().empty());
  EXPECT_THAT(fake::logs_starting("bb_escl 8"),
              ElementsAre(Log{6, "bb_escl 823: payload_length= (10)\n"},
                          Log{6, "bb_escl 884: bb_read_http_payload2 error (1).\n"},
                          Log{6, "bb_escl 898: bb_read_http_payload completed. total=[5] stat=[1] \n"}));
}

TEST(ReadHttpPayload, CountedBodyLargerThanTheBufferIsCutAndTheRestDrained) {
  // Devices that list many past jobs send status documents longer than the
  // buffer: the exchange still succeeds and the next answer stays in step.
  for (size_t piece : {size_t{7}, size_t{100}, size_t{4096}}) {
    Exchange x;
    std::string body = std::string(96, 'z') + std::string(5000, 'y');
    x.ch.reply_in_pieces(counted_ok("Content-Length: 5096") + body + "HTTP/1.1 next", piece);
    x.open();
    ASSERT_EQ(x.read(96), 0) << piece;
    EXPECT_EQ(x.count, 96);
    EXPECT_TRUE(x.guard_intact());
    EXPECT_EQ(std::string(x.buffer.data(), 96), std::string(96, 'z'));
    EXPECT_TRUE(fake::logged(3, "bb_escl 882: body of 5096 bytes cut to the 96 bytes of the buffer\n"));
    char rest[16] = {};
    int32_t n = 0;
    ASSERT_EQ(read_stream(x.session.http, rest, 13, 1, &n), HTTP_OK);
    EXPECT_EQ(std::string(rest, static_cast<size_t>(n)), std::string("HTTP/1.1 next").substr(0, static_cast<size_t>(n)));
  }
}

TEST(ReadHttpPayload, CountedBodyLongerThanTheBufferThatBreaksOffFails) {
  Exchange x;
  x.ch.reply(counted_ok("Content-Length: 200") + std::string(150, 'z'));
  x.open();
  EXPECT_EQ(x.read(96), 1);
  EXPECT_TRUE(x.guard_intact());
  EXPECT_TRUE(fake::logged(6, "bb_escl 884: bb_read_http_payload2 error (1).\n"));
}

TEST(ReadHttpPayload, CountedBodyMayFillTheWholeBuffer) {
  Exchange x;
  x.ch.reply(counted_ok("Content-Length: 96")).reply(std::string(96, 'z'));
  x.open();
  EXPECT_EQ(x.read(96), 0);
  EXPECT_EQ(x.count, 96);
  EXPECT_TRUE(x.guard_intact());
  EXPECT_EQ(std::string(x.buffer.data(), 96), std::string(96, 'z'));
}

TEST(ReadHttpPayload, ChunkedBodyLargerThanTheBufferIsCut) {
  Exchange x;
  const std::string body = "c8\r\n" + std::string(200, 'q') + "\r\n0\r\n\r\n";
  x.ch.reply(kChunkedOk + body + "next");
  x.open();
  ASSERT_EQ(x.read(128), 0);
  EXPECT_TRUE(x.guard_intact());
  // The buffer is filled; the rest of the body is read and dropped, the
  // next answer stays.
  EXPECT_EQ(std::string(x.buffer.data(), 128), std::string(128, 'q'));
  EXPECT_EQ(x.count, 128);
  EXPECT_EQ(x.session.http->s.cnt, 4);
  EXPECT_EQ(fake::logs_starting("http 497:").size(), 1u);
}

TEST(ReadHttpPayload, BrokenChunkedBodyFails) {
  Exchange x;
  x.ch.reply(kChunkedOk + "5\r\nhelloXY0\r\n\r\n");
  x.open();
  EXPECT_EQ(x.read(5120), 1);
  EXPECT_TRUE(fake::logged(3, "http 412: chunk data not followed by its line end\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 884: bb_read_http_payload2 error (1).\n"));
}

TEST(ReadHttpPayload, StrayLinesAndTransientChannelResults) {
  Exchange x;
  x.ch.reply("\r\n")
      .fail_read(49)
      .reply(kChunkedOk + kStatusBody.substr(0, 10))
      .fail_read(12)
      .fail_read(49)
      .reply(kStatusBody.substr(10));
  x.open();
  ASSERT_EQ(x.read(5120, 10), 0);
  EXPECT_EQ(x.text(), kStatusText);
  EXPECT_EQ(x.count, static_cast<int32_t>(kStatusText.size()));
  EXPECT_EQ(fake::logs_starting("http 313:").size(), 1u);
  EXPECT_THAT(fake::sleeps(), ElementsAre(100000u, 100000u, 100000u));
}

}  // namespace
