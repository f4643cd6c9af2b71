// How large a page a device may send: the selected source's largest scan
// area at the job's resolution, with some room for devices that round up.
// Not the requested region: some devices ignore it and send the whole area,
// which the backend then crops.  Checked as soon as an image header is
// known, before any pixel is decoded, so a few bytes of header declaring an
// enormous page cannot make the decoder allocate for it.
#pragma once

#include <stddef.h>

#include <string>

#include <sane/sane.h>

namespace bbescl {

struct PageBound {
  int max_width = 0;      // pixels
  int max_height = 0;     // rows
  size_t max_memory = 0;  // bytes the decoding library may hold for the page
};

// Room on each side of the area: 5 % and a few pixels.
inline constexpr int kBoundPercent = 5;
inline constexpr int kBoundSlackPixels = 16;

// The bound of an area of `width` x `height` (SANE_Fixed millimetres) at
// `dpi`; 0 x 0, refusing every page, when either is not positive.  Absurd
// inputs saturate, they never overflow.
PageBound page_bound(SANE_Fixed width, SANE_Fixed height, int dpi);

// Bytes a decoder needs for a page of up to `width` x `height`: a
// progressive JPEG keeps every coefficient of the page (two bytes per
// sample, up to three samples a pixel, blocks rounded up), plus working rows.
size_t decoder_memory_for(int width, int height);

bool within_bound(const PageBound &bound, long long width, long long height);

// The reason a page of `width` x `height` is refused.
std::string oversized_page_message(long long width, long long height, const PageBound &bound);

}  // namespace bbescl
