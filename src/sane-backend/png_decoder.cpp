// PNG through libpng's progressive reader: bytes are pushed in small
// slices, and only while no decoded row is waiting, so the rows held at
// once stay few even on data that inflates a thousandfold.
//
// An interlaced (Adam7) page sends every row seven times over, a coarse
// pass first: it is put together in one image of the whole page, within
// the page's memory bound, and its rows go out as the last pass, which
// sends the odd rows whole, makes them final.
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "image_decoder.h"

namespace bbescl {

namespace {

// Compressed bytes pushed at once.
constexpr size_t kSliceSize = 512;
// Ancillary chunks (text, colour profiles) are held whole, and inflated:
// no scanner needs more than this for them.
constexpr png_alloc_size_t kLargestChunk = 4u << 20;
// Adam7's last pass: the odd rows, whole; the even rows were final before it.
constexpr int kLastAdam7Pass = 6;

class PngDecoder final : public ImageDecoder {
 public:
  explicit PngDecoder(const PageBound &bound) : bound_(bound) {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &PngDecoder::on_error,
                                  &PngDecoder::on_warning);
    if (png_) info_ = png_create_info_struct(png_);
    if (!png_ || !info_) {
      error_ = "PNG reader: out of memory";
      failed_ = true;
      return;
    }
    png_set_progressive_read_fn(png_, this, &PngDecoder::on_info, &PngDecoder::on_row,
                                &PngDecoder::on_end);
    // libpng refuses a larger IHDR itself, before allocating any row.
    png_set_user_limits(png_, static_cast<png_uint_32>(bound.max_width), static_cast<png_uint_32>(bound.max_height));
    png_set_chunk_malloc_max(png_, kLargestChunk);
  }
  ~PngDecoder() override {
    png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
    free(image_);
  }

  void feed(const uint8_t *data, size_t size) override {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pending_pos_));
    pending_pos_ = 0;
    pending_.insert(pending_.end(), data, data + size);
  }

  void end_of_input() override { input_ended_ = true; }

  DecodeResult read_header() override {
    while (!header_ready_) {
      if (failed_) return damaged_ ? DecodeResult::kDamaged : DecodeResult::kError;
      if (pending_pos_ < pending_.size()) {
        push_slice();
        continue;
      }
      if (!input_ended_) return DecodeResult::kNeedData;
      error_ = "the PNG data ends before its header";
      failed_ = true;
    }
    return DecodeResult::kRow;
  }

  const ImageHeader &header() const override { return header_; }

  DecodeResult read_row(uint8_t *row) override {
    for (;;) {
      if (failed_) return damaged_ ? DecodeResult::kDamaged : DecodeResult::kError;
      if (image_ && rows_given_ < final_rows_) {
        memcpy(row, image_ + static_cast<size_t>(rows_given_) * row_bytes_, row_bytes_);
        ++rows_given_;
        return DecodeResult::kRow;
      }
      if (queue_head_ < queue_.size()) {
        memcpy(row, queue_.data() + queue_head_, row_bytes_);
        queue_head_ += row_bytes_;
        ++rows_given_;
        if (queue_head_ == queue_.size()) {
          queue_.clear();
          queue_head_ = 0;
        }
        return DecodeResult::kRow;
      }
      if (finished_) return DecodeResult::kEnd;
      if (pending_pos_ < pending_.size()) {
        push_slice();
        continue;
      }
      // Out of data: wait for more; when none will come, every row may
      // still be there with only the image's end missing.
      if (!input_ended_) return DecodeResult::kNeedData;
      return rows_given_ == header_.height ? DecodeResult::kEnd : DecodeResult::kTruncated;
    }
  }

  size_t buffered_bytes() const override { return pending_.capacity() + queue_.capacity() + image_size_; }
  const std::string &error() const override { return error_; }

 private:
  void push_slice() {
    slice_size_ = std::min(kSliceSize, pending_.size() - pending_pos_);
    slice_ = pending_.data() + pending_pos_;
    pending_pos_ += slice_size_;
    // Only members are used past setjmp: locals could be clobbered.
    if (setjmp(png_jmpbuf(png_))) {
      failed_ = true;
      return;
    }
    png_process_data(png_, info_, slice_, slice_size_);
  }

  static PngDecoder *self(png_structp png) { return static_cast<PngDecoder *>(png_get_progressive_ptr(png)); }

  // Whatever libpng itself refuses (a checksum that does not match,
  // deflate data that does not inflate, a chunk out of order) is a page
  // damaged on its way; what this decoder refuses is not.
  static void on_error(png_structp png, png_const_charp message) {
    PngDecoder *d = static_cast<PngDecoder *>(png_get_error_ptr(png));
    // An IHDR beyond the user limits is kept in the info before it is
    // checked: name the declared size rather than "Invalid IHDR data".
    const png_uint_32 width = d->info_ ? png_get_image_width(png, d->info_) : 0;
    const png_uint_32 height = d->info_ ? png_get_image_height(png, d->info_) : 0;
    if (!d->header_ready_ && (width || height) && !within_bound(d->bound_, width, height)) {
      d->error_ = oversized_page_message(width, height, d->bound_);
    } else if (!d->refused_) {
      d->error_ = std::string("PNG data: ") + message;
      d->damaged_ = true;
    }
    png_longjmp(png, 1);
  }

  // Refuses the page for a reason of this decoder's, not the data's.
  [[noreturn]] static void refuse(png_structp png, const char *why) {
    PngDecoder *d = self(png);
    d->error_ = why;
    d->refused_ = true;
    png_error(png, why);
  }
  static void on_warning(png_structp, png_const_charp) {}

  static void on_info(png_structp png, png_infop info) {
    PngDecoder *d = self(png);
    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    if (interlaced) png_set_interlace_handling(png);
    const int colour = png_get_color_type(png, info);
    png_set_strip_16(png);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8)
      png_set_expand_gray_1_2_4_to_8(png);
    png_set_strip_alpha(png);
    if (!within_bound(d->bound_, png_get_image_width(png, info), png_get_image_height(png, info)))
      refuse(png, "the image is larger than its bound");  // named by on_error
    png_read_update_info(png, info);
    d->header_.width = static_cast<int>(png_get_image_width(png, info));
    d->header_.height = static_cast<int>(png_get_image_height(png, info));
    d->header_.channels = png_get_channels(png, info);
    d->row_bytes_ = png_get_rowbytes(png, info);
    if (d->header_.channels != 1 && d->header_.channels != 3)
      refuse(png, "PNG data: unexpected channel count");
    if (interlaced) d->allocate_image(png);
    d->header_ready_ = true;
  }

  void allocate_image(png_structp png) {
    size_t size = 0;
    if (__builtin_mul_overflow(row_bytes_, static_cast<size_t>(header_.height), &size) || size > bound_.max_memory) {
      char why[160];
      snprintf(why, sizeof why, "the interlaced page of %d x %d pixels needs more memory than its bound of %zu bytes",
               header_.width, header_.height, bound_.max_memory);
      refuse(png, why);
    }
    image_ = static_cast<uint8_t *>(calloc(size ? size : 1, 1));
    if (!image_) refuse(png, "PNG data: no memory for the interlaced page");
    image_size_ = size;
  }

  // Interlaced, libpng calls this for every row of every pass, with a null
  // row where the pass has no pixel of it.
  static void on_row(png_structp png, png_bytep row, png_uint_32 row_num, int pass) {
    PngDecoder *d = self(png);
    if (!d->image_) {
      if (row) d->queue_.insert(d->queue_.end(), row, row + d->row_bytes_);
      return;
    }
    if (row_num >= static_cast<png_uint_32>(d->header_.height)) return;
    png_progressive_combine_row(png, d->image_ + static_cast<size_t>(row_num) * d->row_bytes_, row);
    if (pass == kLastAdam7Pass) d->final_rows_ = static_cast<int>(row_num) + 1;
  }

  static void on_end(png_structp png, png_infop) {
    PngDecoder *d = self(png);
    d->finished_ = true;
    d->final_rows_ = d->header_.height;
  }

  PageBound bound_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  std::vector<uint8_t> pending_;  // fed, not yet pushed
  size_t pending_pos_ = 0;
  png_bytep slice_ = nullptr;  // the slice being pushed
  size_t slice_size_ = 0;
  std::vector<uint8_t> queue_;    // decoded rows not yet taken
  size_t queue_head_ = 0;
  size_t row_bytes_ = 0;
  int rows_given_ = 0;
  uint8_t *image_ = nullptr;  // the whole page, when interlaced
  size_t image_size_ = 0;
  int final_rows_ = 0;        // rows of image_ no later pass changes
  bool refused_ = false;  // by this decoder, not for the data's damage
  ImageHeader header_;
  bool header_ready_ = false;
  bool finished_ = false;
  bool failed_ = false;
  bool damaged_ = false;
  bool input_ended_ = false;
  std::string error_;
};

}  // namespace

std::unique_ptr<ImageDecoder> make_png_decoder(const PageBound &bound) {
  return std::make_unique<PngDecoder>(bound);
}

}  // namespace bbescl
