#include "image_fixtures.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include <jpeglib.h>
#include <png.h>

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

std::vector<uint8_t> encode_jpeg(const Raster &r, int quality) {
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

std::vector<uint8_t> encode_png(const Raster &r, bool interlaced) {
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
  png_set_IHDR(png, info, static_cast<png_uint_32>(r.width), static_cast<png_uint_32>(r.height), 8,
               r.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < r.height; ++y) png_write_row(png, const_cast<uint8_t *>(r.row(y)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

}  // namespace fixtures
