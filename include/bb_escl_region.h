/*
 * How the bb_escl plug-in turns the host's scan area (SANE_Fixed
 * millimetres) into the job's region (1/300 inch) and the frame's pixels.
 * The host crops and announces pages by the same rules, so both sides use
 * these functions.
 *
 * The two constants are what the scanners were qualified with; the exact
 * ratios (5548.7147 and 11.8110236) give a pixel less at full width, so
 * they must stay as they are.
 */
#ifndef BB_ESCL_REGION_H
#define BB_ESCL_REGION_H

#include <stdint.h>
#include <sane/sane.h>

#define BB_FIXED_MM_PER_300TH 5548.7133
#define BB_300THS_PER_MM 11.811023

/* A length between two SANE_Fixed values in 1/300 inch, truncated toward
 * zero.  The raw words' difference is divided, so it cannot wrap. */
static inline int32_t bb_fixed_span_to_300ths(SANE_Fixed from, SANE_Fixed to) {
  return (int32_t)(((double)to - (double)from) / BB_FIXED_MM_PER_300TH);
}

/* The widest scan of a feeder in 1/300 inch, from the maximum of its x
 * range; a narrower job is centred on it. */
static inline int32_t bb_feeder_width_300ths(SANE_Fixed x_range_max) {
  return (int32_t)((double)x_range_max / 65536.0 * BB_300THS_PER_MM);
}

/* Whole pixels that a length of 1/300 inch covers at dpi: the device may
 * round its page either way, so the frame never counts a part pixel. */
static inline SANE_Int bb_300ths_to_pixels(int32_t length, int32_t dpi) {
  int64_t pixels = (int64_t)length * dpi / 300;
  if (pixels > INT32_MAX) return INT32_MAX;
  if (pixels < INT32_MIN) return INT32_MIN;
  return (SANE_Int)pixels;
}

#endif /* BB_ESCL_REGION_H */
