#include "image_fixtures.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace fixtures {

Raster gradient(int width, int height, int channels) {
  Raster r{width, height, channels, {}};
  r.pixels.resize(static_cast<size_t>(width) * height * channels);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c)
        r.pixels[(static_cast<size_t>(y) * width + x) * channels + c] = static_cast<uint8_t>(
            std::min(255, x * (120 + 40 * c) / std::max(1, width - 1) + y * 100 / std::max(1, height - 1)));
  return r;
}

Raster solid(int width, int height, int channels, uint8_t level) {
  Raster r{width, height, channels, {}};
  r.pixels.assign(static_cast<size_t>(width) * height * channels, level);
  return r;
}

std::vector<uint8_t> encode_jpeg(const Raster &r, int quality, JpegKind kind) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char *out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(r.width);
  c.image_height = static_cast<JDIMENSION>(r.height);
  c.input_components = r.channels;
  c.in_color_space = r.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (kind == JpegKind::kProgressiveFullChroma)
    for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  if (kind == JpegKind::kBaselineRestarts) c.restart_in_rows = 1;
  if (kind == JpegKind::kProgressive || kind == JpegKind::kProgressiveFullChroma) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t *>(r.row(static_cast<int>(c.next_scanline)));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> bytes(out, out + size);
  free(out);
  return bytes;
}

std::vector<uint8_t> encode_png(const Raster &r, bool interlaced, int bit_depth, size_t idat_bytes) {
  std::vector<uint8_t> bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &bytes,
      [](png_structp p, png_bytep data, png_size_t n) {
        auto *v = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(p));
        v->insert(v->end(), data, data + n);
      },
      nullptr);
  if (idat_bytes) {
    // Stored rather than deflated, so that even a small page fills chunks.
    png_set_compression_buffer_size(png, idat_bytes);
    png_set_compression_level(png, 0);
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(r.width), static_cast<png_uint_32>(r.height), bit_depth,
               r.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // Fewer bits a sample: packed by hand, most significant bits first.
  std::vector<uint8_t> packed(static_cast<size_t>(r.height) * ((static_cast<size_t>(r.width) * bit_depth + 7) / 8));
  const size_t packed_row = packed.size() / static_cast<size_t>(std::max(1, r.height));
  if (bit_depth < 8)
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x) {
        const size_t bit = static_cast<size_t>(x) * bit_depth;
        const int value = r.row(y)[x] >> (8 - bit_depth);
        packed[y * packed_row + bit / 8] |= static_cast<uint8_t>(value << (8 - bit_depth - bit % 8));
      }
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < r.height; ++y)
      png_write_row(png, bit_depth < 8 ? packed.data() + y * packed_row : const_cast<uint8_t *>(r.row(y)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

std::vector<size_t> png_chunks(const std::vector<uint8_t> &png, const char *type) {
  std::vector<size_t> found;
  for (size_t pos = 8; pos + 12 <= png.size();) {
    const size_t length = static_cast<size_t>(png[pos]) << 24 | png[pos + 1] << 16 | png[pos + 2] << 8 | png[pos + 3];
    if (memcmp(png.data() + pos + 4, type, 4) == 0) found.push_back(pos);
    pos += 12 + length;
  }
  return found;
}

namespace {

void put_be(std::vector<uint8_t> &v, size_t pos, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) v[pos + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

}  // namespace

void declare_jpeg_size(std::vector<uint8_t> &jpeg, int width, int height) {
  // The frame header: FF C0..C2, length, precision, height, width.
  for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xC0 && jpeg[i + 1] <= 0xC2) {
      put_be(jpeg, i + 5, static_cast<uint32_t>(height), 2);
      put_be(jpeg, i + 7, static_cast<uint32_t>(width), 2);
      return;
    }
  }
  abort();
}

void declare_png_size(std::vector<uint8_t> &png, uint32_t width, uint32_t height) {
  // Signature, then IHDR: length, name, width, height, 5 more bytes, CRC.
  put_be(png, 16, width, 4);
  put_be(png, 20, height, 4);
  put_be(png, 29, static_cast<uint32_t>(crc32(0, png.data() + 12, 17)), 4);
}

}  // namespace fixtures
