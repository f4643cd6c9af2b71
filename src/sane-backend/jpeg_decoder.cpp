// JPEG through libjpeg with a suspending data source: when the bytes run
// out, the source says so and the library returns with its position kept,
// to resume once more bytes have been fed.
#include <limits.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include <vector>

#include "debug_log.h"
#include "image_decoder.h"

namespace bbescl {

namespace {

// Warnings about the markers around the image (an unknown JFIF revision, a
// colour profile that does not parse): its pixels are as sent.  Every
// other warning says the entropy data is wrong from some point on.
bool harms_pixels(int code) {
  return code != JWRN_ADOBE_XFORM && code != JWRN_JFIF_MAJOR && code != JWRN_BOGUS_ICC &&
         code != JWRN_TOO_MUCH_DATA;
}

// Errors that say the image asks too much of this decoder, not that its
// data is wrong.
bool refusal_error(int code) {
  return code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_SOF_UNSUPPORTED ||
         code == JERR_NOTIMPL || code == JERR_ARITH_NOTIMPL;
}

class JpegDecoder final : public ImageDecoder {
 public:
  explicit JpegDecoder(const PageBound &bound) : bound_(bound) {
    cinfo_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = &JpegDecoder::on_error;
    errors_.pub.emit_message = &JpegDecoder::on_message;
    jpeg_create_decompress(&cinfo_);
    // Without a backing store, an image buffer beyond this is an error
    // ("Backing store not supported") rather than an allocation; 0 would
    // mean no limit.
    cinfo_.mem->max_memory_to_use =
        bound.max_memory == 0 ? 1 : static_cast<long>(bound.max_memory > LONG_MAX ? LONG_MAX : bound.max_memory);
    source_.pub.init_source = [](j_decompress_ptr) {};
    source_.pub.fill_input_buffer = [](j_decompress_ptr) -> boolean { return FALSE; };  // suspend
    source_.pub.skip_input_data = &JpegDecoder::skip_input_data;
    source_.pub.resync_to_restart = jpeg_resync_to_restart;
    source_.pub.term_source = [](j_decompress_ptr) {};
    source_.pub.next_input_byte = nullptr;
    source_.pub.bytes_in_buffer = 0;
    cinfo_.src = &source_.pub;
  }
  ~JpegDecoder() override { jpeg_destroy_decompress(&cinfo_); }

  void feed(const uint8_t *data, size_t size) override {
    // Bytes a skip asked for before they had arrived go first.
    const size_t skipped = size < source_.skip_pending ? size : source_.skip_pending;
    source_.skip_pending -= skipped;
    data += skipped;
    size -= skipped;
    const size_t keep = source_.pub.bytes_in_buffer;
    if (keep && source_.pub.next_input_byte != buffer_.data())
      memmove(buffer_.data(), source_.pub.next_input_byte, keep);
    buffer_.resize(keep);
    buffer_.insert(buffer_.end(), data, data + size);
    source_.pub.next_input_byte = buffer_.data();
    source_.pub.bytes_in_buffer = buffer_.size();
  }

  void end_of_input() override { input_ended_ = true; }

  DecodeResult read_header() override {
    if (stage_ == Stage::kFailed) return DecodeResult::kError;
    if (stage_ == Stage::kDamaged) return DecodeResult::kDamaged;
    if (stage_ != Stage::kHeader) return DecodeResult::kRow;
    if (setjmp(errors_.jump)) return fail();
    const int result = jpeg_read_header(&cinfo_, TRUE);
    if (result == JPEG_SUSPENDED) {
      if (!input_ended_) return DecodeResult::kNeedData;
      error_ = "the JPEG data ends before its header";
      stage_ = Stage::kFailed;
      return DecodeResult::kError;
    }
    if (result != JPEG_HEADER_OK) {
      error_ = "the JPEG data holds no image";
      stage_ = Stage::kFailed;
      return DecodeResult::kError;
    }
    if (cinfo_.jpeg_color_space == JCS_GRAYSCALE) {
      cinfo_.out_color_space = JCS_GRAYSCALE;
      header_.channels = 1;
    } else if (cinfo_.num_components == 3) {
      cinfo_.out_color_space = JCS_RGB;
      header_.channels = 3;
    } else {
      error_ = "JPEG with " + std::to_string(cinfo_.num_components) + " colour components is not supported";
      stage_ = Stage::kFailed;
      return DecodeResult::kError;
    }
    if (!within_bound(bound_, cinfo_.image_width, cinfo_.image_height)) {
      error_ = oversized_page_message(cinfo_.image_width, cinfo_.image_height, bound_);
      stage_ = Stage::kFailed;
      return DecodeResult::kError;
    }
    header_.width = static_cast<int>(cinfo_.image_width);
    header_.height = static_cast<int>(cinfo_.image_height);
    stage_ = Stage::kStart;
    return DecodeResult::kRow;
  }

  const ImageHeader &header() const override { return header_; }

  // When the data ran out and no more will come, an end marker is added,
  // as libjpeg's own file source does at the end of a file: the entropy
  // decoder needs to see where its data stops to decode the last blocks,
  // and data that stopped short then ends in a warning.
  DecodeResult read_row(uint8_t *row) override {
    DecodeResult r = next_row(row);
    if (r == DecodeResult::kNeedData && input_ended_ && !end_marker_added_) {
      end_marker_added_ = true;
      static const uint8_t kEndOfImage[] = {0xFF, 0xD9};
      feed(kEndOfImage, sizeof kEndOfImage);
      r = next_row(row);
    }
    if (r == DecodeResult::kNeedData && input_ended_) {
      stage_ = Stage::kCutShort;
      return DecodeResult::kTruncated;
    }
    return r;
  }

  size_t buffered_bytes() const override { return buffer_.capacity(); }
  const std::string &error() const override { return error_; }

 private:
  enum class Stage { kHeader, kStart, kRows, kDone, kCutShort, kFailed, kDamaged };

  struct Errors {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];  // the first error or harmful warning
    bool ended_early = false;  // a warning said the data stopped short
    bool corrupt = false;      // a warning said the data is wrong
    bool warned = false;       // a harmless warning was logged
  };
  struct Source {
    jpeg_source_mgr pub;
    size_t skip_pending = 0;
  };

  // The next row, or kNeedData when the data ran out.
  DecodeResult next_row(uint8_t *row) {
    if (stage_ == Stage::kHeader) {
      const DecodeResult h = read_header();
      if (h != DecodeResult::kRow) return h;
    }
    if (stage_ == Stage::kFailed) return DecodeResult::kError;
    if (stage_ == Stage::kDamaged) return DecodeResult::kDamaged;
    if (stage_ == Stage::kDone) return DecodeResult::kEnd;
    if (stage_ == Stage::kCutShort) return DecodeResult::kTruncated;
    if (setjmp(errors_.jump)) return fail();
    if (stage_ == Stage::kStart) {
      if (!jpeg_start_decompress(&cinfo_)) return DecodeResult::kNeedData;
      // A progressive image was read whole here: whatever came after its
      // data went wrong is filler or noise.
      if (errors_.ended_early || errors_.corrupt) return stopped();
      stage_ = Stage::kRows;
    }
    if (cinfo_.output_scanline >= cinfo_.output_height) {
      stage_ = Stage::kDone;
      return DecodeResult::kEnd;
    }
    JSAMPROW rows[1] = {row};
    const JDIMENSION got = jpeg_read_scanlines(&cinfo_, rows, 1);
    // The rows decoded with this one are filler or noise from the point
    // the entropy data ended or went wrong: none of them is handed out.
    if (errors_.ended_early || errors_.corrupt) return stopped();
    return got == 1 ? DecodeResult::kRow : DecodeResult::kNeedData;
  }

  // Data that stopped short because the transfer did (the end marker is
  // ours) is a truncated page; the device's own end marker come too early,
  // or entropy data that does not decode, is a damaged one.
  DecodeResult stopped() {
    error_ = std::string("JPEG data: ") + errors_.message;
    if (errors_.ended_early && !errors_.corrupt && end_marker_added_) {
      stage_ = Stage::kCutShort;
      return DecodeResult::kTruncated;
    }
    stage_ = Stage::kDamaged;
    return DecodeResult::kDamaged;
  }

  DecodeResult fail() {
    error_ = std::string("JPEG data: ") + errors_.message;
    if (refusal_error(errors_.pub.msg_code)) {
      stage_ = Stage::kFailed;
      return DecodeResult::kError;
    }
    stage_ = Stage::kDamaged;
    return DecodeResult::kDamaged;
  }

  static void on_error(j_common_ptr cinfo) {
    Errors *errors = reinterpret_cast<Errors *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    longjmp(errors->jump, 1);
  }
  // Warnings: the library goes on, filling what it could not decode with
  // grey, or decoding noise as if it were the image.  Either way the rest
  // of the page is not what was scanned, so a harmful warning ends it:
  // data that stopped at the end of the image, a segment cut short before
  // its restart marker, stray bytes, codes that are no Huffman code.
  static void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace output
    Errors *errors = reinterpret_cast<Errors *>(cinfo->err);
    ++cinfo->err->num_warnings;
    const int code = cinfo->err->msg_code;
    if (!harms_pixels(code)) {
      if (errors->warned) return;
      errors->warned = true;
      char text[JMSG_LENGTH_MAX];
      (*cinfo->err->format_message)(cinfo, text);
      BBESCL_LOG(kLogInfo, "the page's JPEG headers are odd (%s); decoding goes on", text);
      return;
    }
    if (!errors->ended_early && !errors->corrupt) (*cinfo->err->format_message)(cinfo, errors->message);
    const bool at_end = reinterpret_cast<j_decompress_ptr>(cinfo)->unread_marker == JPEG_EOI;
    if ((code == JWRN_HIT_MARKER && at_end) || code == JWRN_JPEG_EOF)
      errors->ended_early = true;
    else
      errors->corrupt = true;
  }

  static void skip_input_data(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    Source *source = reinterpret_cast<Source *>(cinfo->src);
    const size_t wanted = static_cast<size_t>(count);
    if (wanted <= source->pub.bytes_in_buffer) {
      source->pub.next_input_byte += wanted;
      source->pub.bytes_in_buffer -= wanted;
    } else {
      source->skip_pending += wanted - source->pub.bytes_in_buffer;
      source->pub.next_input_byte += source->pub.bytes_in_buffer;
      source->pub.bytes_in_buffer = 0;
    }
  }

  PageBound bound_;
  jpeg_decompress_struct cinfo_{};
  Errors errors_{};
  Source source_{};
  std::vector<uint8_t> buffer_;
  Stage stage_ = Stage::kHeader;
  bool input_ended_ = false;
  bool end_marker_added_ = false;
  ImageHeader header_;
  std::string error_;
};

}  // namespace

std::unique_ptr<ImageDecoder> make_jpeg_decoder(const PageBound &bound) {
  return std::make_unique<JpegDecoder>(bound);
}

}  // namespace bbescl
