#include "image_codec.h"

// jpeglib.h needs FILE and size_t declared first.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

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

namespace {

// The rows of an image after png_write_info: libpng takes every row once
// per Adam7 pass and picks that pass's pixels, so the rows are rendered
// again for each. Apart from encode_png so that nothing here lives across
// its setjmp.
void write_png_rows(png_structp png, const RowSource &img, bool one_bit, bool interlaced) {
  std::vector<uint8_t> line(static_cast<size_t>(img.width) * img.channels);
  std::vector<uint8_t> packed(one_bit ? (static_cast<size_t>(img.width) + 7) / 8 : 0);
  const int passes = interlaced ? png_set_interlace_handling(png) : 1;
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < img.height; ++y) {
      img.fill(y, line.data());
      if (!one_bit) {
        png_write_row(png, line.data());
        continue;
      }
      // Grey 1-bit: a set bit is white, the leftmost pixel the high bit.
      std::fill(packed.begin(), packed.end(), 0);
      for (int x = 0; x < img.width; ++x)
        if (line[static_cast<size_t>(x)] >= 128)
          packed[static_cast<size_t>(x) / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      png_write_row(png, packed.data());
    }
  }
}

}  // namespace

std::string encode_png(const RowSource &img, int xdpi, int ydpi, PngShape shape) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return {};
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, png_append, png_no_flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width),
               static_cast<png_uint_32>(img.height), shape.one_bit && img.channels == 1 ? 1 : 8,
               img.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               shape.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, static_cast<png_uint_32>(xdpi * kInchesPerMetre + 0.5),
               static_cast<png_uint_32>(ydpi * kInchesPerMetre + 0.5), PNG_RESOLUTION_METER);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  write_png_rows(png, img, shape.one_bit && img.channels == 1, shape.interlaced);
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
  // Each row is read once per pass, the passes filling in its pixels.
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  img.width = static_cast<int>(png_get_image_width(png, info));
  img.height = static_cast<int>(png_get_image_height(png, info));
  img.channels = png_get_channels(png, info);
  const size_t stride = png_get_rowbytes(png, info);
  img.pixels.resize(stride * img.height);
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < img.height; ++y) png_read_row(png, img.pixels.data() + y * stride, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

namespace {

uint32_t big_endian(const std::string &data, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(data[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(data[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(data[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3]));
}

}  // namespace

std::string wrap_in_pdf(const std::string &jpeg, int width, int height, int channels, int xdpi, int ydpi) {
  // The page is the scanned area: pixels at the scan resolution, in points.
  const double page_w = width * 72.0 / xdpi;
  const double page_h = height * 72.0 / ydpi;
  char text[256];
  std::snprintf(text, sizeof text, "q %.2f 0 0 %.2f 0 0 cm /Im0 Do Q\n", page_w, page_h);
  const std::string content = text;
  std::vector<std::string> objects;
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
  std::snprintf(text, sizeof text,
                "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Resources << /XObject << /Im0 4 0 R >> >> "
                "/Contents 5 0 R >>",
                page_w, page_h);
  objects.push_back(text);
  std::snprintf(text, sizeof text,
                "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /%s /BitsPerComponent 8 "
                "/Filter /DCTDecode /Length %zu >>\nstream\n",
                width, height, channels == 3 ? "DeviceRGB" : "DeviceGray", jpeg.size());
  objects.push_back(text + jpeg + "\nendstream");
  objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream");
  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t off : offsets) {
    std::snprintf(text, sizeof text, "%010zu 00000 n \n", off);
    pdf += text;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

bool damage_jpeg(std::string &jpeg, uint64_t seed) {
  // The entropy-coded data runs from the end of the (first) SOS segment to
  // the EOI marker at the end of a baseline file.
  size_t pos = 2;
  size_t data_start = 0;
  while (pos + 4 <= jpeg.size()) {
    if (static_cast<uint8_t>(jpeg[pos]) != 0xFF) return false;
    const uint8_t marker = static_cast<uint8_t>(jpeg[pos + 1]);
    const size_t length = static_cast<size_t>(static_cast<uint8_t>(jpeg[pos + 2])) << 8 |
                          static_cast<uint8_t>(jpeg[pos + 3]);
    if (marker == 0xDA) {
      data_start = pos + 2 + length;
      break;
    }
    pos += 2 + length;
  }
  if (data_start == 0 || jpeg.size() < data_start + 2 ||
      static_cast<uint8_t>(jpeg[jpeg.size() - 2]) != 0xFF || static_cast<uint8_t>(jpeg[jpeg.size() - 1]) != 0xD9)
    return false;
  const size_t data_size = jpeg.size() - 2 - data_start;
  if (data_size < 3) return false;
  uint64_t x = seed | 1;
  size_t from = data_start + data_size / 3;
  // The 00 of a stuffed FF 00 pair stays, so that no marker appears.
  if (static_cast<uint8_t>(jpeg[from - 1]) == 0xFF) ++from;
  for (size_t i = from; i < data_start + 2 * data_size / 3; ++i) {
    // xorshift noise; 0xFF would start a marker, so it never appears.
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    jpeg[i] = static_cast<char>(static_cast<uint8_t>(x % 0xFF));
  }
  return true;
}

bool damage_png(std::string &png) {
  // Chunks after the 8-byte signature: length, type, data, CRC.
  size_t pos = 8;
  while (pos + 12 <= png.size()) {
    const uint32_t length = big_endian(png, pos);
    if (png.size() - pos - 12 < length) return false;
    if (png.compare(pos + 4, 4, "IDAT") == 0 && length > 0) {
      png[pos + 8 + length / 2] = static_cast<char>(png[pos + 8 + length / 2] ^ 0x55);
      return true;
    }
    pos += 12 + length;
  }
  return false;
}

}  // namespace escl_sim
