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
// 8-bit PNG (libpng), RGB or grey, with the resolution in its pHYs chunk.
std::string encode_png(const RowSource &src, int xdpi, int ydpi);

// The same for an image in memory.
RowSource rows_of(const Image &img);

// Decoders; false (and an empty image) when the data is not a whole image.
bool decode_jpeg(const std::string &data, Image &img);
bool decode_png(const std::string &data, Image &img);

}  // namespace escl_sim
