// The incremental decoders: the same rows whatever the pieces the data
// arrives in, truncated data told from a complete image and from damaged
// data, clear errors on bad data, pages beyond their bound refused from
// their header, bounded memory on large pages; interlaced and 1, 2 and
// 4-bit grey PNG.
#include "image_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

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

// Entropy data cut short but followed by the device's own end marker:
// libjpeg fills the rest and warns; the filler is not handed out, and the
// page is damaged, not cut short by the transfer.
TEST(Decoder, JpegDataEndingBeforeItsEndMarkerIsDamaged) {
  const fixtures::Raster page = fixtures::gradient(200, 200, 3);
  for (JpegKind kind : {JpegKind::kBaseline, JpegKind::kProgressive}) {
    std::vector<uint8_t> data = fixtures::encode_jpeg(page, 95, kind);
    data.resize(data.size() / 2);
    data.push_back(0xFF);
    data.push_back(0xD9);
    const Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, 64);
    EXPECT_EQ(d.last, DecodeResult::kDamaged);
    EXPECT_LT(d.rows.size(), 200u);
    EXPECT_THAT(d.error, ::testing::HasSubstr("premature end"));
  }
}

// Where the entropy data of a JPEG starts and ends: after the first SOS
// segment, up to the end marker.
std::pair<size_t, size_t> entropy_data(const std::vector<uint8_t> &jpeg) {
  for (size_t i = 2; i + 3 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return {i + 2 + (size_t{jpeg[i + 2]} << 8 | jpeg[i + 3]), jpeg.size() - 2};
  abort();
}

// Overwrites `count` bytes from `fraction` of the way into the entropy
// data with noise, as a link that garbles a stretch of the page would.
void add_noise(std::vector<uint8_t> &jpeg, double fraction, size_t count, uint32_t seed) {
  const auto [begin, end] = entropy_data(jpeg);
  const size_t at = begin + static_cast<size_t>(static_cast<double>(end - begin) * fraction);
  for (size_t i = at; i < std::min(end, at + count); ++i) {
    seed = seed * 1103515245u + 12345u;
    jpeg[i] = static_cast<uint8_t>(seed >> 16);
  }
}

struct Damage {
  const char *name;
  JpegKind kind;
  int channels;
  std::function<void(std::vector<uint8_t> &)> damage;
  const char *says;
  bool some_rows;  // rows before the damage come out
};

void PrintTo(const Damage &d, std::ostream *os) { *os << d.name; }

class DecoderDamagedJpeg : public ::testing::TestWithParam<Damage> {};

// Noise in the middle of the scan data, stray bytes, a segment cut short
// before its restart marker: libjpeg warns and goes on, decoding noise or
// filling grey.  The rows before the damage come out; the page then ends
// as damaged, never as a complete page.
TEST_P(DecoderDamagedJpeg, EndsThePageAfterTheRowsBeforeTheDamage) {
  const Damage c = GetParam();
  const fixtures::Raster page = fixtures::gradient(160, 240, c.channels);
  std::vector<uint8_t> data = fixtures::encode_jpeg(page, 95, c.kind);
  c.damage(data);
  for (size_t piece : {size_t{100}, data.size()}) {
    const Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, piece);
    EXPECT_EQ(d.last, DecodeResult::kDamaged) << c.name << ": " << d.error;
    EXPECT_THAT(d.error, ::testing::StartsWith("JPEG data: ")) << c.name;
    EXPECT_THAT(d.error, ::testing::HasSubstr(c.says)) << c.name;
    EXPECT_EQ(!d.rows.empty(), c.some_rows) << c.name;
    EXPECT_LT(d.rows.size(), 240u) << c.name;
    // Only the rows decoded before libjpeg noticed anything: the first ones
    // are the page's own.
    for (size_t y = 0; y < std::min<size_t>(d.rows.size(), 16); ++y)
      ASSERT_LE(max_difference(d.rows[y], page.row(static_cast<int>(y))), 12) << c.name << ", row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DecoderDamagedJpeg,
    ::testing::Values(
        Damage{"noise in the middle", JpegKind::kBaseline, 3, [](auto &d) { add_noise(d, 0.5, 400, 7); },
               "Corrupt JPEG data", true},
        Damage{"noise in the middle, grey", JpegKind::kBaseline, 1, [](auto &d) { add_noise(d, 0.5, 200, 11); },
               "Corrupt JPEG data", true},
        Damage{"noise between restart markers", JpegKind::kBaselineRestarts, 3,
               [](auto &d) { add_noise(d, 0.4, 300, 3); }, "Corrupt JPEG data", true},
        Damage{"noise in a progressive scan", JpegKind::kProgressive, 3,
               [](auto &d) { add_noise(d, 0.3, 200, 5); }, "Unsupported marker", false},
        Damage{"a restart interval cut short", JpegKind::kBaselineRestarts, 1,
               [](auto &d) {
                 size_t restarts = 0, pos = 0;
                 for (size_t i = 0; i + 1 < d.size() && restarts < 3; ++i)
                   if (d[i] == 0xFF && d[i + 1] >= 0xD0 && d[i + 1] <= 0xD7 && ++restarts == 3) pos = i;
                 d.erase(d.begin() + static_cast<ptrdiff_t>(pos) - 30, d.begin() + static_cast<ptrdiff_t>(pos));
               },
               "Corrupt JPEG data", true}),
    [](const ::testing::TestParamInfo<Damage> &param) {
      std::string name = param.param.name;
      for (char &ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

// A JFIF header of a later revision than libjpeg knows is only odd: the
// pixels are as sent.
TEST(Decoder, AHarmlessJpegWarningKeepsThePage) {
  const fixtures::Raster page = fixtures::gradient(64, 48, 3);
  std::vector<uint8_t> data = fixtures::encode_jpeg(page);
  ASSERT_EQ(memcmp(data.data() + 6, "JFIF", 5), 0);
  data[11] = 2;  // major revision
  const Decoded d = decode_in_pieces(ImageFormat::kJpeg, data, 50);
  EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
  EXPECT_EQ(d.rows.size(), 48u);
}

// A PNG chunk whose checksum does not match was damaged on its way: the
// rows decoded before its checksum was read come out, then the page ends
// as damaged.
TEST(Decoder, APngChunkWithABadChecksumIsDamage) {
  const fixtures::Raster page = fixtures::gradient(100, 200, 3);
  struct Row {
    const char *chunk;
    bool middle;  // the middle one of its kind, else the first
    bool some_rows;
  };
  const Row rows[] = {{"IDAT", true, true}, {"IHDR", false, false}};
  for (const Row &row : rows) {
    std::vector<uint8_t> data = fixtures::encode_png(page, false, 8, 1024);
    const std::vector<size_t> chunks = fixtures::png_chunks(data, row.chunk);
    ASSERT_GT(chunks.size(), row.middle ? 4u : 0u);
    const size_t at = chunks[row.middle ? chunks.size() / 2 : 0];
    const size_t length = size_t{data[at]} << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
    data[at + 8 + length] ^= 0x5A;  // the CRC's first byte
    const Decoded d = decode_in_pieces(ImageFormat::kPng, data, 300);
    EXPECT_EQ(d.last, DecodeResult::kDamaged) << row.chunk << ": " << d.error;
    EXPECT_THAT(d.error, ::testing::HasSubstr("CRC error")) << row.chunk;
    EXPECT_EQ(!d.rows.empty(), row.some_rows) << row.chunk;
    EXPECT_LT(d.rows.size(), 200u);
    for (size_t y = 0; y < d.rows.size(); ++y)
      ASSERT_EQ(max_difference(d.rows[y], page.row(static_cast<int>(y))), 0) << "row " << y;
  }
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

TEST(Decoder, CorruptDataIsDamageWithAReason) {
  std::vector<uint8_t> jpeg = fixtures::encode_jpeg(fixtures::gradient(8, 8, 1));
  jpeg[3] = 0x4F;  // a reserved marker where the first segment starts
  Decoded d = decode_in_pieces(ImageFormat::kJpeg, jpeg, 4);
  EXPECT_EQ(d.last, DecodeResult::kDamaged);
  EXPECT_THAT(d.error, ::testing::StartsWith("JPEG data: "));

  std::vector<uint8_t> png = fixtures::encode_png(fixtures::gradient(8, 8, 1));
  png[12] = 'X';  // the IHDR chunk's name
  d = decode_in_pieces(ImageFormat::kPng, png, 4);
  EXPECT_EQ(d.last, DecodeResult::kDamaged);
  EXPECT_THAT(d.error, ::testing::StartsWith("PNG data: "));
}

struct Interlaced {
  int width, height, channels, bit_depth;
};

class DecoderInterlaced : public ::testing::TestWithParam<Interlaced> {};

// Adam7 sends seven passes of the page; put together they are the same
// rows as the page sent plainly, whatever the pieces the data comes in.
TEST_P(DecoderInterlaced, GivesTheRowsOfThePlainPage) {
  const Interlaced c = GetParam();
  const fixtures::Raster page = fixtures::gradient(c.width, c.height, c.channels);
  const Decoded plain = decode_in_pieces(ImageFormat::kPng, fixtures::encode_png(page, false, c.bit_depth), 4096);
  ASSERT_EQ(plain.last, DecodeResult::kEnd) << plain.error;
  const std::vector<uint8_t> data = fixtures::encode_png(page, true, c.bit_depth);
  for (size_t piece : {size_t{1}, size_t{97}, data.size()}) {
    const Decoded d = decode_in_pieces(ImageFormat::kPng, data, piece);
    EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
    EXPECT_EQ(d.header.width, c.width);
    EXPECT_EQ(d.header.channels, c.channels);
    EXPECT_EQ(d.rows, plain.rows) << c.width << " x " << c.height << ", pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, DecoderInterlaced,
                         ::testing::Values(Interlaced{67, 41, 3, 8}, Interlaced{67, 41, 1, 8}, Interlaced{1, 1, 3, 8},
                                           Interlaced{5, 1, 1, 8}, Interlaced{1, 9, 1, 8}, Interlaced{8, 8, 3, 8},
                                           Interlaced{37, 23, 1, 1}, Interlaced{19, 30, 1, 4}));

// The last pass makes rows final in order: a page cut during it gives the
// rows before the cut, and one cut before it none.
TEST(Decoder, AnInterlacedPageCutShortGivesItsFinalRows) {
  const fixtures::Raster page = fixtures::gradient(120, 160, 1);
  const std::vector<uint8_t> whole = fixtures::encode_png(page, true);
  const struct {
    int percent;
    bool some_rows;
  } cuts[] = {{30, false}, {90, true}};
  for (const auto &cut : cuts) {
    const std::vector<uint8_t> data(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(whole.size() * cut.percent / 100));
    const Decoded d = decode_in_pieces(ImageFormat::kPng, data, 200);
    EXPECT_EQ(d.last, DecodeResult::kTruncated) << cut.percent;
    EXPECT_EQ(!d.rows.empty(), cut.some_rows) << cut.percent;
    EXPECT_LT(d.rows.size(), 160u);
    for (size_t y = 0; y < d.rows.size(); ++y)
      ASSERT_EQ(max_difference(d.rows[y], page.row(static_cast<int>(y))), 0) << "row " << y;
  }
}

// The whole interlaced page is held: one beyond what the bound lets the
// decoder hold is refused before any of it is allocated.
TEST(Decoder, AnInterlacedPageBeyondTheMemoryBoundIsRefused) {
  const std::vector<uint8_t> data = fixtures::encode_png(fixtures::gradient(100, 100, 3), true);
  const struct {
    size_t memory;
    DecodeResult last;
  } rows[] = {{100 * 100 * 3 - 1, DecodeResult::kError}, {100 * 100 * 3, DecodeResult::kEnd}};
  for (const auto &row : rows) {
    const Decoded d = decode_in_pieces(ImageFormat::kPng, data, 512, bbescl::PageBound{100, 100, row.memory});
    EXPECT_EQ(d.last, row.last) << row.memory << ": " << d.error;
    if (row.last == DecodeResult::kError) {
      EXPECT_THAT(d.error, ::testing::HasSubstr("interlaced page of 100 x 100 pixels"));
      EXPECT_TRUE(d.rows.empty());
    }
  }
}

// Line art sent as BlackAndWhite1 is 1-bit grey PNG: widened to 8-bit
// levels (1 becomes 255), as are 2 and 4-bit grey, so the threshold turns
// it back into line art exactly.
TEST(Decoder, GreyPngOfFewerBitsIsWidenedTo8) {
  const fixtures::Raster page = fixtures::gradient(45, 20, 1);
  for (int depth : {1, 2, 4}) {
    for (bool interlaced : {false, true}) {
      const Decoded d = decode_in_pieces(ImageFormat::kPng, fixtures::encode_png(page, interlaced, depth), 33);
      EXPECT_EQ(d.last, DecodeResult::kEnd) << d.error;
      EXPECT_EQ(d.header.channels, 1);
      ASSERT_EQ(d.rows.size(), 20u);
      const int top = (1 << depth) - 1;
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 45; ++x)
          ASSERT_EQ(d.rows[y][x], (page.row(y)[x] >> (8 - depth)) * 255 / top)
              << depth << " bits, interlaced " << interlaced << ", pixel " << x << ", " << y;
    }
  }
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
