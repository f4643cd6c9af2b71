// A page from chunks to frame rows, with a scripted chunk source in place
// of the plug-in.
#include "page_reader.h"

#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>

#include "bb_escl.h"
#include "image_fixtures.h"

using bbescl::ChunkSource;
using bbescl::PageReader;
using fixtures::JpegKind;

namespace {

// A letter-size platen at 300 dpi: the bound of every page here.
const bbescl::PageBound kPlaten = bbescl::page_bound(SANE_FIX(215.9), SANE_FIX(297.0), 300);

class ScriptedChunks : public ChunkSource {
 public:
  // Splits `data` into chunks of `size` bytes, then the end of the body.
  ScriptedChunks(const std::vector<uint8_t> &data, size_t size) {
    for (size_t pos = 0; pos < data.size(); pos += size)
      chunks_.emplace_back(data.begin() + pos, data.begin() + std::min(data.size(), pos + size));
  }
  void fail_after(size_t chunks) { fail_after_ = chunks; }
  void set_content_type(const std::string &type) { content_type_ = type; }
  std::string content_type() const override { return content_type_; }

  Result next_chunk(const uint8_t **data, size_t *size) override {
    ++calls_;
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
  int calls() const { return calls_; }

 private:
  std::deque<std::vector<uint8_t>> chunks_;
  std::vector<uint8_t> current_;
  size_t handed_ = 0;
  size_t fail_after_ = SIZE_MAX;
  int ends_ = 0;
  int calls_ = 0;
  std::string content_type_;
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
  PageReader reader(chunks, nullptr, kPlaten);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  EXPECT_EQ(reader.format(), bbescl::ImageFormat::kPng);
  EXPECT_EQ(reader.image().width, 40);

  reader.set_frame({5, 7, 20, 10}, layout(BB_MODE_COLOR, 20), 128, {});
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

// Reads the whole frame with read sizes taken in turn from `sizes`; the
// length of each read into `lengths`.
SANE_Status read_in_turn(PageReader &reader, const std::vector<int> &sizes, std::vector<uint8_t> &frame,
                         std::vector<int> &lengths) {
  for (size_t i = 0;; ++i) {
    std::vector<uint8_t> buffer(static_cast<size_t>(sizes[i % sizes.size()]));
    int len = 0;
    const SANE_Status s = reader.read(buffer.data(), static_cast<int>(buffer.size()), &len);
    frame.insert(frame.end(), buffer.begin(), buffer.begin() + len);
    lengths.push_back(len);
    if (s != SANE_STATUS_GOOD) return s;
  }
}

// Whole rows are made in the caller's buffer, decoded there when the
// decoded row is the frame row, and a read that has room for more than a
// row ends at a row's end; a buffer smaller than a row has rows split
// across reads through the reader's own.  Either way, the same bytes.
TEST(PageReader, RowsSplitAcrossReadsOfOddSizesEqualWholeRows) {
  struct Case {
    int mode, channels;
    bbescl::Crop crop;
    bool negative;
  };
  const std::vector<Case> cases = {
      {BB_MODE_COLOR, 3, {0, 3, 40, 20}, false},  // decoded in place
      {BB_MODE_COLOR, 3, {0, 0, 40, 30}, true},   // decoded in place, then adjusted
      {BB_MODE_GRAY, 1, {0, 2, 40, 25}, true},
      {BB_MODE_COLOR, 3, {5, 0, 30, 30}, false},  // cropped across: converted
      {BB_MODE_COLOR, 1, {0, 0, 40, 30}, false},
      {BB_MODE_GRAY, 3, {0, 0, 40, 30}, true},
      {BB_MODE_LINEART, 1, {1, 2, 37, 20}, false},
  };
  for (const Case &c : cases) {
    const fixtures::Raster page = fixtures::gradient(40, 30, c.channels);
    bbescl::Adjustments adjust;
    adjust.negative = c.negative;
    const bbescl::FrameLayout frame_layout = layout(c.mode, c.crop.width);
    const int bpl = frame_layout.bytes_per_line;
    const bbescl::RowConverter converter(frame_layout, c.channels, c.crop.x0, 128, bbescl::tone_table(adjust));
    std::vector<uint8_t> expected(static_cast<size_t>(bpl) * c.crop.height);
    for (int y = 0; y < c.crop.height; ++y)
      converter.convert(page.row(c.crop.y0 + y), expected.data() + static_cast<size_t>(y) * bpl);

    for (const std::vector<int> &sizes :
         {std::vector<int>{1 << 16}, {bpl}, {2 * bpl - 1}, {1, bpl + 1, 2 * bpl - 1, 7, 3 * bpl}}) {
      ScriptedChunks chunks(fixtures::encode_png(page), 211);
      PageReader reader(chunks, nullptr, kPlaten);
      ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
      reader.set_frame(c.crop, frame_layout, 128, adjust);
      std::vector<uint8_t> frame;
      std::vector<int> lengths;
      EXPECT_EQ(read_in_turn(reader, sizes, frame, lengths), SANE_STATUS_EOF) << reader.error();
      EXPECT_EQ(frame, expected) << "mode " << c.mode << ", " << c.channels << " channel(s), reads of "
                                 << sizes.size() << " size(s)";
      if (sizes[0] >= bpl) {
        for (const int len : lengths) EXPECT_EQ(len % bpl, 0) << "mode " << c.mode << ", reads of " << sizes[0];
      }
    }
  }
}

TEST(PageReader, TellsTheFormatAcrossTinyFirstChunks) {
  const fixtures::Raster page = fixtures::gradient(16, 8, 1);
  ScriptedChunks chunks(fixtures::encode_jpeg(page), 2);
  PageReader reader(chunks, nullptr, kPlaten);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  EXPECT_EQ(reader.format(), bbescl::ImageFormat::kJpeg);
  reader.set_frame({0, 0, 16, 8}, layout(BB_MODE_GRAY, 16), 128, {});
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 32768, frame), SANE_STATUS_EOF);
  EXPECT_EQ(frame.size(), 16u * 8);
}

struct ShortPage {
  bool png;
  JpegKind kind;
  int percent;  // of the data sent
};

class PageReaderShort : public ::testing::TestWithParam<ShortPage> {};

// The rows that arrived, whole, then an I/O error saying how far the page
// got; never rows made up to fill the frame.
TEST_P(PageReaderShort, HandsOutTheRowsThatArrivedThenFails) {
  const ShortPage c = GetParam();
  const fixtures::Raster page = fixtures::gradient(240, 400, 1);
  std::vector<uint8_t> data = c.png ? fixtures::encode_png(page) : fixtures::encode_jpeg(page, 95, c.kind);
  data.resize(data.size() * static_cast<size_t>(c.percent) / 100);
  ScriptedChunks chunks(data, 97);
  PageReader reader(chunks, nullptr, kPlaten);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  reader.set_frame({0, 0, 240, 400}, layout(BB_MODE_GRAY, 240), 128, {});
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 1000, frame), SANE_STATUS_IO_ERROR);
  ASSERT_EQ(frame.size() % 240, 0u);
  EXPECT_LT(frame.size(), 240u * 400);
  const size_t rows = frame.size() / 240;
  EXPECT_THAT(reader.error(), ::testing::StartsWith("the page data ended after " + std::to_string(rows) + " of 400 rows"));
  for (size_t y = 0; y < rows; ++y)
    ASSERT_NEAR(frame[y * 240 + 200], page.row(static_cast<int>(y))[200], 12) << "row " << y;
  // The error stays.
  int len = 0;
  uint8_t more[16];
  EXPECT_EQ(reader.read(more, sizeof more, &len), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(len, 0);
}

INSTANTIATE_TEST_SUITE_P(Cuts, PageReaderShort,
                         ::testing::Values(ShortPage{false, JpegKind::kBaseline, 30}, ShortPage{false, JpegKind::kBaseline, 90},
                                           ShortPage{false, JpegKind::kProgressive, 60}, ShortPage{true, JpegKind::kBaseline, 20},
                                           ShortPage{true, JpegKind::kBaseline, 50}, ShortPage{true, JpegKind::kBaseline, 80}));

TEST(PageReader, ACompletePageGivesExactlyItsFrame) {
  const fixtures::Raster page = fixtures::gradient(120, 90, 3);
  const std::vector<uint8_t> pages[] = {fixtures::encode_jpeg(page), fixtures::encode_jpeg(page, 95, JpegKind::kProgressive),
                                        fixtures::encode_png(page)};
  for (const std::vector<uint8_t> &data : pages) {
    ScriptedChunks chunks(data, 500);
    PageReader reader(chunks, nullptr, kPlaten);
    ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
    reader.set_frame({0, 0, 120, 90}, layout(BB_MODE_COLOR, 120), 128, {});
    std::vector<uint8_t> frame;
    EXPECT_EQ(read_all(reader, 4096, frame), SANE_STATUS_EOF) << reader.error();
    EXPECT_EQ(frame.size(), 120u * 3 * 90);
    EXPECT_EQ(reader.drain(), SANE_STATUS_GOOD);
  }
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct Declared {
  bool png;
  JpegKind kind;
  uint32_t width, height;
};

class PageReaderOversized : public ::testing::TestWithParam<Declared> {};

// A few KB declaring an enormous page: refused from its header, at once
// and without the memory the declared size would take.
TEST_P(PageReaderOversized, IsRefusedFromItsHeader) {
  const Declared c = GetParam();
  std::vector<uint8_t> data = c.png ? fixtures::encode_png(fixtures::gradient(40, 40, 3))
                                    : fixtures::encode_jpeg(fixtures::gradient(40, 40, 3), 95, c.kind);
  if (c.png)
    fixtures::declare_png_size(data, c.width, c.height);
  else
    fixtures::declare_jpeg_size(data, static_cast<int>(c.width), static_cast<int>(c.height));
  const long rss_before = peak_rss_kib();
  const auto started = std::chrono::steady_clock::now();
  ScriptedChunks chunks(data, 64);
  PageReader reader(chunks, nullptr, kPlaten);
  EXPECT_EQ(reader.read_header(), SANE_STATUS_IO_ERROR);
  EXPECT_THAT(reader.error(), ::testing::HasSubstr(std::to_string(c.width) + " x " + std::to_string(c.height)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_LT(peak_rss_kib() - rss_before, 64 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Pages, PageReaderOversized,
                         ::testing::Values(Declared{false, JpegKind::kProgressive, 60000, 60000},
                                           Declared{false, JpegKind::kBaseline, 60000, 60000},
                                           Declared{false, JpegKind::kProgressive, 2700, 4000},
                                           Declared{true, JpegKind::kBaseline, 60000, 60000},
                                           Declared{true, JpegKind::kBaseline, 3000, 3000}));

// The largest page a bound allows still decodes, the progressive JPEG
// that needs the most memory for it too.
TEST(PageReader, APageFillingItsBoundIsRead) {
  const bbescl::PageBound bound = bbescl::page_bound(SANE_FIX(100.0), SANE_FIX(150.0), 150);
  const fixtures::Raster page = fixtures::solid(bound.max_width, bound.max_height, 3, 200);
  ScriptedChunks chunks(fixtures::encode_jpeg(page, 75, JpegKind::kProgressiveFullChroma), 65536);
  PageReader reader(chunks, nullptr, bound);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
  reader.set_frame({0, 0, bound.max_width, bound.max_height}, layout(BB_MODE_GRAY, bound.max_width), 128, {});
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 1 << 20, frame), SANE_STATUS_EOF) << reader.error();
  EXPECT_EQ(frame.size(), static_cast<size_t>(bound.max_width) * bound.max_height);
}

// Told by the first bytes, whatever the label; the message names the
// label the device gave, for the user to pick another transfer-format.
TEST(PageReader, APageThatIsNeitherPngNorJpegNamesItsContentType) {
  struct Row {
    std::string data, content_type;
    size_t chunk;
    std::string says;
  };
  const std::vector<Row> rows = {
      {"%PDF-1.4 not an image at all", "application/pdf", 100,
       "the device sent the page as application/pdf, which this backend cannot decode (it begins 25 50 44 46 "
       "2D 31 2E 34); choose another transfer-format"},
      {std::string("II*\0 a TIFF", 11), "image/tiff", 3, "as image/tiff, which this backend cannot decode (it begins 49 49 2A 00 20"},
      {"%PDF", "image/jpeg", 100, "as image/jpeg, which this backend cannot decode (it begins 25 50 44 46)"},
      {"<html>busy</html>", "", 100,
       "the device sent the page with no content type, in a form this backend cannot decode (it begins 3C 68"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08", "text/\x1b[31mred\r\n", 100, "as text/?[31mred??, which"},
  };
  for (const Row &row : rows) {
    ScriptedChunks chunks(std::vector<uint8_t>(row.data.begin(), row.data.end()), row.chunk);
    chunks.set_content_type(row.content_type);
    PageReader reader(chunks, nullptr, kPlaten);
    EXPECT_EQ(reader.read_header(), SANE_STATUS_IO_ERROR) << row.content_type;
    EXPECT_THAT(reader.error(), ::testing::HasSubstr(row.says));
    EXPECT_EQ(reader.fault(), bbescl::PageFault::kUndecodable) << row.content_type;
  }
}

TEST(PageReader, AnEmptyPageIsAnIoError) {
  ScriptedChunks nothing({}, 1);
  nothing.set_content_type("image/png");
  PageReader empty(nothing, nullptr, kPlaten);
  EXPECT_EQ(empty.read_header(), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(empty.error(), "the device sent an empty page");
  EXPECT_EQ(empty.fault(), bbescl::PageFault::kNone);
}

// Noise in the middle of a JPEG's scan data, a PNG chunk whose checksum
// fails: the rows before the damage come out, then an I/O error that says
// the device sent a damaged page; the error stays.
TEST(PageReader, ADamagedPageFailsAfterTheRowsBeforeTheDamage) {
  const fixtures::Raster page = fixtures::gradient(160, 300, 1);
  std::vector<uint8_t> jpeg = fixtures::encode_jpeg(page);
  for (size_t i = jpeg.size() / 2; i < jpeg.size() / 2 + 300; ++i) jpeg[i] = static_cast<uint8_t>(i * 151 + 7);
  std::vector<uint8_t> png = fixtures::encode_png(page, false, 8, 2048);
  const std::vector<size_t> idats = fixtures::png_chunks(png, "IDAT");
  ASSERT_GT(idats.size(), 6u);
  png[idats[idats.size() / 2] + 8 + 2048] ^= 0x01;  // its CRC
  struct Row {
    const char *name;
    const std::vector<uint8_t> &data;
    const char *says;
  };
  const Row rows[] = {{"JPEG", jpeg, "the device sent a damaged page: JPEG data: "},
                      {"PNG", png, "the device sent a damaged page: PNG data: IDAT: CRC error ("}};
  for (const Row &row : rows) {
    ScriptedChunks chunks(row.data, 500);
    PageReader reader(chunks, nullptr, kPlaten);
    ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
    reader.set_frame({0, 0, 160, 300}, layout(BB_MODE_GRAY, 160), 128, {});
    std::vector<uint8_t> frame;
    EXPECT_EQ(read_all(reader, 160 * 16, frame), SANE_STATUS_IO_ERROR) << row.name;
    EXPECT_GT(frame.size(), 0u) << row.name;
    EXPECT_LT(frame.size(), 160u * 300) << row.name;
    EXPECT_EQ(frame.size() % 160, 0u);
    EXPECT_THAT(reader.error(), ::testing::StartsWith(row.says));
    EXPECT_THAT(reader.error(), ::testing::HasSubstr(" of 300 rows had arrived)"));
    EXPECT_EQ(reader.fault(), bbescl::PageFault::kDamaged) << row.name;
    int len = 0;
    uint8_t more[16];
    EXPECT_EQ(reader.read(more, sizeof more, &len), SANE_STATUS_IO_ERROR);
    EXPECT_EQ(len, 0);
  }
}

// An interlaced page is decoded whole, then handed out as any other.
TEST(PageReader, AnInterlacedPageGivesTheSameFrame) {
  const fixtures::Raster page = fixtures::gradient(90, 70, 3);
  std::vector<std::vector<uint8_t>> frames;
  for (bool interlaced : {false, true}) {
    ScriptedChunks chunks(fixtures::encode_png(page, interlaced), 333);
    PageReader reader(chunks, nullptr, kPlaten);
    ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD) << reader.error();
    reader.set_frame({4, 6, 80, 60}, layout(BB_MODE_COLOR, 80), 128, {});
    std::vector<uint8_t> frame;
    EXPECT_EQ(read_all(reader, 1000, frame), SANE_STATUS_EOF) << reader.error();
    EXPECT_EQ(reader.drain(), SANE_STATUS_GOOD);
    frames.push_back(frame);
  }
  EXPECT_EQ(frames[0].size(), 80u * 3 * 60);
  EXPECT_EQ(frames[1], frames[0]);
}

TEST(PageReader, ATransferFailureComesAfterTheRowsAlreadyRead) {
  const fixtures::Raster page = fixtures::gradient(50, 200, 1);
  ScriptedChunks chunks(fixtures::encode_png(page), 100);
  chunks.fail_after(chunks.remaining() / 2);
  PageReader reader(chunks, nullptr, kPlaten);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD);
  reader.set_frame({0, 0, 50, 200}, layout(BB_MODE_GRAY, 50), 128, {});
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 50, frame), SANE_STATUS_IO_ERROR);  // a row a read: the failing read gives none
  EXPECT_GT(frame.size(), 0u);
  EXPECT_LT(frame.size(), 50u * 200);
  EXPECT_EQ(frame.size() % 50, 0u);
  const std::string error = "reading the page data from the device failed after " + std::to_string(frame.size() / 50) +
                            " of 200 rows";
  EXPECT_EQ(reader.error(), error);
  // A failed transfer is not asked again.
  const int calls = chunks.calls();
  int len = 0;
  uint8_t more[16];
  EXPECT_EQ(reader.read(more, sizeof more, &len), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(chunks.calls(), calls);
  EXPECT_EQ(reader.error(), error);
}

TEST(PageReader, StopsWhenACancelIsRequested) {
  const fixtures::Raster page = fixtures::gradient(50, 200, 3);
  ScriptedChunks chunks(fixtures::encode_jpeg(page), 300);
  std::atomic<bool> cancel{false};
  PageReader reader(chunks, &cancel, kPlaten);
  ASSERT_EQ(reader.read_header(), SANE_STATUS_GOOD);
  reader.set_frame({0, 0, 50, 200}, layout(BB_MODE_COLOR, 50), 128, {});
  uint8_t row[150];
  int len = 0;
  ASSERT_EQ(reader.read(row, sizeof row, &len), SANE_STATUS_GOOD);
  cancel = true;
  std::vector<uint8_t> frame;
  EXPECT_EQ(read_all(reader, 150, frame), SANE_STATUS_CANCELLED);
}

}  // namespace
