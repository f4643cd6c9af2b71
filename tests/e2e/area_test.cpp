// The scan area end to end: only the region travels from the device, an
// area below the device's minimum is scanned at the minimum, and the frame
// announced before a scan is the frame the scan delivers.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <string>
#include <vector>

#include "scan_fixture.h"

using namespace e2e;

namespace {

// Width and height from a PNG's header (the first chunk, IHDR).
struct PngSize {
  long width = 0, height = 0;
};

PngSize png_size(const std::string &png) {
  if (png.size() < 24 || png.compare(12, 4, "IHDR") != 0) return {};
  const auto be32 = [&](size_t at) {
    long v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  return {be32(16), be32(20)};
}

// Lengths in millimetres as given to scanimage, and in 1/300 inch as the
// job carries them (truncated: 50 mm is 590.55/300 inch).
struct Length {
  const char *mm;
  int in300;
};

struct RegionRow {
  const char *name;
  const char *source;
  Length left, top, width, height;
};

// At 300 dpi a pixel is 1/300 inch, so the page can be laid on the chart
// exactly; PNG pages, so every pixel must match.
TEST_F(Scan, OnlyTheRegionIsTransferred) {
  const RegionRow rows[] = {
      {"platen, bottom-right corner", "Flatbed", {"165.9", 1959}, {"247", 2917}, {"50", 590}, {"50", 590}},
      {"feeder, near its centre", "ADF", {"58", 685}, {"100", 1181}, {"100", 1181}, {"40", 472}},
  };
  for (const RegionRow &row : rows) {
    escl_sim::Config cfg;
    cfg.format = "image/png";
    start(cfg);
    const RunResult r = scan({"--source", row.source, "--mode", "Color", "--resolution", "300", "-l", row.left.mm,
                              "-t", row.top.mm, "-x", row.width.mm, "-y", row.height.mm, "--format=png",
                              "--batch-count=1", "--batch=region%d.png"});
    ASSERT_EQ(r.exit_code, 0) << row.name << ": " << r.err;
    const int width = row.width.in300, height = row.height.in300;
    expect_chart("region1.png", PageMode::kColor, 300, width, height, row.left.in300, row.top.in300, 0.0, 0.0);
    const std::vector<std::string> sent = sim_->pages_sent();
    ASSERT_FALSE(sent.empty()) << row.name;
    const PngSize page = png_size(sent.front());
    EXPECT_LE(page.width * page.height, 1.2 * width * height)
        << row.name << ": the device sent " << page.width << " x " << page.height;
    EXPECT_EQ(page.height, height) << row.name;
  }
}

// scanimage's "-x 0" asks for nothing across: the backend widens the area to
// the platen's least width (16/300 inch on the simulator) and scans that.
TEST_F(Scan, AnAreaBelowTheMinimumIsScannedAtTheMinimum) {
  escl_sim::Config cfg;
  cfg.format = "image/png";
  start(cfg);
  const RunResult r = scan({"--mode", "Gray", "--resolution", "300", "-l", "20", "-t", "30", "-x", "0", "-y", "0.5",
                            "--format=png", "-o", "tiny.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // 20 and 30 mm are 236 and 354/300 inch.
  expect_chart("tiny.png", PageMode::kGray, 300, 16, 16, 236, 354, 0.0, 0.0);
}

// The backend through the SANE API, in this process, as a frontend that
// sizes its buffers from sane_get_parameters before sane_start uses it.
class SaneBackend {
 public:
  SaneBackend() {
    // The backend loads the channel library by its soname: this copy is it.
    kvchan_ = dlopen(BBESCL_KVCHAN_DIR "/libkvchan.so.1", RTLD_NOW | RTLD_GLOBAL);
    setenv("BBESCL_PLUGIN", BBESCL_PLUGIN_PATH, 1);
    backend_ = dlopen(BBESCL_BACKEND_DIR "/libsane-bbescl.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!kvchan_ || !backend_) {
      error_ = dlerror();
      return;
    }
    load(init_, "sane_init");
    load(exit_, "sane_exit");
    load(open_, "sane_open");
    load(close_, "sane_close");
    load(descriptor_, "sane_get_option_descriptor");
    load(control_, "sane_control_option");
    load(parameters_, "sane_get_parameters");
    load(start_, "sane_start");
    load(read_, "sane_read");
    load(cancel_, "sane_cancel");
    if (error_.empty() && init_(nullptr, nullptr) != SANE_STATUS_GOOD) error_ = "sane_init failed";
  }
  ~SaneBackend() {
    if (handle_) close_(handle_);
    if (exit_) exit_();
    if (backend_) dlclose(backend_);
    if (kvchan_) dlclose(kvchan_);
  }
  SaneBackend(const SaneBackend &) = delete;
  SaneBackend &operator=(const SaneBackend &) = delete;

  const std::string &error() const { return error_; }

  SANE_Status open(const std::string &url) { return open_(url.c_str(), &handle_); }

  SANE_Status set(const char *name, const char *text) {
    std::vector<char> value(text, text + strlen(text) + 1);
    value.resize(256);
    return control_(handle_, option(name), SANE_ACTION_SET_VALUE, value.data(), nullptr);
  }
  SANE_Status set(const char *name, SANE_Word word) {
    return control_(handle_, option(name), SANE_ACTION_SET_VALUE, &word, nullptr);
  }

  SANE_Parameters parameters() {
    SANE_Parameters p{};
    EXPECT_EQ(parameters_(handle_, &p), SANE_STATUS_GOOD);
    return p;
  }
  SANE_Status start() { return start_(handle_); }
  void cancel() { cancel_(handle_); }

  // Reads the page to its end; the bytes it held, or -1 on an error.
  long long read_page() {
    std::vector<SANE_Byte> buffer(1 << 16);
    long long total = 0;
    for (;;) {
      SANE_Int got = 0;
      const SANE_Status s = read_(handle_, buffer.data(), static_cast<SANE_Int>(buffer.size()), &got);
      total += got;
      if (s == SANE_STATUS_EOF) return total;
      if (s != SANE_STATUS_GOOD) return -1;
    }
  }

 private:
  template <typename F>
  void load(F &slot, const char *name) {
    slot = reinterpret_cast<F>(dlsym(backend_, name));
    if (!slot && error_.empty()) error_ = std::string("no ") + name;
  }

  SANE_Int option(const char *name) {
    for (SANE_Int i = 1;; ++i) {
      const SANE_Option_Descriptor *d = descriptor_(handle_, i);
      if (!d) return -1;
      if (d->name && strcmp(d->name, name) == 0) return i;
    }
  }

  void *kvchan_ = nullptr;
  void *backend_ = nullptr;
  SANE_Handle handle_ = nullptr;
  std::string error_;
  SANE_Status (*init_)(SANE_Int *, SANE_Auth_Callback) = nullptr;
  void (*exit_)() = nullptr;
  SANE_Status (*open_)(SANE_String_Const, SANE_Handle *) = nullptr;
  void (*close_)(SANE_Handle) = nullptr;
  const SANE_Option_Descriptor *(*descriptor_)(SANE_Handle, SANE_Int) = nullptr;
  SANE_Status (*control_)(SANE_Handle, SANE_Int, SANE_Action, void *, SANE_Int *) = nullptr;
  SANE_Status (*parameters_)(SANE_Handle, SANE_Parameters *) = nullptr;
  SANE_Status (*start_)(SANE_Handle) = nullptr;
  SANE_Status (*read_)(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *) = nullptr;
  void (*cancel_)(SANE_Handle) = nullptr;
};

struct FrameArea {
  const char *name;
  int dpi;
  double left, top, right, bottom;  // millimetres
};

// A4 at 600 dpi is 2480 x 3507/300 inch: 4960 x 7014, where the millimetres
// alone would give 4961 x 7016.  The odd region, 591 x 478/300 inch from
// (157, 90), has part pixels at 75 dpi both ways and starts off their grid.
TEST_F(Scan, TheFrameAnnouncedBeforeTheScanIsTheFrameDelivered) {
  const FrameArea areas[] = {{"A4 at 600 dpi", 600, 0, 0, 210, 297}, {"odd region at 75 dpi", 75, 13.3, 7.7, 63.35, 48.2}};
  start();
  SaneBackend sane;
  ASSERT_EQ(sane.error(), "");
  ASSERT_EQ(sane.open(url_), SANE_STATUS_GOOD);
  for (const char *source : {"Flatbed", "ADF"}) {
    for (const char *mode : {"Lineart", "Gray", "Color"}) {
      for (const FrameArea &area : areas) {
        const std::string what = std::string(source) + ", " + mode + ", " + area.name;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_SOURCE, source), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_MODE, mode), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_RESOLUTION, area.dpi), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_TL_X, SANE_FIX(area.left)), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_TL_Y, SANE_FIX(area.top)), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_BR_X, SANE_FIX(area.right)), SANE_STATUS_GOOD) << what;
        ASSERT_EQ(sane.set(SANE_NAME_SCAN_BR_Y, SANE_FIX(area.bottom)), SANE_STATUS_GOOD) << what;
        const SANE_Parameters before = sane.parameters();
        ASSERT_EQ(sane.start(), SANE_STATUS_GOOD) << what;
        const SANE_Parameters after = sane.parameters();
        const long long bytes = sane.read_page();
        sane.cancel();  // ends the feeder's batch after its first sheet
        EXPECT_EQ(before.pixels_per_line, after.pixels_per_line) << what;
        EXPECT_EQ(before.lines, after.lines) << what;
        EXPECT_EQ(before.bytes_per_line, after.bytes_per_line) << what;
        EXPECT_EQ(before.format, after.format) << what;
        EXPECT_EQ(before.depth, after.depth) << what;
        EXPECT_EQ(bytes, static_cast<long long>(before.bytes_per_line) * before.lines) << what;
        if (area.dpi == 600) {
          EXPECT_EQ(before.pixels_per_line, 4960) << what;
          EXPECT_EQ(before.lines, 7014) << what;
        }
      }
    }
  }
}

}  // namespace
