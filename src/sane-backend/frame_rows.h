// Turns decoded rows (8-bit grey or RGB, whatever the device sent) into
// rows of the SANE frame the application was promised: the delivered
// columns, in the frame's colour format, lineart packed one bit a pixel.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace bbescl {

struct FrameLayout {
  int mode_id = 0;          // BB_MODE_LINEART, BB_MODE_GRAY or BB_MODE_COLOR
  int width = 0;            // pixels of a frame row
  int bytes_per_line = 0;
};

// Bytes a frame row of `width` pixels takes in `mode_id`, as the frame
// parameters count them.
int frame_bytes_per_line(int mode_id, int width);

class RowConverter {
 public:
  // `input_channels` 1 or 3; `x0` the first decoded column delivered;
  // `threshold` the grey level below which lineart is black; `brightness`
  // an offset added to every grey or colour level.
  RowConverter(const FrameLayout &layout, int input_channels, int x0, int threshold, int brightness);

  void convert(const uint8_t *decoded, uint8_t *frame_row) const;

 private:
  uint8_t adjust(int level) const;

  FrameLayout layout_;
  int channels_;
  int x0_;
  int threshold_;
  int brightness_;
  mutable std::vector<uint8_t> grey_;  // lineart's grey row before packing
};

// SANE lineart: a set bit is black, the first pixel in the high bit.
void pack_lineart(const uint8_t *grey, int width, int threshold, uint8_t *packed);

// ITU-R BT.601 luma, rounded.
inline uint8_t luma(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

}  // namespace bbescl
