// A page from chunks to frame rows, with a scripted chunk source in place
// of the plug-in.
#include "page_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "bb_escl.h"
#include "image_fixtures.h"

using bbescl::ChunkSource;
using bbescl::PageReader;

namespace {

class ScriptedChunks : public ChunkSource {
 public:
  // Splits `data` into chunks of `size` bytes, then the end of the body.
  ScriptedChunks(const std::vector<uint8_t> &data, size_t size) {
    for (size_t pos = 0; pos < data.size(); pos += size)
      chunks_.emplace_back(data.begin() + pos, data.begin() + std::min(data.size(), pos + size));
  }
  void fail_after(size_t chunks) { fail_after_ = chunks; }

  Result next_chunk(const uint8_t **data, size_t *size) override {
    if (handed_ == fail_after_) return Result::kError;
    if (chunks_.empty()) {
      ++ends_;
      return Result::kEnd;
    }
    current_ = std::move(chunks_.front());
    chunks_.pop_front();
    ++handed_;
    *data = current_.data();
    *size = current_.size();
    return Result::kData;
  }
  size_t remaining() const { return chunks_.size(); }
  int ends() const { return ends_; }

 private:
  std::deque<std::vector<uint8_t>> chunks_;
  std::vector<uint8_t> current_;
  size_t handed_ = 0;
  size_t fail_after_ = SIZE_MAX;
  int ends_ = 0;
};

// Reads the whole frame `max_len` bytes a call.
SANE_Status read_all(PageReader &reader, int max_len, std::vector<uint8_t> &frame) {
  std::vector<uint8_t> buffer(static_cast<size_t>(max_len));
  for (;;) {
    int len = 0;
    const SANE_Status s = reader.read(buffer.data(), max_len, &len);
    frame.insert(frame.end(), buffer.begin(), buffer.begin() + len);
    if (s != SANE_STATUS_GOOD) return s;
  }
}

bbescl::FrameLayout layout(int mode, int width) {
  return {mode, width, bbescl::frame_bytes_per_line(mode, width)};
}

TEST(PageReader, DeliversTheCroppedFrameRowByRow) {
  const fixtures::Raster page = fixtures::gradient(40, 30, 3);
  ScriptedChunks chunks(fixtures::encode_png(page), 37);
  PageReader reader(chunks, nullptr);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  EXPECT_EQ(reader.format(), bbescl::ImageFormat::kPng);
  EXPECT_EQ(reader.image().width, 40);

  reader.set_frame({5, 7, 20, 10}, layout(BB_MODE_COLOR, 20), 128, 0);
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 7, frame), SANE_STATUS_EOF);
  ASSERT_EQ(frame.size(), 20u * 3 * 10);
  for (int y = 0; y < 10; ++y)
    EXPECT_EQ(0, memcmp(frame.data() + y * 60, page.row(7 + y) + 5 * 3, 60)) << "row " << y;

  // The rest of the body is read but not decoded.
  EXPECT_GT(chunks.remaining(), 0u);
  EXPECT_EQ(reader.drain(), SANE_STATUS_GOOD);
  EXPECT_EQ(chunks.remaining(), 0u);
  EXPECT_EQ(chunks.ends(), 1);
}

TEST(PageReader, TellsTheFormatAcrossTinyFirstChunks) {
  const fixtures::Raster page = fixtures::gradient(16, 8, 1);
  ScriptedChunks chunks(fixtures::encode_jpeg(page), 2);
  PageReader reader(chunks, nullptr);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  EXPECT_EQ(reader.format(), bbescl::ImageFormat::kJpeg);
  reader.set_frame({0, 0, 16, 8}, layout(BB_MODE_GRAY, 16), 128, 0);
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 32768, frame), SANE_STATUS_EOF);
  EXPECT_EQ(frame.size(), 16u * 8);
}

TEST(PageReader, PadsAPageWhoseDataEndsEarlyToThePromisedRows) {
  const fixtures::Raster page = fixtures::gradient(240, 400, 1);  // black at the left
  std::vector<uint8_t> png = fixtures::encode_png(page);
  png.erase(png.begin() + static_cast<ptrdiff_t>(png.size() * 3 / 4), png.end());
  ScriptedChunks chunks(png, 10);
  PageReader reader(chunks, nullptr);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD);
  reader.set_frame({0, 0, 240, 400}, layout(BB_MODE_LINEART, 240), 128, 0);
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 100, frame), SANE_STATUS_EOF);
  ASSERT_EQ(frame.size(), 30u * 400);
  EXPECT_GT(reader.padded_rows(), 0);
  EXPECT_EQ(frame.front() & 0x80, 0x80);  // a decoded row: black at the left
  EXPECT_EQ(frame[frame.size() - 30], 0x00);  // padding: white
}

TEST(PageReader, UnknownFormatsAndEmptyPagesAreIoErrors) {
  const std::string pdf = "%PDF-1.4 not an image at all";
  ScriptedChunks chunks(std::vector<uint8_t>(pdf.begin(), pdf.end()), 100);
  PageReader reader(chunks, nullptr);
  EXPECT_EQ(reader.read_header(), SANE_STATUS_IO_ERROR);
  EXPECT_THAT(reader.error(), ::testing::HasSubstr("unknown format (first bytes 25 50 44 46"));

  ScriptedChunks nothing({}, 1);
  PageReader empty(nothing, nullptr);
  EXPECT_EQ(empty.read_header(), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(empty.error(), "the device sent an empty page");
}

TEST(PageReader, ATransferFailureComesAfterTheRowsAlreadyRead) {
  const fixtures::Raster page = fixtures::gradient(50, 200, 1);
  ScriptedChunks chunks(fixtures::encode_png(page), 100);
  chunks.fail_after(chunks.remaining() / 2);
  PageReader reader(chunks, nullptr);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD);
  reader.set_frame({0, 0, 50, 200}, layout(BB_MODE_GRAY, 50), 128, 0);
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 1 << 20, frame), SANE_STATUS_IO_ERROR);
  EXPECT_GT(frame.size(), 0u);
  EXPECT_LT(frame.size(), 50u * 200);
  EXPECT_EQ(frame.size() % 50, 0u);
  EXPECT_EQ(reader.error(), "reading the page data from the device failed");
}

TEST(PageReader, StopsWhenACancelIsRequested) {
  const fixtures::Raster page = fixtures::gradient(50, 200, 3);
  ScriptedChunks chunks(fixtures::encode_jpeg(page), 300);
  volatile sig_atomic_t cancel = 0;
  PageReader reader(chunks, &cancel);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD);
  reader.set_frame({0, 0, 50, 200}, layout(BB_MODE_COLOR, 50), 128, 0);
  uint8_t row[150];
  int len = 0;
  ASSERT_EQ(reader.read(row, sizeof row, &len), SANE_STATUS_GOOD);
  cancel = 1;
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 150, frame), SANE_STATUS_CANCELLED);
}

}  // namespace
