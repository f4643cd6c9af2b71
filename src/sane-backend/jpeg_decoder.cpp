// JPEG through libjpeg with a suspending data source: when the bytes run
// out, the source says so and the library returns with its position kept,
// to resume once more bytes have been fed.
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>

#include <vector>

#include "image_decoder.h"

namespace bbescl {

namespace {

class JpegDecoder final : public ImageDecoder {
 public:
  JpegDecoder() {
    cinfo_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = &JpegDecoder::on_error;
    errors_.pub.output_message = &JpegDecoder::on_message;
    jpeg_create_decompress(&cinfo_);
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
    header_.width = static_cast<int>(cinfo_.image_width);
    header_.height = static_cast<int>(cinfo_.image_height);
    stage_ = Stage::kStart;
    return DecodeResult::kRow;
  }

  const ImageHeader &header() const override { return header_; }

  DecodeResult read_row(uint8_t *row) override {
    if (stage_ == Stage::kHeader) {
      const DecodeResult h = read_header();
      if (h != DecodeResult::kRow) return h;
    }
    if (stage_ == Stage::kFailed) return DecodeResult::kError;
    if (stage_ == Stage::kDone) return DecodeResult::kEnd;
    if (setjmp(errors_.jump)) return fail();
    if (stage_ == Stage::kStart) {
      if (!jpeg_start_decompress(&cinfo_)) return starved();
      stage_ = Stage::kRows;
    }
    if (cinfo_.output_scanline >= cinfo_.output_height) {
      stage_ = Stage::kDone;
      return DecodeResult::kEnd;
    }
    JSAMPROW rows[1] = {row};
    if (jpeg_read_scanlines(&cinfo_, rows, 1) != 1) return starved();
    return DecodeResult::kRow;
  }

  size_t buffered_bytes() const override { return buffer_.capacity(); }
  const std::string &error() const override { return error_; }

 private:
  enum class Stage { kHeader, kStart, kRows, kDone, kFailed };

  struct Errors {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
  };
  struct Source {
    jpeg_source_mgr pub;
    size_t skip_pending = 0;
  };

  // The data ran out: wait for more, or stop with the rows already given
  // when no more will come (the page is padded by the reader).
  DecodeResult starved() {
    if (!input_ended_) return DecodeResult::kNeedData;
    stage_ = Stage::kDone;
    return DecodeResult::kEnd;
  }

  DecodeResult fail() {
    error_ = std::string("JPEG data: ") + errors_.message;
    stage_ = Stage::kFailed;
    return DecodeResult::kError;
  }

  static void on_error(j_common_ptr cinfo) {
    Errors *errors = reinterpret_cast<Errors *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    longjmp(errors->jump, 1);
  }
  static void on_message(j_common_ptr) {}  // warnings: the rows still come

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

  jpeg_decompress_struct cinfo_{};
  Errors errors_{};
  Source source_{};
  std::vector<uint8_t> buffer_;
  Stage stage_ = Stage::kHeader;
  bool input_ended_ = false;
  ImageHeader header_;
  std::string error_;
};

}  // namespace

std::unique_ptr<ImageDecoder> make_jpeg_decoder() { return std::make_unique<JpegDecoder>(); }

}  // namespace bbescl
