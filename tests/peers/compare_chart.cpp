// compare_chart: checks a scanned image against the simulator's test chart.
//
//   compare_chart IMAGE --dpi N [--left-mm L] [--top-mm T] [--width-mm W --height-mm H]
//                 [--tolerance MEAN]
//
// IMAGE is PNM (P5 grey, P6 colour, as scanimage --format=pnm writes), PNG
// or JPEG. The chart is rendered for the area whose top left corner lies at
// L, T millimetres, as large as the image; with W and H the image size is
// checked too (within one pixel, as clients round differently). Clients may
// pad or cut the last row and column, so those are not compared. Passes when
// the mean absolute difference per sample is within MEAN (default 10) and
// almost no sample is far off; prints the figures either way.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "image_codec.h"
#include "simulator.h"

namespace {

// A PNM header token, with comments passed over.
bool pnm_token(const std::string &data, size_t &pos, std::string &token) {
  token.clear();
  while (pos < data.size()) {
    char c = data[pos];
    if (c == '#') {
      while (pos < data.size() && data[pos] != '\n') ++pos;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++pos;
    } else {
      break;
    }
  }
  while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos])))
    token += data[pos++];
  return !token.empty();
}

bool decode_pnm(const std::string &data, escl_sim::Image &img) {
  size_t pos = 0;
  std::string magic, w, h, maxval;
  if (!pnm_token(data, pos, magic) || (magic != "P5" && magic != "P6")) return false;
  if (!pnm_token(data, pos, w) || !pnm_token(data, pos, h) || !pnm_token(data, pos, maxval))
    return false;
  if (maxval != "255") return false;
  ++pos;  // the single white space before the samples
  img.width = std::atoi(w.c_str());
  img.height = std::atoi(h.c_str());
  img.channels = magic == "P6" ? 3 : 1;
  size_t size = static_cast<size_t>(img.width) * img.height * img.channels;
  if (img.width <= 0 || img.height <= 0 || data.size() - pos < size) return false;
  img.pixels.assign(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + size));
  return true;
}

int to_300(double mm) { return static_cast<int>(std::lround(mm / 25.4 * 300.0)); }

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: compare_chart IMAGE --dpi N [--left-mm L] [--top-mm T] "
                         "[--width-mm W --height-mm H] [--tolerance MEAN]\n");
    return 2;
  }
  std::string path = argv[1];
  int dpi = 0;
  double left = 0, top = 0, width_mm = 0, height_mm = 0, tolerance = 10;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    double v = std::atof(argv[i + 1]);
    if (opt == "--dpi") dpi = static_cast<int>(v);
    else if (opt == "--left-mm") left = v;
    else if (opt == "--top-mm") top = v;
    else if (opt == "--width-mm") width_mm = v;
    else if (opt == "--height-mm") height_mm = v;
    else if (opt == "--tolerance") tolerance = v;
    else {
      std::fprintf(stderr, "compare_chart: unknown option %s\n", opt.c_str());
      return 2;
    }
  }
  if (dpi <= 0) {
    std::fprintf(stderr, "compare_chart: --dpi is needed\n");
    return 2;
  }
  std::ifstream in(path, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  escl_sim::Image scanned;
  if (!decode_pnm(data, scanned) && !escl_sim::decode_png(data, scanned) &&
      !escl_sim::decode_jpeg(data, scanned)) {
    std::fprintf(stderr, "compare_chart: %s: not a PNM, PNG or JPEG image\n", path.c_str());
    return 1;
  }
  bool ok = true;
  if (width_mm > 0 && height_mm > 0) {
    int want_w = static_cast<int>(std::lround(width_mm / 25.4 * dpi));
    int want_h = static_cast<int>(std::lround(height_mm / 25.4 * dpi));
    if (std::abs(scanned.width - want_w) > 1 || std::abs(scanned.height - want_h) > 1) {
      std::printf("%s: size %dx%d, expected about %dx%d\n", path.c_str(), scanned.width,
                  scanned.height, want_w, want_h);
      ok = false;
    }
  }
  escl_sim::Image chart = escl_sim::render_chart(
      dpi, to_300(left), to_300(top), static_cast<int>(std::lround(scanned.width * 300.0 / dpi)),
      static_cast<int>(std::lround(scanned.height * 300.0 / dpi)), scanned.channels);
  int w = std::min(scanned.width, chart.width) - 1;
  int h = std::min(scanned.height, chart.height) - 1;
  if (w < 1 || h < 1) {
    std::printf("%s: image too small to compare\n", path.c_str());
    return 1;
  }
  const int ch = scanned.channels;
  double sum = 0;
  long far_off = 0;
  long samples = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < ch; ++c) {
        int a = scanned.pixels[(static_cast<size_t>(y) * scanned.width + x) * ch + c];
        int b = chart.pixels[(static_cast<size_t>(y) * chart.width + x) * ch + c];
        int d = std::abs(a - b);
        sum += d;
        far_off += d > 96;
        ++samples;
      }
    }
  }
  double mean = sum / samples;
  double far_share = static_cast<double>(far_off) / samples;
  // JPEG blurs the thin grid lines; a wrong offset or wrong page moves whole
  // cells and lifts both figures far above these limits.
  if (mean > tolerance || far_share > 0.03) ok = false;
  std::printf("%s: %dx%d, %d channel(s), mean difference %.2f, far off %.2f%% -> %s\n",
              path.c_str(), scanned.width, scanned.height, ch, mean, far_share * 100,
              ok ? "match" : "MISMATCH");
  return ok ? 0 : 1;
}
