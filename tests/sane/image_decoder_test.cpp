// The incremental decoders: the same rows whatever the pieces the data
// arrives in, truncated data told from a complete image, clear errors on
// bad data, pages beyond their bound refused from their header, and
// bounded memory on large pages.
#include "image_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "image_fixtures.h"

using bbescl::DecodeResult;
using bbescl::ImageDecoder;
using bbescl::ImageFormat;
using fixtures::JpegKind;

namespace {

// Room for every page of these tests.
const bbescl::PageBound kRoomy{8000, 8000, bbescl::decoder_memory_for(8000, 8000)};

struct Decoded {
  bbescl::ImageHeader header;
  std::vector<std::vector<uint8_t>> rows;
  DecodeResult last = DecodeResult::kNeedData;
  std::string error;
  size_t peak_buffered = 0;
};

// Feeds `data` in pieces of `piece` bytes, pulling every row it can after
// each piece, as the page reader does.
Decoded decode_in_pieces(ImageFormat format, const std::vector<uint8_t> &data, size_t piece,
                         const bbescl::PageBound &bound = kRoomy) {
  Decoded out;
  std::unique_ptr<ImageDecoder> d = bbescl::make_decoder(format, bound);
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

std::vector<uint8_t> encode(ImageFormat format, const fixtures::Raster &page, JpegKind kind = JpegKind::kBaseline) {
  return format == ImageFormat::kJpeg ? fixtures::encode_jpeg(page, 95, kind) : fixtures::encode_png(page);
}

struct Cut {
  ImageFormat format;
  JpegKind kind;
  int percent;      // of the data kept
  bool some_rows;   // whether rows come before the end
};

class DecoderCut : public ::testing::TestWithParam<Cut> {};

TEST_P(DecoderCut, EndsTruncatedAfterTheRowsThatArrived) {
  const Cut c = GetParam();
  const fixtures::Raster page = fixtures::gradient(300, 300, 3);
  std::vector<uint8_t> data = encode(c.format, page, c.kind);
  data.resize(data.size() * static_cast<size_t>(c.percent) / 100);
  const Decoded d = decode_in_pieces(c.format, data, 100);
  EXPECT_EQ(d.last, DecodeResult::kTruncated) << d.error;
  EXPECT_EQ(d.header.height, 300);
  EXPECT_EQ(!d.rows.empty(), c.some_rows);
  EXPECT_LT(d.rows.size(), 300u);
  // The rows given are the page's own, not filler.
  const int tolerance = c.format == ImageFormat::kJpeg ? 12 : 0;
  for (size_t y = 0; y < d.rows.size(); ++y)
    ASSERT_LE(max_difference(d.rows[y], page.row(static_cast<int>(y))), tolerance) << "row " << y;
}

// A progressive JPEG is read whole before its first row: cut anywhere, it
// gives none.
INSTANTIATE_TEST_SUITE_P(Cuts, DecoderCut,
                         ::testing::Values(Cut{ImageFormat::kJpeg, JpegKind::kBaseline, 20, true},
                                           Cut{ImageFormat::kJpeg, JpegKind::kBaseline, 50, true},
                                           Cut{ImageFormat::kJpeg, JpegKind::kBaseline, 99, true},
                                           Cut{ImageFormat::kJpeg, JpegKind::kProgressive, 50, false},
                                           Cut{ImageFormat::kJpeg, JpegKind::kProgressive, 99, false},
                                           Cut{ImageFormat::kPng, JpegKind::kBaseline, 10, true},
                                           Cut{ImageFormat::kPng, JpegKind::kBaseline, 50, true},
                                           Cut{ImageFormat::kPng, JpegKind::kBaseline, 98, true}));

// Entropy data cut short but followed by the end marker: libjpeg fills
// the rest and warns; the filler is not handed out.
TEST(Decoder, JpegDataEndingBeforeItsEndMarkerIsTruncated) {
  const fixtures::Raster page = fixtures::gradient(200, 200, 3);
  for (JpegKind kind : {JpegKind::kBaseline, JpegKind::kProgressive}) {
    std::vector<uint8_t> data = fixtures::encode_jpeg(page, 95, kind);
    data.resize(data.size() / 2);
    data.push_back(0xFF);
    data.push_back(0xD9);
    const Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, 64);
    EXPECT_EQ(d.last, DecodeResult::kTruncated);
    EXPECT_LT(d.rows.size(), 200u);
    EXPECT_THAT(d.error, ::testing::HasSubstr("premature end"));
  }
}

// Damage the library can pass over (here a segment whose bits run into
// its restart marker) costs some pixels, not the page.
TEST(Decoder, DamagedJpegDataStillGivesEveryRow) {
  const fixtures::Raster page = fixtures::gradient(160, 160, 1);
  std::vector<uint8_t> data = fixtures::encode_jpeg(page, 95, JpegKind::kBaselineRestarts);
  // Cut the third restart interval short: its next marker comes early.
  size_t restarts = 0, pos = 0;
  for (size_t i = 0; i + 1 < data.size() && restarts < 3; ++i)
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7 && ++restarts == 3) pos = i;
  ASSERT_GT(pos, 40u);
  data.erase(data.begin() + static_cast<ptrdiff_t>(pos) - 30, data.begin() + static_cast<ptrdiff_t>(pos));
  const Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, 100);
  EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
  EXPECT_EQ(d.rows.size(), 160u);
  EXPECT_LE(max_difference(d.rows[150], page.row(150)), 12);
}

// Only the end marker or chunk missing: every row came, the page is whole.
TEST(Decoder, DataMissingOnlyItsEndGivesEveryRow) {
  const fixtures::Raster page = fixtures::gradient(64, 48, 1);
  const struct {
    ImageFormat format;
    size_t cut;  // bytes of the end left out
  } cases[] = {{ImageFormat::kJpeg, 2}, {ImageFormat::kPng, 12}};
  for (const auto &c : cases) {
    std::vector<uint8_t> data = encode(c.format, page);
    data.resize(data.size() - c.cut);
    const Decoded d = decode_in_pieces(c.format, data, 50);
    EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
    EXPECT_EQ(d.rows.size(), 48u);
  }
}

struct Oversized {
  ImageFormat format;
  JpegKind kind;
  uint32_t width, height;
};

class DecoderBound : public ::testing::TestWithParam<Oversized> {};

// The header is refused as it is read, naming the declared size: nothing
// of the image is allocated or decoded.
TEST_P(DecoderBound, RefusesAPageLargerThanItsBound) {
  const Oversized c = GetParam();
  std::vector<uint8_t> data = encode(c.format, fixtures::gradient(32, 32, 3), c.kind);
  if (c.format == ImageFormat::kJpeg)
    fixtures::declare_jpeg_size(data, static_cast<int>(c.width), static_cast<int>(c.height));
  else
    fixtures::declare_png_size(data, c.width, c.height);
  const bbescl::PageBound bound = bbescl::page_bound(SANE_FIX(215.9), SANE_FIX(297.0), 300);
  const Decoded d = decode_in_pieces(c.format, data, 7, bound);
  EXPECT_EQ(d.last, DecodeResult::kError);
  EXPECT_TRUE(d.rows.empty());
  EXPECT_THAT(d.error, ::testing::HasSubstr("declares " + std::to_string(c.width) + " x " + std::to_string(c.height)));
  EXPECT_THAT(d.error, ::testing::HasSubstr(std::to_string(bound.max_width) + " x " + std::to_string(bound.max_height)));
}

INSTANTIATE_TEST_SUITE_P(Pages, DecoderBound,
                         ::testing::Values(Oversized{ImageFormat::kJpeg, JpegKind::kProgressive, 60000, 60000},
                                           Oversized{ImageFormat::kJpeg, JpegKind::kBaseline, 2700, 65500},
                                           Oversized{ImageFormat::kJpeg, JpegKind::kBaseline, 65500, 10},
                                           Oversized{ImageFormat::kPng, JpegKind::kBaseline, 60000, 60000},
                                           Oversized{ImageFormat::kPng, JpegKind::kBaseline, 10, 4000},
                                           Oversized{ImageFormat::kPng, JpegKind::kBaseline, 0x7FFFFFFF, 1}));

// libjpeg without a backing store refuses an image buffer beyond the cap
// instead of allocating it: a progressive page needs all its
// coefficients, and a cap below them is an error.
TEST(Decoder, JpegMemoryStaysWithinTheCap) {
  const fixtures::Raster page = fixtures::gradient(600, 800, 3);
  const std::vector<uint8_t> data = fixtures::encode_jpeg(page, 90, JpegKind::kProgressiveFullChroma);
  bbescl::PageBound tight{600, 800, 600u * 800 * 3};  // half the coefficients
  Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, 4096, tight);
  EXPECT_EQ(d.last, DecodeResult::kError);
  EXPECT_THAT(d.error, ::testing::HasSubstr("JPEG data: "));
  EXPECT_TRUE(d.rows.empty());

  // What the bound allows is enough for the largest page within it.
  const bbescl::PageBound exact{600, 800, bbescl::decoder_memory_for(600, 800)};
  d = decode_in_pieces(ImageFormat::kJpeg, data, 4096, exact);
  EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
  EXPECT_EQ(d.rows.size(), 800u);
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
  EXPECT_EQ(bbescl::make_decoder(ImageFormat::kUnknown, kRoomy), nullptr);
}

}  // namespace
