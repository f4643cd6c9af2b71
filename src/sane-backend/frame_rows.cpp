#include "frame_rows.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "bb_escl.h"

namespace bbescl {

int frame_bytes_per_line(int mode_id, int width) {
  switch (mode_id) {
    case BB_MODE_LINEART: return (width + 7) / 8;
    case BB_MODE_GRAY: return width;
    default: return 3 * width;
  }
}

namespace {

constexpr double kWhite = 255.0;
constexpr double kMidGrey = kWhite / 2;

double clamp_level(double v) { return std::min(kWhite, std::max(0.0, v)); }

// Each step clamps to the scale, as a scanner's own electronics would: a
// level pushed past white by the brightness stays white under the contrast.
double adjusted_level(double v, const Adjustments &a) {
  const double shadow = a.shadow * kWhite / 100, highlight = a.highlight * kWhite / 100;
  if (highlight > shadow)
    v = clamp_level((v - shadow) * kWhite / (highlight - shadow));
  else
    v = v <= shadow ? 0 : kWhite;
  v = clamp_level(v + a.brightness * kMidGrey / 100);
  // Full contrast leaves only black and white, split at mid-grey.
  const double slope = a.contrast >= 0 ? (a.contrast < 100 ? 100.0 / (100 - a.contrast) : kWhite)
                                       : (100.0 + a.contrast) / 100;
  v = clamp_level((v - kMidGrey) * slope + kMidGrey);
  if (a.gamma > 0 && a.gamma != 1.0) v = kWhite * pow(v / kWhite, 1.0 / a.gamma);
  if (a.negative) v = kWhite - v;
  return v;
}

}  // namespace

ToneTable tone_table(const Adjustments &a) {
  ToneTable t{};
  t.identity = true;
  for (int i = 0; i < 256; ++i) {
    t.level[i] = static_cast<uint8_t>(lround(clamp_level(adjusted_level(i, a))));
    t.identity = t.identity && t.level[i] == i;
  }
  return t;
}

RowConverter::RowConverter(const FrameLayout &layout, int input_channels, int x0, int threshold,
                           const ToneTable &tones)
    : layout_(layout), channels_(input_channels), x0_(x0), threshold_(threshold), tones_(tones) {}

void pack_lineart(const uint8_t *grey, int width, int threshold, uint8_t *packed) {
  memset(packed, 0, static_cast<size_t>((width + 7) / 8));
  for (int x = 0; x < width; ++x)
    if (grey[x] < threshold) packed[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

bool RowConverter::converts_in_place(int decoded_width) const {
  const bool same_format = (layout_.mode_id == BB_MODE_COLOR && channels_ == 3) ||
                           (layout_.mode_id == BB_MODE_GRAY && channels_ == 1);
  return same_format && x0_ == 0 && decoded_width == layout_.width;
}

void RowConverter::adjust_in_place(uint8_t *row) const {
  if (tones_.identity) return;
  const uint8_t *t = tones_.level;
  const size_t n = static_cast<size_t>(layout_.width) * channels_;
  // Unrolled, a level costs its two loads and its store, next to nothing
  // of the loop's own.
#pragma GCC unroll 8
  for (size_t i = 0; i < n; ++i) row[i] = t[row[i]];
}

void RowConverter::convert(const uint8_t *decoded, uint8_t *out) const {
  const uint8_t *in = decoded + static_cast<size_t>(x0_) * channels_;
  const uint8_t *t = tones_.level;
  const int w = layout_.width;
  if (layout_.mode_id == BB_MODE_COLOR) {
    if (channels_ == 3) {
      if (tones_.identity) {
        memcpy(out, in, static_cast<size_t>(w) * 3);
      } else {
#pragma GCC unroll 8
        for (int i = 0; i < 3 * w; ++i) out[i] = t[in[i]];
      }
    } else {
      for (int x = 0; x < w; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = t[in[x]];
    }
    return;
  }

  // Grey and lineart start from grey levels.
  const bool lineart = layout_.mode_id == BB_MODE_LINEART;
  uint8_t *grey = out;
  if (lineart) {
    grey_.resize(static_cast<size_t>(w));
    grey = grey_.data();
  }
  if (channels_ == 1) {
    for (int x = 0; x < w; ++x) grey[x] = t[in[x]];
  } else {
    for (int x = 0; x < w; ++x) grey[x] = t[luma(in[3 * x], in[3 * x + 1], in[3 * x + 2])];
  }
  if (lineart) pack_lineart(grey, w, threshold_, out);
}

}  // namespace bbescl
