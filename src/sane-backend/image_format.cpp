#include "image_decoder.h"

#include <string.h>

namespace bbescl {

ImageFormat sniff_format(const uint8_t *data, size_t size) {
  static const uint8_t kJpegMagic[] = {0xFF, 0xD8, 0xFF};
  static const uint8_t kPngMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= sizeof kJpegMagic && memcmp(data, kJpegMagic, sizeof kJpegMagic) == 0)
    return ImageFormat::kJpeg;
  if (size >= sizeof kPngMagic && memcmp(data, kPngMagic, sizeof kPngMagic) == 0)
    return ImageFormat::kPng;
  return ImageFormat::kUnknown;
}

const char *format_name(ImageFormat format) {
  switch (format) {
    case ImageFormat::kJpeg: return "JPEG";
    case ImageFormat::kPng: return "PNG";
    default: return "unknown";
  }
}

std::unique_ptr<ImageDecoder> make_decoder(ImageFormat format, const PageBound &bound) {
  switch (format) {
    case ImageFormat::kJpeg: return make_jpeg_decoder(bound);
    case ImageFormat::kPng: return make_png_decoder(bound);
    default: return nullptr;
  }
}

}  // namespace bbescl
