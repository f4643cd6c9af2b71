#include "image_codec.h"

// jpeglib.h needs FILE and size_t declared first.
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <png.h>

namespace escl_sim {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return:
// jump back to the call that set up the codec.
struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpeg_fail(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<JpegError *>(cinfo->err);
  longjmp(err->jump, 1);
}

void jpeg_silent(j_common_ptr, int) {}

constexpr double kInchesPerMetre = 39.3700787;

}  // namespace

RowSource rows_of(const Image &img) {
  RowSource src;
  src.width = img.width;
  src.height = img.height;
  src.channels = img.channels;
  const size_t stride = static_cast<size_t>(img.width) * img.channels;
  src.fill = [&img, stride](int y, uint8_t *row) {
    std::memcpy(row, img.pixels.data() + static_cast<size_t>(y) * stride, stride);
  };
  return src;
}

std::string encode_jpeg(const RowSource &img, int quality, int xdpi, int ydpi, bool progressive) {
  jpeg_compress_struct cinfo;
  JpegError err;
  unsigned char *out = nullptr;
  unsigned long out_size = 0;
  std::vector<uint8_t> line(static_cast<size_t>(img.width) * img.channels);
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    free(out);
    return {};
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = static_cast<JDIMENSION>(img.width);
  cinfo.image_height = static_cast<JDIMENSION>(img.height);
  cinfo.input_components = img.channels;
  cinfo.in_color_space = img.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  if (progressive) jpeg_simple_progression(&cinfo);
  cinfo.density_unit = 1;  // dots per inch
  cinfo.X_density = static_cast<UINT16>(xdpi);
  cinfo.Y_density = static_cast<UINT16>(ydpi);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    img.fill(static_cast<int>(cinfo.next_scanline), line.data());
    JSAMPROW row = line.data();
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string result(reinterpret_cast<const char *>(out), out_size);
  free(out);
  return result;
}

bool decode_jpeg(const std::string &data, Image &img) {
  img = Image{};
  jpeg_decompress_struct cinfo;
  JpegError err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.emit_message = jpeg_silent;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    img = Image{};
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(data.data()),
               static_cast<unsigned long>(data.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  img.width = static_cast<int>(cinfo.output_width);
  img.height = static_cast<int>(cinfo.output_height);
  img.channels = cinfo.output_components;
  const size_t stride = static_cast<size_t>(img.width) * img.channels;
  img.pixels.resize(stride * img.height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = img.pixels.data() + cinfo.output_scanline * stride;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

namespace {

void png_append(png_structp png, png_bytep data, png_size_t length) {
  auto *out = static_cast<std::string *>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char *>(data), length);
}

void png_no_flush(png_structp) {}

struct PngSource {
  const std::string *data;
  size_t pos;
};

void png_take(png_structp png, png_bytep dst, png_size_t length) {
  auto *src = static_cast<PngSource *>(png_get_io_ptr(png));
  if (src->data->size() - src->pos < length) png_error(png, "truncated");
  std::memcpy(dst, src->data->data() + src->pos, length);
  src->pos += length;
}

void png_quiet(png_structp, png_const_charp) {}

}  // namespace

std::string encode_png(const RowSource &img, int xdpi, int ydpi) {
  std::string out;
  std::vector<uint8_t> line(static_cast<size_t>(img.width) * img.channels);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return {};
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, png_append, png_no_flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width),
               static_cast<png_uint_32>(img.height), 8,
               img.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, static_cast<png_uint_32>(xdpi * kInchesPerMetre + 0.5),
               static_cast<png_uint_32>(ydpi * kInchesPerMetre + 0.5), PNG_RESOLUTION_METER);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  for (int y = 0; y < img.height; ++y) {
    img.fill(y, line.data());
    png_write_row(png, line.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool decode_png(const std::string &data, Image &img) {
  img = Image{};
  if (data.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(data.data()), 0, 8) != 0)
    return false;
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_quiet, png_quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  PngSource src{&data, 0};
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    img = Image{};
    return false;
  }
  png_set_read_fn(png, &src, png_take);
  png_read_info(png, info);
  // Whatever the stored form, hand out 8-bit grey or RGB.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_read_update_info(png, info);
  img.width = static_cast<int>(png_get_image_width(png, info));
  img.height = static_cast<int>(png_get_image_height(png, info));
  img.channels = png_get_channels(png, info);
  const size_t stride = png_get_rowbytes(png, info);
  img.pixels.resize(stride * img.height);
  for (int y = 0; y < img.height; ++y) png_read_row(png, img.pixels.data() + y * stride, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace escl_sim
