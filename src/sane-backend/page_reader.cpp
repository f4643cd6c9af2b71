#include "page_reader.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "debug_log.h"

namespace bbescl {

namespace {
// Room beyond the uncompressed size of the largest page: headers, PNG and
// JPEG overhead.
constexpr uint64_t kDrainSlackBytes = 1u << 20;

// The device's own name for the data, for the user: printable ASCII only,
// as a device may send anything there.
std::string printable(const std::string &text) {
  std::string out;
  for (const char c : text) out += c > ' ' && c < 0x7F ? c : '?';
  return out;
}
}  // namespace

PageReader::PageReader(ChunkSource &source, const std::atomic<bool> *cancel, const PageBound &bound)
    : source_(source), cancel_(cancel), bound_(bound) {}

SANE_Status PageReader::fail(const std::string &why) {
  error_ = why;
  return SANE_STATUS_IO_ERROR;
}

SANE_Status PageReader::start_decoder(const uint8_t *data, size_t size) {
  format_ = sniff_format(data, size);
  decoder_ = make_decoder(format_, bound_);
  if (!decoder_) {
    // Told by the data itself: a device may label a page wrongly, or not
    // at all.  The label is what the user can match against the formats
    // the device lists, so the message names it.
    std::string first;
    for (size_t i = 0; i < std::min(size, kSniffBytes); ++i) {
      char hex[4];
      snprintf(hex, sizeof hex, i ? " %02X" : "%02X", data[i]);
      first += hex;
    }
    const std::string type = printable(source_.content_type());
    fault_ = PageFault::kUndecodable;
    return fail((type.empty() ? std::string("the device sent the page with no content type, in a form")
                              : "the device sent the page as " + type + ", which") +
                " this backend cannot decode (it begins " + first + "); choose another transfer-format");
  }
  BBESCL_LOG(kLogInfo, "the page is %s", format_name(format_));
  decoder_->feed(data, size);
  return SANE_STATUS_GOOD;
}

SANE_Status PageReader::fetch() {
  if (cancel_ && cancel_->load(std::memory_order_relaxed)) return SANE_STATUS_CANCELLED;
  if (source_ended_) return fail("the page data ended");
  const uint8_t *data = nullptr;
  size_t size = 0;
  switch (source_.next_chunk(&data, &size)) {
    case ChunkSource::Result::kError:
      return fail("reading the page data from the device failed");
    case ChunkSource::Result::kEnd:
      source_ended_ = true;
      if (!decoder_) {
        if (sniffed_.empty()) return fail("the device sent an empty page");
        const SANE_Status s = start_decoder(sniffed_.data(), sniffed_.size());
        if (s != SANE_STATUS_GOOD) return s;
      }
      decoder_->end_of_input();
      return SANE_STATUS_GOOD;
    case ChunkSource::Result::kData:
      break;
  }
  if (decoder_) {
    decoder_->feed(data, size);
  } else if (sniffed_.empty() && size >= kSniffBytes) {
    const SANE_Status s = start_decoder(data, size);
    if (s != SANE_STATUS_GOOD) return s;
  } else {
    // The first chunks may be tiny: gather enough to tell the format.
    sniffed_.insert(sniffed_.end(), data, data + size);
    if (sniffed_.size() >= kSniffBytes) {
      const SANE_Status s = start_decoder(sniffed_.data(), sniffed_.size());
      sniffed_.clear();
      sniffed_.shrink_to_fit();
      if (s != SANE_STATUS_GOOD) return s;
    }
  }
  if (decoder_) peak_buffered_ = std::max(peak_buffered_, decoder_->buffered_bytes());
  return SANE_STATUS_GOOD;
}

SANE_Status PageReader::read_header() {
  for (;;) {
    if (decoder_) {
      switch (decoder_->read_header()) {
        case DecodeResult::kRow: {
          const ImageHeader &h = decoder_->header();
          if (h.width <= 0 || h.height <= 0) return fail("the page has no pixels");
          BBESCL_LOG(kLogInfo, "page of %d x %d pixels, %d channel(s)", h.width, h.height, h.channels);
          decoded_row_.resize(static_cast<size_t>(h.width) * h.channels);
          return SANE_STATUS_GOOD;
        }
        case DecodeResult::kError:
          return fail(decoder_->error());
        case DecodeResult::kDamaged:
          fault_ = PageFault::kDamaged;
          return fail("the device sent a damaged page: " + decoder_->error());
        case DecodeResult::kEnd:
        case DecodeResult::kTruncated:
          return fail("the page ended before its header");
        case DecodeResult::kNeedData:
          break;
      }
    }
    const SANE_Status s = fetch();
    if (s != SANE_STATUS_GOOD) return s;
  }
}

void PageReader::set_frame(const Crop &crop, const FrameLayout &layout, int threshold, const Adjustments &adjust) {
  crop_ = crop;
  const ImageHeader &h = decoder_->header();
  converter_ = std::make_unique<RowConverter>(layout, h.channels, crop.x0, threshold, tone_table(adjust));
  in_place_ = converter_->converts_in_place(h.width);
  frame_row_.assign(static_cast<size_t>(layout.bytes_per_line), 0);
  frame_pos_ = frame_row_.size();  // nothing produced yet
  rows_done_ = 0;
}

std::string PageReader::rows_arrived() const {
  return std::to_string(decoded_rows_) + " of " + std::to_string(decoder_->header().height) + " rows";
}

// The frame lies within the image, so every row asked for was announced:
// an image that ends before it was cut short, and what the frame still
// lacks is never made up.
SANE_Status PageReader::next_decoded_row(uint8_t *row) {
  for (;;) {
    switch (decoder_->read_row(row)) {
      case DecodeResult::kRow:
        ++decoded_rows_;
        return SANE_STATUS_GOOD;
      case DecodeResult::kEnd:
      case DecodeResult::kTruncated: {
        const std::string &detail = decoder_->error();
        return fail("the page data ended after " + rows_arrived() + (detail.empty() ? "" : ": " + detail));
      }
      case DecodeResult::kError:
        return fail(decoder_->error() + " (" + rows_arrived() + " had arrived)");
      case DecodeResult::kDamaged:
        fault_ = PageFault::kDamaged;
        return fail("the device sent a damaged page: " + decoder_->error() + " (" + rows_arrived() +
                    " had arrived)");
      case DecodeResult::kNeedData: {
        const SANE_Status s = fetch();
        if (s == SANE_STATUS_IO_ERROR) error_ += " after " + rows_arrived();
        if (s != SANE_STATUS_GOOD) return s;
        break;
      }
    }
  }
}

// A frame row into `target`, bytes_per_line long.  A row decoded where it
// goes saves a copy of every row of a page that needs no conversion; a
// row it failed on holds filler there, never counted as handed out.
SANE_Status PageReader::produce_frame_row(uint8_t *target) {
  while (decoded_rows_ < crop_.y0) {
    const SANE_Status s = next_decoded_row(decoded_row_.data());
    if (s != SANE_STATUS_GOOD) return s;
  }
  if (in_place_) {
    const SANE_Status s = next_decoded_row(target);
    if (s != SANE_STATUS_GOOD) return s;
    converter_->adjust_in_place(target);
  } else {
    const SANE_Status s = next_decoded_row(decoded_row_.data());
    if (s != SANE_STATUS_GOOD) return s;
    converter_->convert(decoded_row_.data(), target);
  }
  ++rows_done_;
  return SANE_STATUS_GOOD;
}

SANE_Status PageReader::read(uint8_t *buffer, int max_len, int *len) {
  *len = 0;
  if (deferred_ != SANE_STATUS_GOOD) return deferred_;
  const size_t row_bytes = frame_row_.size();
  size_t done = 0;
  const size_t wanted = max_len > 0 ? static_cast<size_t>(max_len) : 0;
  while (done < wanted) {
    if (frame_pos_ == row_bytes) {
      if (rows_done_ == crop_.height) break;
      // A whole row goes straight into the caller's buffer.  Where the next
      // row no longer fits, the read ends short rather than split it; only
      // a buffer smaller than one row has rows made aside and handed out in
      // parts.
      const bool whole = wanted - done >= row_bytes;
      if (!whole && done > 0) break;
      const SANE_Status s = produce_frame_row(whole ? buffer + done : frame_row_.data());
      if (s != SANE_STATUS_GOOD) {
        // The rows already made go out first; the error stays for every
        // later read, the source no longer asked.
        deferred_ = s;
        if (done == 0) return s;
        break;
      }
      if (whole) {
        done += row_bytes;
        continue;
      }
      frame_pos_ = 0;
    }
    const size_t n = std::min(row_bytes - frame_pos_, wanted - done);
    memcpy(buffer + done, frame_row_.data() + frame_pos_, n);
    frame_pos_ += n;
    done += n;
  }
  *len = static_cast<int>(done);
  const bool page_done = rows_done_ == crop_.height && frame_pos_ == row_bytes;
  return done == 0 && page_done ? SANE_STATUS_EOF : SANE_STATUS_GOOD;
}

SANE_Status PageReader::drain() {
  // After the frame's last row the device may still send the rest of a
  // larger page (one that ignores the region sends its whole area), but
  // never more than a page of the source's largest area could take
  // uncompressed: a device that sends without end cannot hold the scan.
  const uint64_t raw = static_cast<uint64_t>(bound_.max_width) * static_cast<uint64_t>(bound_.max_height) * 3;
  const uint64_t limit = raw + kDrainSlackBytes;
  uint64_t drained = 0;
  while (!source_ended_) {
    if (cancel_ && cancel_->load(std::memory_order_relaxed)) return SANE_STATUS_CANCELLED;
    const uint8_t *data = nullptr;
    size_t size = 0;
    switch (source_.next_chunk(&data, &size)) {
      case ChunkSource::Result::kData: drained += size; break;
      case ChunkSource::Result::kEnd: source_ended_ = true; break;
      case ChunkSource::Result::kError: return fail("reading the end of the page data failed");
    }
    if (drained > limit)
      return fail("the device sent " + std::to_string(drained) +
                  " bytes after the page's last row, more than a page of its largest area holds");
  }
  return SANE_STATUS_GOOD;
}

}  // namespace bbescl
