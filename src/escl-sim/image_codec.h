// Page encoding as the simulated device sends it, and decoding for the
// checks that compare served pages with the chart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "simulator.h"

namespace escl_sim {

// Shape of a page and where its rows come from: fill(y, row) writes row y,
// width * channels bytes. Pages are encoded row by row, so a large page never
// needs its raw pixels in memory at once.
struct RowSource {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::function<void(int y, uint8_t *row)> fill;
};

// Baseline JPEG (libjpeg) with the resolution in its JFIF header; a
// progressive one on request.
std::string encode_jpeg(const RowSource &src, int quality, int xdpi, int ydpi,
                        bool progressive = false);
// PNG (libpng), RGB or grey, with the resolution in its pHYs chunk: 8 bits
// a sample, or 1 bit for a one-channel source of 0 and 255 (black and white
// pages); Adam7-interlaced on request.
struct PngShape {
  bool one_bit = false;
  bool interlaced = false;
};
std::string encode_png(const RowSource &src, int xdpi, int ydpi, PngShape shape = {});

// A one-page PDF showing a baseline JPEG of width x height pixels (channels
// 1 or 3) at its resolution: the JPEG embedded as it is (DCTDecode).
std::string wrap_in_pdf(const std::string &jpeg, int width, int height, int channels, int xdpi, int ydpi);

// Pages damaged in transit or by the device: the middle third of a JPEG's
// entropy-coded data replaced by noise (no marker bytes, EOI kept); a byte
// of a PNG's first IDAT flipped, so that its CRC fails. False when the data
// does not have that shape.
bool damage_jpeg(std::string &jpeg, uint64_t seed);
bool damage_png(std::string &png);

// The same for an image in memory.
RowSource rows_of(const Image &img);

// Decoders; false (and an empty image) when the data is not a whole image.
// Interlaced PNGs and 1-bit grey ones decode to 8-bit rows.
bool decode_jpeg(const std::string &data, Image &img);
bool decode_png(const std::string &data, Image &img);

}  // namespace escl_sim
