// Arbitrary bytes as the page a device sends, read the way the backend
// reads one: the header against the page bound, a frame cropped from the
// image, rows handed out until the end or an error.  A prefix chooses the
// source's area, the resolution, the frame, how the bytes are chunked and
// whether the transfer breaks after them.  Checked: a page within its
// bound, never more bytes than the frame promises, whole rows before an
// error, results from the allowed set, and a reason for every error.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bb_escl.h"
#include "page_bound.h"
#include "page_reader.h"

namespace {

constexpr size_t kPrefix = 8;

// The page's bytes in chunks of one size, then the end of the body or a
// failed transfer.
class FuzzChunks final : public bbescl::ChunkSource {
 public:
  FuzzChunks(const uint8_t *data, size_t size, size_t chunk, bool breaks)
      : data_(data), size_(size), chunk_(chunk), breaks_(breaks) {}

  Result next_chunk(const uint8_t **data, size_t *size) override {
    if (pos_ == size_) return breaks_ ? Result::kError : Result::kEnd;
    *size = size_ - pos_ < chunk_ ? size_ - pos_ : chunk_;
    *data = data_ + pos_;
    pos_ += *size;
    return Result::kData;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t chunk_;
  bool breaks_;
  size_t pos_ = 0;
};

int32_t word(const uint8_t *p) {
  uint32_t v = 0;
  memcpy(&v, p, sizeof v);
  return static_cast<int32_t>(v);
}

// The bound's arithmetic on any numbers a device could publish.
void check_bound_arithmetic(const uint8_t *p) {
  const SANE_Fixed w = word(p), h = word(p + 4);
  const int dpi = word(p) ^ word(p + 4);
  const bbescl::PageBound b = bbescl::page_bound(w, h, dpi);
  const bool nothing = w <= 0 || h <= 0 || dpi <= 0;
  if (b.max_width < 0 || b.max_height < 0) abort();
  if (nothing != (b.max_width == 0) || nothing != (b.max_height == 0)) abort();
  if (!nothing && b.max_memory < static_cast<size_t>(b.max_width)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  check_bound_arithmetic(data);

  static const int kModes[] = {BB_MODE_LINEART, BB_MODE_GRAY, BB_MODE_COLOR, BB_MODE_COLOR};
  static const int kDpi[] = {0, 10, 25, 50, 75, 100, 150, 300};
  const int mode = kModes[data[0] & 3];
  const int dpi = kDpi[(data[0] >> 2) & 7];
  const bool breaks = data[0] & 0x20;
  const size_t chunk = 1 + static_cast<size_t>(data[1]) * 7;
  const bbescl::PageBound bound = bbescl::page_bound(SANE_FIX(data[2]), SANE_FIX(data[3]), dpi);
  const uint8_t crop_x = data[4], crop_y = data[5];
  const int max_len = 1 + data[6] * 61;
  const int threshold = data[7];
  bbescl::Adjustments adjust;
  adjust.brightness = static_cast<int8_t>(data[7]) % 101;
  adjust.negative = data[5] & 1;
  data += kPrefix;
  size -= kPrefix;

  FuzzChunks chunks(data, size, chunk, breaks);
  bbescl::PageReader reader(chunks, nullptr, bound);
  const SANE_Status header = reader.read_header();
  if (header == SANE_STATUS_IO_ERROR) {
    if (reader.error().empty()) abort();
    return 0;
  }
  if (header != SANE_STATUS_GOOD) abort();
  const bbescl::ImageHeader &image = reader.image();
  if (image.width <= 0 || image.height <= 0 || !bbescl::within_bound(bound, image.width, image.height)) abort();
  if (image.channels != 1 && image.channels != 3) abort();

  // A frame within the image, as the scan area's crop gives.
  bbescl::Crop crop;
  crop.x0 = static_cast<int>(static_cast<int64_t>(image.width) * (crop_x & 15) / 16);
  crop.y0 = static_cast<int>(static_cast<int64_t>(image.height) * (crop_y & 15) / 16);
  crop.width = static_cast<int>(static_cast<int64_t>(image.width - crop.x0) * ((crop_x >> 4) + 1) / 16);
  crop.height = static_cast<int>(static_cast<int64_t>(image.height - crop.y0) * ((crop_y >> 4) + 1) / 16);
  if (crop.width <= 0 || crop.height <= 0) return 0;
  const int bytes_per_line = bbescl::frame_bytes_per_line(mode, crop.width);
  reader.set_frame(crop, {mode, crop.width, bytes_per_line}, threshold, adjust);

  const uint64_t promised = static_cast<uint64_t>(bytes_per_line) * static_cast<uint64_t>(crop.height);
  std::vector<uint8_t> buffer(static_cast<size_t>(max_len));
  uint64_t delivered = 0;
  SANE_Status status = SANE_STATUS_GOOD;
  while (status == SANE_STATUS_GOOD) {
    int len = -1;
    status = reader.read(buffer.data(), max_len, &len);
    if (len < 0 || len > max_len) abort();
    if (status == SANE_STATUS_GOOD && len == 0) abort();  // no progress
    if (status != SANE_STATUS_GOOD && len != 0) abort();
    delivered += static_cast<uint64_t>(len);
    if (delivered > promised) abort();
  }

  int len = -1;
  switch (status) {
    case SANE_STATUS_EOF:
      if (delivered != promised) abort();
      if (reader.read(buffer.data(), max_len, &len) != SANE_STATUS_EOF || len != 0) abort();
      if (reader.drain() != SANE_STATUS_GOOD && reader.error().empty()) abort();
      break;
    case SANE_STATUS_IO_ERROR:
      // What was handed out is whole rows; the error stays.
      if (reader.error().empty() || delivered % static_cast<uint64_t>(bytes_per_line) != 0) abort();
      if (reader.read(buffer.data(), max_len, &len) != SANE_STATUS_IO_ERROR || len != 0) abort();
      break;
    default:
      abort();
  }
  return 0;
}
