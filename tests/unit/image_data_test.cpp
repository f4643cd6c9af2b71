// Image data: from the open page channel into the host's image buffer as
// it arrives, whatever the page's framing, with the time limits of high
// resolutions and the chunks that do not fit the buffer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "device_double.h"
#include "http/http.h"
#include "job_session.h"

using fake::Log;
using jobtest::Session;
using ::testing::ElementsAre;
using ::testing::Each;

namespace {

std::string chunk(const std::string &data) {
  std::ostringstream out;
  out << std::hex << data.size() << "\r\n" << data << "\r\n";
  return out.str();
}

const std::string kLastChunk = "0\r\n\r\n";

// Bytes that differ from their neighbours, so a lost or doubled byte shows.
std::string pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  unsigned x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

const std::string kChunkedPage =
    "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n\r\n";

// A page channel open in the session with the page answer's header read,
// as bb_get_scanjob leaves it; the test scripts the body.
fake::Channel &open_page(fake::Device &dev, Session &s, const std::string &header = kChunkedPage) {
  fake::Channel &ch = dev.next("KV-ESCL-SCAN");
  ch.reply(header);
  EXPECT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &s.bb->http), HTTP_OK);
  char buf[256];
  int32_t n = 0;
  EXPECT_EQ(http_read_header(s.bb->http, buf, sizeof buf, 5, &n), HTTP_OK);
  ch.read_timeouts.clear();
  ch.read_sizes.clear();
  fake::reset_captures();
  return ch;
}

std::string taken(Session &s) {
  std::string data(reinterpret_cast<const char *>(s.hs->image_buffer),
                   static_cast<size_t>(s.hs->image_count));
  s.hs->image_count = 0;  // the host takes the data
  return data;
}

// Calls bb_get_image_data until the page ends or fails; returns the data in
// the order delivered and the result of the last call.
std::string read_page(Session &s, int *result, int max_calls = 100000) {
  std::string page;
  for (int i = 0; i < max_calls; ++i) {
    *result = bb_get_image_data(s.hs.get());
    if (*result != 0 || s.hs->image_count == 0) return page;
    page += taken(s);
  }
  return page;
}

TEST(ImageData, OneChunkThenTheEnd) {
  fake::Device dev;
  Session s;
  auto &ch = open_page(dev, s);
  std::string data = pattern(0x1000);
  ch.reply("1000\r\n").reply(data + "\r\n" + kLastChunk);

  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(s.hs->image_count, 4096);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(s.hs->image_buffer), 4096), data);
  EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 1785: bb_get_image_data...\n"}));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1788: bb_get_image_data cnt=0 res=300 tmo=5\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 1808: bb_get_image_data exit: bytes read = [4096] \n"));
  EXPECT_EQ(fake::logs().back(), (Log{6, "bb_escl 1814: bb_get_image_data returning (0)...\n"}));

  // Not yet taken: nothing is read.
  fake::reset_captures();
  const size_t reads_before = ch.read_sizes.size();
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(s.hs->image_count, 4096);
  EXPECT_EQ(ch.read_sizes.size(), reads_before);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1788: bb_get_image_data cnt=4096 res=300 tmo=5\n"));

  s.hs->image_count = 0;
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);  // the last chunk
  EXPECT_EQ(s.hs->image_count, 0);
  EXPECT_EQ(s.bb->http->body, HTTP_BODY_DONE);

  // The end is marked: later calls end at once without reading the channel.
  size_t reads = ch.read_sizes.size();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
    EXPECT_EQ(s.hs->image_count, 0);
    EXPECT_EQ(bb_get_size(s.hs.get(), 5), 0);
  }
  EXPECT_EQ(ch.read_sizes.size(), reads);
  EXPECT_FALSE(ch.closed);  // the page end closes it
}

std::string counted_header(size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(length) +
         "\r\n\r\n";
}

// The same page, however the device frames it and wherever its reads split
// the bytes, reaches the host whole; nothing after a framed page is taken.
TEST(ImageData, EveryFramingSplitAtEveryPositionArrivesWhole) {
  const std::string data[] = {pattern(1, 2), pattern(300, 3), pattern(17, 4), pattern(1000, 5)};
  std::string expected;
  std::string chunks;
  for (const std::string &d : data) {
    expected += d;
    chunks += chunk(d);
  }
  struct Row {
    std::string name;
    std::string header;
    std::string body;
  };
  const Row rows[] = {
      {"chunked", kChunkedPage, chunks + kLastChunk + "NEXT"},
      {"chunked with extensions and a trailer", kChunkedPage,
       "1;a=b\r\n" + data[0] + "\r\n" + chunk(data[1] + data[2] + data[3]) + "0;end\r\nX-Pages: 1\r\n\r\nNEXT"},
      {"counted", counted_header(expected.size()), expected + "NEXT"},
      {"ended by the connection", "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n\r\n", expected},
  };
  // One host session for all: its 4 MB image buffer is costly to set up.
  Session s;
  for (const Row &row : rows) {
    for (size_t split = 0; split <= row.body.size(); ++split) {
      fake::Device dev;
      auto &ch = open_page(dev, s, row.header);
      if (split > 0) ch.reply(row.body.substr(0, split));
      if (split < row.body.size()) ch.reply(row.body.substr(split));
      int result = -1;
      EXPECT_TRUE(read_page(s, &result) == expected) << row.name << ", split at " << split;
      EXPECT_EQ(result, 0) << row.name << ", split at " << split;
      EXPECT_EQ(s.bb->http->body, HTTP_BODY_DONE) << row.name << ", split at " << split;
      bb_end_page(s.hs.get(), 0);
    }
  }
}

// bb_get_size tells what follows without more framing: the rest of the
// chunk, or of a counted page.
TEST(ImageData, SizeOfWhatFollows) {
  struct Row {
    std::string header;
    std::string body;
    int32_t size;
  };
  const Row rows[] = {
      {kChunkedPage, "10;name=value\r\n", 16},
      {kChunkedPage, " 1a\r\n", 26},
      {kChunkedPage, "\t2\r\n", 2},
      {kChunkedPage, "Ff\r\n", 255},
      {kChunkedPage, "0x10\r\n", 16},
      {kChunkedPage, "7fffffff\r\n", 0x7fffffff},
      {kChunkedPage, "0\r\n\r\n", 0},
      {counted_header(70000), "", 70000},
      {counted_header(0), "", 0},
  };
  for (const Row &row : rows) {
    fake::Device dev;
    Session s;
    open_page(dev, s, row.header).reply(row.body);
    EXPECT_EQ(bb_get_size(s.hs.get(), 5), row.size) << row.body;
  }
}

TEST(ImageData, MalformedSizeLinesFail) {
  const std::string lines[] = {
      "-1\r\n",                // negative
      " -10\r\n",              // negative after a blank
      "100000000\r\n",         // beyond 32 bits
      "123456789abcd\r\n",     // still too big
      "\r\n",                  // no number
      "x1\r\n",                // no number
      std::string(4100, '0') + "\r\n",  // longer than the read-ahead buffer
  };
  for (const std::string &line : lines) {
    {
      fake::Device dev;
      Session s;
      open_page(dev, s).reply(line);
      EXPECT_EQ(bb_get_size(s.hs.get(), 5), -1) << line;
    }
    fake::Device dev;
    Session s;
    open_page(dev, s).reply(line + std::string(64, 'x'));
    EXPECT_EQ(bb_get_image_data(s.hs.get()), 1) << line;
    EXPECT_EQ(s.hs->image_count, 0) << line;
  }
}

TEST(ImageData, OverlongSizeLineIsLogged) {
  fake::Device dev;
  Session s;
  open_page(dev, s).reply(std::string(5000, '0') + "\r\n");
  EXPECT_EQ(bb_get_size(s.hs.get(), 5), -1);
  EXPECT_TRUE(fake::logged(3, "http 373: chunk-size line longer than 4095 bytes\n"));
}

// Devices put chunk extensions on size lines, long ones too.
TEST(ImageData, ChunkExtensionsArePassedOver) {
  for (size_t ext : {1u, 40u, 3000u}) {
    fake::Device dev;
    Session s;
    open_page(dev, s).reply("5;x=" + std::string(ext, 'e') + "\r\nhello\r\n0\r\n\r\n");
    ASSERT_EQ(bb_get_image_data(s.hs.get()), 0) << ext;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s.hs->image_buffer), 5), "hello") << ext;
  }
}

// Some devices send the page with a Content-Length instead of chunks: it
// is read by its count, in pieces, and nothing after it is taken.
TEST(ImageData, CountedPageIsReadByItsLength) {
  fake::Device dev;
  Session s;
  s.set_job("J1");
  const std::string data = pattern(150000);
  auto &ch = dev.next("KV-ESCL-SCAN").reply(counted_header(150000) + data + "NEXT");
  ASSERT_EQ(bb_get_scanjob(s.hs.get()), SANE_STATUS_GOOD);
  int result = -1;
  EXPECT_EQ(read_page(s, &result), data);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(s.bb->http->s.cnt + static_cast<int>(ch.script.empty() ? 0 : ch.script.front().bytes.size()), 4);
}

TEST(ImageData, CountedPageCutShortFails) {
  fake::Device dev;
  Session s;
  open_page(dev, s, counted_header(5000)).reply(pattern(3000));
  int result = -1;
  EXPECT_EQ(read_page(s, &result), pattern(3000));
  EXPECT_EQ(result, 1);
}

// Chunk data followed by anything but CR LF is a broken body, not data:
// what came before it is the host's, the next call fails.
TEST(ImageData, ChunkWithoutItsLineEndFails) {
  fake::Device dev;
  Session s;
  open_page(dev, s).reply("5\r\nhelloXY0\r\n\r\n");
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(taken(s), "hello");
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_EQ(s.hs->image_count, 0);
  EXPECT_TRUE(fake::logged(3, "http 412: chunk data not followed by its line end\n"));
}

struct LimitRow {
  int32_t resolution;
  int size_line_limit;
  int data_limit;
};

TEST(ImageData, TimeLimitsGrowAtTwelveHundredDpi) {
  const LimitRow rows[] = {{300, 5, 5}, {600, 5, 5}, {1199, 5, 5}, {1200, 125, 25}, {2400, 125, 25}};
  for (const LimitRow &row : rows) {
    fake::Device dev;
    Session s;
    s.hs->current_resolution = row.resolution;
    // Size line, data and line end each arrive in a read of their own.
    auto &ch = open_page(dev, s).reply("4\r\n").reply("DATA").reply("\r\n" + kLastChunk);
    EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
    EXPECT_EQ(taken(s), "DATA");
    EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
    EXPECT_EQ(s.hs->image_count, 0);
    EXPECT_THAT(ch.read_timeouts, ElementsAre(row.size_line_limit, row.data_limit, row.data_limit))
        << row.resolution;
    EXPECT_TRUE(fake::logged(6, "bb_escl 1788: bb_get_image_data cnt=0 res=" +
                                    std::to_string(row.resolution) +
                                    " tmo=" + std::to_string(row.data_limit) + "\n"));
    // The longer wait is for this page's reads only.
    EXPECT_EQ(s.bb->http->size_line_sectime, 0);
    EXPECT_EQ(s.bb->http->deadline_ms, 0);
  }
}

TEST(ImageData, HostsOwnSizeLimitIsMultipliedAtHighResolution) {
  fake::Device dev;
  Session s;
  s.hs->current_resolution = 1200;
  auto &ch = open_page(dev, s).reply("4\r\n");
  EXPECT_EQ(bb_get_size(s.hs.get(), 10), 4);
  EXPECT_THAT(ch.read_timeouts, ElementsAre(50));
}

// A device trickling its page fails the page once a progress window passes
// without a window's worth of bytes.
TEST(ImageData, TricklingPageFails) {
  fake::Device dev;
  Session s;
  auto &ch = open_page(dev, s).reply("4\r\nDATA\r\n0\r\n\r\n");
  s.bb->http->progress_window_start_ms = http_now_ms() - 61000;
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_TRUE(fake::logged(3, "http 142: read_stream stopped: the exchange took too long\n"));
  EXPECT_TRUE(ch.read_sizes.empty());
}

// What has arrived goes to the host at once; the break shows on the next call.
TEST(ImageData, BodyBreakingOffMidChunkFails) {
  fake::Device dev;
  Session s;
  open_page(dev, s).reply("1000\r\n").reply(pattern(1000));
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(taken(s), pattern(1000));
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_EQ(s.hs->image_count, 0);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1814: bb_get_image_data returning (1)...\n"));
  EXPECT_NE(s.bb->http, nullptr);  // the page end closes it
}

TEST(ImageData, MissingLineEndAfterTheDataFailsTheNextCall) {
  fake::Device dev;
  Session s;
  open_page(dev, s).reply("8\r\n" + pattern(8));
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(taken(s), pattern(8));
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_EQ(s.hs->image_count, 0);
}

// The page's data is all in once the last chunk came: a device that never
// sends the line end after it still ends the page.
TEST(ImageData, MissingLineEndAfterTheLastChunkStillEndsThePage) {
  fake::Device dev;
  Session s;
  open_page(dev, s).reply("0\r\n");
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(s.hs->image_count, 0);
  EXPECT_EQ(s.bb->http->body, HTTP_BODY_DONE);
}

TEST(ImageData, UnreadableSizeLineFails) {
  fake::Device dev;
  Session s;
  open_page(dev, s).fail_read(5);
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_EQ(s.hs->image_count, 0);
}

TEST(ImageData, NoPageChannelFails) {
  fake::Device dev;
  Session s;
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 1);
  EXPECT_EQ(bb_get_size(s.hs.get(), 5), -1);
  s.hs->image_count = 10;  // not taken yet: nothing to read anyway
  EXPECT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(dev.open_calls(), 0);
}

// One call moves at most a 64 KiB piece into the 4 MB image buffer, so
// that the host's resident memory does not grow by the whole buffer.
TEST(ImageData, ChunkLargerThanAPieceComesInPieces) {
  fake::Device dev;
  Session s;
  auto &ch = open_page(dev, s);
  constexpr int32_t kPiece = bb::kImageDataPieceSize;
  static_assert(kPiece == 64 * 1024);
  const size_t big = 2 * kPiece + 1000;
  std::string data = pattern(big, 9);
  std::string next = pattern(10, 10);
  std::ostringstream size_line;
  size_line << std::hex << big << "\r\n";
  ch.reply(size_line.str());
  // Reads bring more than a piece holds, then less.
  ch.reply_in_pieces(data + "\r\n" + chunk(next) + kLastChunk, kPiece + 10000);

  std::vector<int32_t> counts;
  std::string page;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(bb_get_image_data(s.hs.get()), 0);
    counts.push_back(s.hs->image_count);
    page += taken(s);
  }
  EXPECT_THAT(counts, ElementsAre(kPiece, 10000, kPiece - 9000));
  EXPECT_TRUE(page == data) << "image bytes lost or reordered";
  // Straight from the channel into the image buffer, a piece a read.
  EXPECT_THAT(ch.read_sizes, ElementsAre(4096, kPiece, kPiece, kPiece - 9000));
  EXPECT_EQ(fake::logs_starting("bb_escl 1804:").size(), 2u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 1804: bb_get_image_data piece of 65536 bytes, 66536 more in the chunk\n"));

  int result = -1;
  EXPECT_TRUE(read_page(s, &result) == next);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(s.bb->http->body, HTTP_BODY_DONE);
}

TEST(ImageData, PageEndDropsTheRestOfALargeChunk) {
  fake::Device dev;
  Session s;
  auto &ch = open_page(dev, s);
  std::ostringstream size_line;
  size_line << std::hex << BB_IMAGE_BUFFER_SIZE + 5 << "\r\n";
  ch.reply(size_line.str()).reply_in_pieces(pattern(BB_IMAGE_BUFFER_SIZE), 65536);
  ASSERT_EQ(bb_get_image_data(s.hs.get()), 0);
  EXPECT_EQ(s.bb->http->remaining, BB_IMAGE_BUFFER_SIZE + 5 - 65536);
  bb_end_page(s.hs.get(), 0);
  EXPECT_EQ(s.bb->http, nullptr);
  EXPECT_TRUE(ch.closed);
}

}  // namespace
