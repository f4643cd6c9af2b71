// Small pages encoded in memory for the decoder and page tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace fixtures {

struct Raster {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;  // rows top to bottom, 8 bits a sample
  const uint8_t *row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * channels; }
};

// A smooth pattern that JPEG keeps close: level = f(x, y, channel).
Raster gradient(int width, int height, int channels);
Raster solid(int width, int height, int channels, uint8_t level);

// Baseline with a restart marker after every row of blocks, or progressive
// with the usual scans, its chroma subsampled or not.
enum class JpegKind { kBaseline, kBaselineRestarts, kProgressive, kProgressiveFullChroma };
std::vector<uint8_t> encode_jpeg(const Raster &r, int quality = 95, JpegKind kind = JpegKind::kBaseline);
// Grey pages of `bit_depth` 1, 2 or 4 keep the top bits of each level;
// `idat_bytes` > 0 splits the image data into IDAT chunks of that size.
std::vector<uint8_t> encode_png(const Raster &r, bool interlaced = false, int bit_depth = 8, size_t idat_bytes = 0);
// Where each chunk of `type` starts (its length field) in `png`.
std::vector<size_t> png_chunks(const std::vector<uint8_t> &png, const char *type);

// The same data with the size its header declares changed, as a device
// that lies about it would send (a PNG's IHDR checksum made to match).
void declare_jpeg_size(std::vector<uint8_t> &jpeg, int width, int height);
void declare_png_size(std::vector<uint8_t> &png, uint32_t width, uint32_t height);

}  // namespace fixtures
