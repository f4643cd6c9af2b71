// The incremental decoders: the same rows whatever the pieces the data
// arrives in, a clean end on truncated data, clear errors on bad data,
// and bounded memory on large pages.
#include "image_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "image_fixtures.h"

using bbescl::DecodeResult;
using bbescl::ImageDecoder;
using bbescl::ImageFormat;

namespace {

struct Decoded {
  bbescl::ImageHeader header;
  std::vector<std::vector<uint8_t>> rows;
  DecodeResult last = DecodeResult::kNeedData;
  std::string error;
  size_t peak_buffered = 0;
};

// Feeds `data` in pieces of `piece` bytes, pulling every row it can after
// each piece, as the page reader does.
Decoded decode_in_pieces(ImageFormat format, const std::vector<uint8_t> &data, size_t piece) {
  Decoded out;
  std::unique_ptr<ImageDecoder> d = bbescl::make_decoder(format);
  size_t pos = 0;
  std::vector<uint8_t> row;
  for (;;) {
    DecodeResult r = d->read_header();
    if (r == DecodeResult::kRow) {
      out.header = d->header();
      row.resize(static_cast<size_t>(out.header.width) * out.header.channels);
      r = d->read_row(row.data());
    }
    if (r == DecodeResult::kRow) {
      out.rows.push_back(row);
      continue;
    }
    if (r == DecodeResult::kNeedData) {
      if (pos == data.size()) {
        d->end_of_input();
        continue;
      }
      const size_t n = std::min(piece, data.size() - pos);
      d->feed(data.data() + pos, n);
      pos += n;
      out.peak_buffered = std::max(out.peak_buffered, d->buffered_bytes());
      continue;
    }
    out.last = r;
    out.error = d->error();
    return out;
  }
}

int max_difference(const std::vector<uint8_t> &a, const uint8_t *b) {
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

struct Case {
  ImageFormat format;
  int channels;
  int tolerance;  // JPEG is lossy
};

class DecoderPieces : public ::testing::TestWithParam<Case> {};

TEST_P(DecoderPieces, GivesTheSameRowsWhateverThePieces) {
  const Case c = GetParam();
  const fixtures::Raster page = fixtures::gradient(67, 41, c.channels);
  const std::vector<uint8_t> data =
      c.format == ImageFormat::kJpeg ? fixtures::encode_jpeg(page) : fixtures::encode_png(page);
  ASSERT_EQ(bbescl::sniff_format(data.data(), data.size()), c.format);

  for (size_t piece : {size_t{1}, size_t{3}, size_t{64}, size_t{1000}, data.size()}) {
    SCOPED_TRACE("piece " + std::to_string(piece));
    const Decoded d = decode_in_pieces(c.format, data, piece);
    EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
    EXPECT_EQ(d.header.width, 67);
    EXPECT_EQ(d.header.height, 41);
    EXPECT_EQ(d.header.channels, c.channels);
    ASSERT_EQ(d.rows.size(), 41u);
    for (int y = 0; y < 41; ++y) EXPECT_LE(max_difference(d.rows[y], page.row(y)), c.tolerance) << "row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DecoderPieces,
                         ::testing::Values(Case{ImageFormat::kJpeg, 3, 12}, Case{ImageFormat::kJpeg, 1, 12},
                                           Case{ImageFormat::kPng, 3, 0}, Case{ImageFormat::kPng, 1, 0}));

TEST(Decoder, TruncatedDataEndsWithTheRowsItHas) {
  const fixtures::Raster page = fixtures::gradient(300, 300, 3);
  for (ImageFormat format : {ImageFormat::kJpeg, ImageFormat::kPng}) {
    SCOPED_TRACE(bbescl::format_name(format));
    std::vector<uint8_t> data = format == ImageFormat::kJpeg ? fixtures::encode_jpeg(page) : fixtures::encode_png(page);
    data.erase(data.begin() + static_cast<ptrdiff_t>(data.size() * 3 / 4), data.end());
    const Decoded d = decode_in_pieces(format, data, 100);
    EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
    EXPECT_EQ(d.header.height, 300);
    EXPECT_GT(d.rows.size(), 0u);
    EXPECT_LT(d.rows.size(), 300u);
  }
}

TEST(Decoder, DataEndingInTheHeaderIsAnError) {
  const fixtures::Raster page = fixtures::gradient(16, 16, 1);
  for (ImageFormat format : {ImageFormat::kJpeg, ImageFormat::kPng}) {
    std::vector<uint8_t> data = format == ImageFormat::kJpeg ? fixtures::encode_jpeg(page) : fixtures::encode_png(page);
    data.erase(data.begin() + 12, data.end());
    const Decoded d = decode_in_pieces(format, data, 5);
    EXPECT_EQ(d.last, DecodeResult::kError);
    EXPECT_THAT(d.error, ::testing::HasSubstr("before its header"));
  }
}

TEST(Decoder, CorruptDataIsAnErrorWithAReason) {
  std::vector<uint8_t> jpeg = fixtures::encode_jpeg(fixtures::gradient(8, 8, 1));
  jpeg[3] = 0x4F;  // a reserved marker where the first segment starts
  Decoded d = decode_in_pieces(ImageFormat::kJpeg, jpeg, 4);
  EXPECT_EQ(d.last, DecodeResult::kError);
  EXPECT_THAT(d.error, ::testing::StartsWith("JPEG data: "));

  std::vector<uint8_t> png = fixtures::encode_png(fixtures::gradient(8, 8, 1));
  png[12] = 'X';  // the IHDR chunk's name
  d = decode_in_pieces(ImageFormat::kPng, png, 4);
  EXPECT_EQ(d.last, DecodeResult::kError);
  EXPECT_THAT(d.error, ::testing::StartsWith("PNG data: "));
}

TEST(Decoder, InterlacedPngIsRefusedByName) {
  const std::vector<uint8_t> png = fixtures::encode_png(fixtures::gradient(16, 16, 3), true);
  const Decoded d = decode_in_pieces(ImageFormat::kPng, png, 64);
  EXPECT_EQ(d.last, DecodeResult::kError);
  EXPECT_THAT(d.error, ::testing::HasSubstr("interlaced"));
}

// A large white page deflates about a thousandfold; pulled row by row it
// must never be held decoded at once.
TEST(Decoder, MemoryStaysBoundedOnALargePage) {
  const fixtures::Raster page = fixtures::solid(2500, 3500, 1, 255);
  constexpr size_t kChunk = 65536;
  for (ImageFormat format : {ImageFormat::kJpeg, ImageFormat::kPng}) {
    SCOPED_TRACE(bbescl::format_name(format));
    const std::vector<uint8_t> data =
        format == ImageFormat::kJpeg ? fixtures::encode_jpeg(page) : fixtures::encode_png(page);
    const Decoded d = decode_in_pieces(format, data, kChunk);
    EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
    EXPECT_EQ(d.rows.size(), 3500u);
    EXPECT_LT(d.peak_buffered, 2 * kChunk + 64 * 2500);
  }
}

TEST(SniffFormat, TellsFormatsByTheirFirstBytes) {
  const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0};
  const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const uint8_t pdf[] = {'%', 'P', 'D', 'F', '-', '1', '.', '4'};
  EXPECT_EQ(bbescl::sniff_format(jpeg, sizeof jpeg), ImageFormat::kJpeg);
  EXPECT_EQ(bbescl::sniff_format(png, sizeof png), ImageFormat::kPng);
  EXPECT_EQ(bbescl::sniff_format(png, 4), ImageFormat::kUnknown);
  EXPECT_EQ(bbescl::sniff_format(pdf, sizeof pdf), ImageFormat::kUnknown);
  EXPECT_EQ(bbescl::make_decoder(ImageFormat::kUnknown), nullptr);
}

}  // namespace
