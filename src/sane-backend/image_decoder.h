// Incremental decoding of the page data a scanner sends: bytes go in as
// they arrive, rows come out one at a time, so memory stays bounded by a
// few rows plus the data not yet decoded (a progressive JPEG: its
// coefficients; an interlaced PNG: the whole page), and by the page bound
// whatever the header declares.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "page_bound.h"

namespace bbescl {

enum class ImageFormat { kUnknown, kJpeg, kPng };

// The format named by the first bytes of the data; kUnknown also when too
// few bytes are there to tell (see kSniffBytes).
ImageFormat sniff_format(const uint8_t *data, size_t size);
inline constexpr size_t kSniffBytes = 8;
const char *format_name(ImageFormat format);

struct ImageHeader {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 grey or 3 RGB, 8 bits each (1, 2 and 4-bit grey widened to 8)
};

enum class DecodeResult {
  kRow,       // a row was written
  kNeedData,  // feed more bytes, or call end_of_input()
  kEnd,       // no further row: the image is complete
  kTruncated, // no further row: the data ended before the last row (error() may say more)
  kError,     // the image cannot be decoded here (too large, unsupported); error() says why
  kDamaged,   // the data breaks its format (a bad checksum, corrupt compressed data, a
              // segment cut short): no further row, error() says what was found
};

class ImageDecoder {
 public:
  virtual ~ImageDecoder() = default;
  // Takes a copy of the bytes; the decoder keeps whatever it has not used.
  virtual void feed(const uint8_t *data, size_t size) = 0;
  // No more bytes will come.
  virtual void end_of_input() = 0;
  // Decodes until the header is known; kRow means it is.
  virtual DecodeResult read_header() = 0;
  virtual const ImageHeader &header() const = 0;
  // Writes the next row, width * channels bytes, into `row`.
  virtual DecodeResult read_row(uint8_t *row) = 0;
  // Bytes held but not yet decoded, for the memory bound.
  virtual size_t buffered_bytes() const = 0;
  virtual const std::string &error() const = 0;
};

// A decoder refuses an image larger than `bound` once its header is read,
// and lets its library allocate at most bound.max_memory for the image.
std::unique_ptr<ImageDecoder> make_jpeg_decoder(const PageBound &bound);
std::unique_ptr<ImageDecoder> make_png_decoder(const PageBound &bound);
std::unique_ptr<ImageDecoder> make_decoder(ImageFormat format, const PageBound &bound);

}  // namespace bbescl
