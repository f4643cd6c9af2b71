#include "page_bound.h"

#include <limits.h>
#include <stdint.h>

namespace bbescl {

namespace {

constexpr int64_t kFixedOne = 65536;  // SANE_Fixed 1.0
constexpr int64_t kTenthsOfMmPerInch = 254;

// JPEG blocks are 8 x 8 and MCUs up to 4 blocks wide and high: 32 pixels
// of rounding on each side, two bytes per coefficient, three components.
constexpr uint64_t kMcuRounding = 32;
constexpr uint64_t kCoefficientBytesPerPixel = 2 * 3;
// Row buffers, tables and the library's own records beside the image.
constexpr uint64_t kWorkingBytes = 4u << 20;
constexpr uint64_t kWorkingBytesPerColumn = 3 * 64;

uint64_t mul_sat(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t add_sat(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Pixels of a SANE_Fixed length at `dpi`, rounded up, with the room added;
// at most INT_MAX.
int bounded_pixels(SANE_Fixed length, int dpi) {
  const uint64_t scaled = mul_sat(mul_sat(static_cast<uint64_t>(length), static_cast<uint64_t>(dpi)), 10);
  const uint64_t divisor = kTenthsOfMmPerInch * kFixedOne;
  uint64_t pixels = scaled / divisor + (scaled % divisor != 0);
  pixels = add_sat(add_sat(pixels, pixels / 100 * kBoundPercent + (pixels % 100) * kBoundPercent / 100),
                   kBoundSlackPixels);
  return pixels > INT_MAX ? INT_MAX : static_cast<int>(pixels);
}

}  // namespace

PageBound page_bound(SANE_Fixed width, SANE_Fixed height, int dpi) {
  PageBound bound;
  if (width <= 0 || height <= 0 || dpi <= 0) return bound;
  bound.max_width = bounded_pixels(width, dpi);
  bound.max_height = bounded_pixels(height, dpi);
  bound.max_memory = decoder_memory_for(bound.max_width, bound.max_height);
  return bound;
}

size_t decoder_memory_for(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const uint64_t w = static_cast<uint64_t>(width);
  const uint64_t h = static_cast<uint64_t>(height);
  const uint64_t coefficients = mul_sat(mul_sat(w + kMcuRounding, h + kMcuRounding), kCoefficientBytesPerPixel);
  const uint64_t bytes = add_sat(add_sat(coefficients, kWorkingBytes), mul_sat(w, kWorkingBytesPerColumn));
  return bytes > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(bytes);
}

bool within_bound(const PageBound &bound, long long width, long long height) {
  return width <= bound.max_width && height <= bound.max_height;
}

std::string oversized_page_message(long long width, long long height, const PageBound &bound) {
  return "the page declares " + std::to_string(width) + " x " + std::to_string(height) +
         " pixels, more than the " + std::to_string(bound.max_width) + " x " + std::to_string(bound.max_height) +
         " the source's largest scan area allows at this resolution";
}

}  // namespace bbescl
