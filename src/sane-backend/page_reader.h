// One page, from the scanner's bytes to SANE frame rows: takes chunks as
// the device sends them, tells the format from the first bytes, refuses a
// page larger than its bound, decodes incrementally and hands out exactly
// the rows of the frame it promised, or the rows that arrived and an error.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <sane/sane.h>

#include "frame_rows.h"
#include "image_decoder.h"
#include "page_bound.h"
#include "scan_area.h"

namespace bbescl {

// Where a page's bytes come from: the plug-in's image buffer, or a script.
class ChunkSource {
 public:
  enum class Result { kData, kEnd, kError };
  virtual ~ChunkSource() = default;
  // The next chunk; `data` stays valid until the next call.
  virtual Result next_chunk(const uint8_t **data, size_t *size) = 0;
  // The media type the device gave the page's data, once the first chunk
  // was asked for; empty when it gave none.
  virtual std::string content_type() const { return std::string(); }
};

// Failures the user must hear of whatever the debug level, because only
// they can act on them: a device that sends damaged pages (a bad link, a
// faulty device) or pages in a format this backend cannot decode (another
// transfer-format may do).
enum class PageFault { kNone, kDamaged, kUndecodable };

class PageReader {
 public:
  // `cancel` is polled before each chunk is fetched; may be null.  A page
  // whose header declares more than `bound` is refused.
  PageReader(ChunkSource &source, const std::atomic<bool> *cancel, const PageBound &bound);

  // Fetches chunks until the image header is decoded.  GOOD, CANCELLED or
  // IO_ERROR (the reason in error(), an oversized, damaged or undecodable
  // page among them).
  SANE_Status read_header();
  const ImageHeader &image() const { return decoder_->header(); }
  ImageFormat format() const { return format_; }

  // The frame to deliver: `crop` of the decoded image, laid out as `layout`,
  // its levels adjusted by `adjust`; lineart black below `threshold`.
  void set_frame(const Crop &crop, const FrameLayout &layout, int threshold, const Adjustments &adjust);

  // Up to `max_len` bytes of frame rows.  GOOD with *len > 0, EOF once every
  // promised row was handed out, CANCELLED or IO_ERROR: damaged data, a
  // failed transfer, or data that ended before the frame's last row, each
  // after the whole rows that arrived were handed out.  Whole rows are made
  // in `buffer` itself, as many as fit; only when `max_len` is less than a
  // row are rows made in a buffer of the reader's and handed out in parts.
  SANE_Status read(uint8_t *buffer, int max_len, int *len);

  // Reads the rest of the page's data, undecoded, to the end of the body.
  SANE_Status drain();

  const std::string &error() const { return error_; }
  PageFault fault() const { return fault_; }
  // Most bytes the decoder held at once.
  size_t peak_buffered() const { return peak_buffered_; }

 private:
  SANE_Status fetch();
  SANE_Status start_decoder(const uint8_t *data, size_t size);
  SANE_Status next_decoded_row(uint8_t *row);
  SANE_Status produce_frame_row(uint8_t *target);
  SANE_Status fail(const std::string &why);
  std::string rows_arrived() const;

  ChunkSource &source_;
  const std::atomic<bool> *cancel_;
  PageBound bound_;
  ImageFormat format_ = ImageFormat::kUnknown;
  std::unique_ptr<ImageDecoder> decoder_;
  std::vector<uint8_t> sniffed_;  // first bytes, until the format is known
  bool source_ended_ = false;
  std::string error_;
  PageFault fault_ = PageFault::kNone;

  Crop crop_;
  std::unique_ptr<RowConverter> converter_;
  bool in_place_ = false;  // rows are decoded where the frame row goes
  std::vector<uint8_t> decoded_row_;
  std::vector<uint8_t> frame_row_;  // a row split across reads
  size_t frame_pos_ = 0;  // bytes of frame_row_ already handed out
  int rows_done_ = 0;     // frame rows produced
  int decoded_rows_ = 0;  // decoded rows consumed
  size_t peak_buffered_ = 0;
  SANE_Status deferred_ = SANE_STATUS_GOOD;  // the error that ended the frame
};

}  // namespace bbescl
