#include "frame_rows.h"

#include <string.h>

#include "bb_escl.h"

namespace bbescl {

int frame_bytes_per_line(int mode_id, int width) {
  switch (mode_id) {
    case BB_MODE_LINEART: return (width + 7) / 8;
    case BB_MODE_GRAY: return width;
    default: return 3 * width;
  }
}

RowConverter::RowConverter(const FrameLayout &layout, int input_channels, int x0, int threshold,
                           int brightness)
    : layout_(layout), channels_(input_channels), x0_(x0), threshold_(threshold), brightness_(brightness) {}

uint8_t RowConverter::adjust(int level) const {
  level += brightness_;
  return static_cast<uint8_t>(level < 0 ? 0 : (level > 255 ? 255 : level));
}

void pack_lineart(const uint8_t *grey, int width, int threshold, uint8_t *packed) {
  memset(packed, 0, static_cast<size_t>((width + 7) / 8));
  for (int x = 0; x < width; ++x)
    if (grey[x] < threshold) packed[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

void RowConverter::convert(const uint8_t *decoded, uint8_t *out) const {
  const uint8_t *in = decoded + static_cast<size_t>(x0_) * channels_;
  const int w = layout_.width;
  if (layout_.mode_id == BB_MODE_COLOR) {
    if (channels_ == 3) {
      if (brightness_ == 0) {
        memcpy(out, in, static_cast<size_t>(w) * 3);
      } else {
        for (int i = 0; i < 3 * w; ++i) out[i] = adjust(in[i]);
      }
    } else {
      for (int x = 0; x < w; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = adjust(in[x]);
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
    for (int x = 0; x < w; ++x) grey[x] = adjust(in[x]);
  } else {
    for (int x = 0; x < w; ++x) grey[x] = adjust(luma(in[3 * x], in[3 * x + 1], in[3 * x + 2]));
  }
  if (lineart) pack_lineart(grey, w, threshold_, out);
}

}  // namespace bbescl
