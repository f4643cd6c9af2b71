// Turns decoded rows (8-bit grey or RGB, whatever the device sent) into
// rows of the SANE frame the application was promised: the delivered
// columns, in the frame's colour format, with the user's tone adjustments,
// lineart packed one bit a pixel.
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

// The tone adjustments of a scan, in the units of their options.  Scanners
// speaking eSCL offer none of these in their jobs, so they are done here, on
// the 8-bit levels the device sent.
struct Adjustments {
  int brightness = 0;   // -100..100: up to half the full scale added or taken
  int contrast = 0;     // -100..100: steeper or flatter about mid-grey
  int shadow = 0;       // 0..100 % of white: this level and darker become black
  int highlight = 100;  // 0..100 % of white: this level and lighter become white
  double gamma = 1.0;   // output = input^(1/gamma), on levels scaled to 0..1
  bool negative = false;
};

// Every adjustment folded into one level-for-level table, built once a
// page: shadow and highlight stretch the levels between them to the full
// scale, then brightness, contrast, gamma, and last the negative.
struct ToneTable {
  uint8_t level[256];
  bool identity;  // every level maps to itself: rows need no pass at all
};
ToneTable tone_table(const Adjustments &a);

class RowConverter {
 public:
  // `input_channels` 1 or 3; `x0` the first decoded column delivered;
  // `threshold` the grey level below which lineart is black, compared after
  // the tone adjustments.
  RowConverter(const FrameLayout &layout, int input_channels, int x0, int threshold, const ToneTable &tones);

  // Whether a decoded row `decoded_width` pixels wide is already a frame
  // row but for its levels: same colour format, same columns.  The decoder
  // may then write it where the frame row goes, and adjust_in_place finishes
  // it there.
  bool converts_in_place(int decoded_width) const;
  void adjust_in_place(uint8_t *frame_row) const;

  void convert(const uint8_t *decoded, uint8_t *frame_row) const;

 private:
  FrameLayout layout_;
  int channels_;
  int x0_;
  int threshold_;
  ToneTable tones_;
  mutable std::vector<uint8_t> grey_;  // lineart's grey row before packing
};

// SANE lineart: a set bit is black, the first pixel in the high bit.
void pack_lineart(const uint8_t *grey, int width, int threshold, uint8_t *packed);

// ITU-R BT.601 luma, rounded.
inline uint8_t luma(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

}  // namespace bbescl
