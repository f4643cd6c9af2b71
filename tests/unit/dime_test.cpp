// DIME records in an HTTP body, chunked, counted or ended by the connection,
// through the scripted device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "device_double.h"
#include "dime/dime.h"
#include "http/http.h"

using fake::Log;
using ::testing::ElementsAre;

namespace {

constexpr int kMB = 4, kME = 2;

std::string pad(std::string s) {
  while (s.size() % 4 != 0) s += '\0';
  return s;
}

std::string be16(size_t v) {
  return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}

// One record; `data_length` overrides the announced length.
std::string record(int flags, const std::string &data, const std::string &type = "text/xml",
                   const std::string &id = "", const std::string &options = "",
                   int version = 1, long long data_length = -1) {
  uint32_t dl = data_length < 0 ? static_cast<uint32_t>(data.size())
                                : static_cast<uint32_t>(data_length);
  std::string r;
  r += static_cast<char>(version << 3 | flags);
  r += static_cast<char>(0x20);  // TYPE_T: media type
  r += be16(options.size()) + be16(id.size()) + be16(type.size());
  r += {static_cast<char>(dl >> 24), static_cast<char>((dl >> 16) & 0xff),
        static_cast<char>((dl >> 8) & 0xff), static_cast<char>(dl & 0xff)};
  return r + pad(options) + pad(id) + pad(type) + pad(data);
}

// The body in chunked transfer coding, `chunk` bytes a chunk.
std::string chunked(const std::string &body, size_t chunk) {
  std::string out;
  char size_line[16];
  for (size_t i = 0; i < body.size(); i += chunk) {
    std::string part = body.substr(i, chunk);
    snprintf(size_line, sizeof size_line, "%zx\r\n", part.size());
    out += size_line + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

const std::string kHttpOk = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct Reader {
  fake::Device dev;
  fake::Channel &ch;
  http_handle *h = nullptr;
  dime_handle *d = nullptr;
  explicit Reader(const std::string &answer, size_t piece = 4096) : ch(dev.next("KV-ESCL-SCAN")) {
    ch.reply_in_pieces(answer, piece);
    EXPECT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &h), HTTP_OK);
    fake::reset_captures();
  }
  ~Reader() {
    dime_close(d);
    http_close(h);
  }
  int open(int32_t sectime = 5) { return dime_open(h, sectime, &d); }
  // One dime_read into a buffer of `size` bytes.
  int read(int32_t size, std::string *out) {
    std::vector<char> buf(static_cast<size_t>(size) + 1, '#');
    int32_t n = -1;
    int r = dime_read(d, buf.data(), size, 5, &n);
    out->assign(buf.data(), static_cast<size_t>(n < 0 ? 0 : n));
    return r;
  }
};

const std::string kSoap = "<soap:Envelope/>";  // the first record, dropped by the open

TEST(DimeReader, ReadsRecordsWhateverTheChunksAndReads) {
  const std::string first(21, 'a'), second(37, 'b'), last(3, 'c');
  const std::string message = record(kMB, kSoap) + record(0, first, "image/jpeg", "id-1") +
                              record(0, second) + record(kME, last);
  for (size_t chunk = 1; chunk <= message.size(); chunk += (chunk < 16 ? 1 : 7)) {
    for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}}) {
      SCOPED_TRACE(testing::Message() << "chunk " << chunk << " piece " << piece);
      Reader r(kHttpOk + chunked(message, chunk), piece);
      ASSERT_EQ(r.open(), HTTP_OK);
      ASSERT_NE(r.d, nullptr);
      EXPECT_EQ(r.d->state, 1);
      std::string got;
      ASSERT_EQ(r.read(64, &got), HTTP_OK);
      EXPECT_EQ(got, first);
      ASSERT_EQ(r.read(64, &got), HTTP_OK);
      EXPECT_EQ(got, second);
      ASSERT_EQ(r.read(64, &got), HTTP_OK);
      EXPECT_EQ(got, last);
      EXPECT_EQ(r.d->state, 2);
      EXPECT_EQ(r.d->total, 21 + 37 + 3);
      ASSERT_EQ(r.read(64, &got), HTTP_END);
      EXPECT_EQ(got, "");
    }
  }
}

// The records come the same whatever framing the body has.
TEST(DimeReader, ReadsRecordsWhateverTheFraming) {
  const std::string message = record(kMB, kSoap) + record(0, std::string(21, 'a')) + record(kME, "end");
  const std::string rows[] = {
      kHttpOk + chunked(message, 7),
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\n" + message.substr(0, 5) + "\r\n" +
          chunked(message.substr(5), 9).substr(0, chunked(message.substr(5), 9).size() - 2) +
          "X-Trailer: 1\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(message.size()) + "\r\n\r\n" + message,
      "HTTP/1.0 200 OK\r\n\r\n" + message,
  };
  for (const std::string &answer : rows) {
    for (size_t piece : {size_t{1}, size_t{6}, size_t{4096}}) {
      SCOPED_TRACE(testing::Message() << answer.substr(0, 40) << " piece " << piece);
      Reader r(answer, piece);
      ASSERT_EQ(r.open(), HTTP_OK);
      std::string got;
      ASSERT_EQ(r.read(64, &got), HTTP_OK);
      EXPECT_EQ(got, std::string(21, 'a'));
      ASSERT_EQ(r.read(64, &got), HTTP_OK);
      EXPECT_EQ(got, "end");
      EXPECT_EQ(r.read(64, &got), HTTP_END);
    }
  }
}

TEST(DimeReader, SmallRecordIsReadWithItsPadding) {
  Reader r(kHttpOk + chunked(record(kMB, kSoap) + record(kME, "hello"), 4096));
  ASSERT_EQ(r.open(), HTTP_OK);
  char buf[16];
  memset(buf, '#', sizeof buf);
  int32_t n = 0;
  ASSERT_EQ(dime_read(r.d, buf, sizeof buf, 5, &n), HTTP_OK);
  EXPECT_EQ(n, 5);
  // 5 data bytes and 3 padding bytes were read into the buffer.
  EXPECT_EQ(std::string(buf, 9), std::string("hello\0\0\0#", 9));
}

TEST(DimeReader, RecordLargerThanTheBufferComesInPieces) {
  std::string data;
  for (int i = 0; i < 20; ++i) data += static_cast<char>('A' + i);
  Reader r(kHttpOk + chunked(record(kMB, kSoap) + record(kME, data), 4096));
  ASSERT_EQ(r.open(), HTTP_OK);
  std::string got;
  ASSERT_EQ(r.read(16, &got), HTTP_OK);
  EXPECT_EQ(got, data.substr(0, 16));
  EXPECT_EQ(r.d->state, 1);  // only the last piece ends the message
  ASSERT_EQ(r.read(16, &got), HTTP_OK);
  EXPECT_EQ(got, data.substr(16));
  EXPECT_EQ(r.d->state, 2);
  EXPECT_EQ(r.read(16, &got), HTTP_END);
  EXPECT_EQ(r.read(16, &got), HTTP_END);
  EXPECT_EQ(got, "");
}

TEST(DimeReader, LongOptionsIdentifierAndTypeArePassedOverInFull) {
  const std::string options(1500, 'o'), id(700, 'i'), type(300, 't');
  const std::string message = record(kMB, std::string(3000, 's'), type, id, options) +
                              record(kME, "payload", type, id, options);
  Reader r(kHttpOk + chunked(message, 1000));
  ASSERT_EQ(r.open(), HTTP_OK);
  std::string got;
  ASSERT_EQ(r.read(64, &got), HTTP_OK);
  EXPECT_EQ(got, "payload");
  EXPECT_EQ(r.d->options_length, 1500);
  EXPECT_EQ(r.d->id_length, 700);
  EXPECT_EQ(r.d->type_length, 300);
  EXPECT_EQ(r.read(64, &got), HTTP_END);
}

TEST(DimeReader, OpenFailures) {
  {
    Reader r("HTTP/1.1 404 Not Found\r\n\r\n");
    EXPECT_EQ(r.open(7), HTTP_IO_ERROR);
    EXPECT_EQ(r.d, nullptr);
    EXPECT_TRUE(fake::logged(3, "dime 270: dime_open failed sec=7\n"));
  }
  {
    Reader r(kHttpOk + chunked(record(kMB, kSoap, "x", "", "", 2) + record(kME, "z"), 4096));
    EXPECT_EQ(r.open(7), HTTP_IO_ERROR);
    EXPECT_EQ(r.d, nullptr);
    EXPECT_THAT(fake::logs_starting("dime "),
                ElementsAre(Log{3, "dime 182: invalid dime version=2\n"},
                            Log{3, "dime 277: dime_open failed sec=7\n"}));
  }
  {
    Reader r(kHttpOk + chunked(record(0, kSoap) + record(kME, "z"), 4096));
    EXPECT_EQ(r.open(7), HTTP_IO_ERROR);
    EXPECT_EQ(r.d, nullptr);
    EXPECT_THAT(fake::logs_starting("dime "),
                ElementsAre(Log{3, "dime 284: invalid dime message=820\n"}));
  }
  {
    Reader r(kHttpOk + chunked(record(kMB, kSoap).substr(0, 10), 4096));
    EXPECT_EQ(r.open(7), HTTP_IO_ERROR);
    EXPECT_TRUE(fake::logged(3, "dime 277: dime_open failed sec=7\n"));
  }
}

TEST(DimeReader, FirstRecordAlsoTheLast) {
  Reader r(kHttpOk + chunked(record(kMB | kME, kSoap), 4096));
  ASSERT_EQ(r.open(), HTTP_OK);
  std::string got;
  EXPECT_EQ(r.read(64, &got), HTTP_END);
}

TEST(DimeReader, BodyEndingInsideARecord) {
  {
    // The record marked ME is short: what arrived is reported, then the end.
    std::string message = record(kMB, kSoap) + record(kME, std::string(40, 'x'));
    message.resize(message.size() - 30);
    Reader r(kHttpOk + chunked(message, 4096));
    ASSERT_EQ(r.open(), HTTP_OK);
    std::string got;
    ASSERT_EQ(r.read(64, &got), HTTP_OK);
    EXPECT_EQ(got, std::string(10, 'x'));
    EXPECT_TRUE(fake::logged(3, "dime 205: message ended inside a record (10 of 40 bytes)\n"));
    EXPECT_EQ(r.read(64, &got), HTTP_END);
  }
  {
    // A short record without ME: the next header meets the end of the body.
    std::string message = record(kMB, kSoap) + record(0, std::string(40, 'x'));
    message.resize(message.size() - 30);
    Reader r(kHttpOk + chunked(message, 4096));
    ASSERT_EQ(r.open(), HTTP_OK);
    std::string got;
    ASSERT_EQ(r.read(64, &got), HTTP_OK);
    EXPECT_EQ(got.size(), 10u);
    EXPECT_EQ(r.read(64, &got), HTTP_IO_ERROR);
    EXPECT_EQ(r.d->state, 1);
  }
  {
    // An absurd DATA_LENGTH ends with the body, piece by piece.
    const std::string message = record(kMB, kSoap) + record(kME, "tiny", "t", "", "", 1, 0xffffffff);
    Reader r(kHttpOk + chunked(message, 4096));
    ASSERT_EQ(r.open(), HTTP_OK);
    std::string got;
    ASSERT_EQ(r.read(2, &got), HTTP_OK);
    EXPECT_EQ(got, "ti");
    EXPECT_EQ(r.d->state, 1);
    ASSERT_EQ(r.read(2, &got), HTTP_OK);
    EXPECT_EQ(got, "ny");
    ASSERT_EQ(r.read(2, &got), HTTP_OK);
    EXPECT_EQ(got, "");
    EXPECT_EQ(r.d->state, 2);
  }
}

TEST(DimeReader, ChannelFailureLeavesTheStateAlone) {
  const std::string answer = kHttpOk + chunked(record(kMB, kSoap) + record(kME, "abc"), 4096);
  Reader r(answer.substr(0, answer.size() - 20));
  ASSERT_EQ(r.open(), HTTP_OK);
  std::string got;
  EXPECT_EQ(r.read(64, &got), HTTP_IO_ERROR);
  EXPECT_EQ(got, "");
  EXPECT_EQ(r.d->state, 1);
}

}  // namespace
