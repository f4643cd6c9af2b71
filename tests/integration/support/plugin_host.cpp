#include "plugin_host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "kvchan.h"

namespace itest {
namespace {

// Bounded so that a plug-in that never ends a page fails the test instead
// of looping for ever (a page of these tests has a few dozen chunks).
constexpr int kMaxDataCalls = 100000;

struct Loaded {
  bb_escl_entry_table table{};
  std::string error;
  bool missing_entry_point = false;
};

template <typename Fn>
void take(void *lib, const char *name, Fn &slot, std::string &error, bool &missing) {
  void *sym = dlsym(lib, name);
  if (sym == nullptr && error.empty()) error = std::string("missing entry point ") + name;
  if (sym == nullptr) missing = true;
  slot = reinterpret_cast<Fn>(sym);
}

Loaded load() {
  Loaded l;
  void *lib = dlopen(BB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    l.error = dlerror();
    return l;
  }
  bb_escl_entry_table &t = l.table;
  take(lib, "bb_open", t.open, l.error, l.missing_entry_point);
  take(lib, "bb_close", t.close, l.error, l.missing_entry_point);
  take(lib, "bb_get_parameters", t.get_parameters, l.error, l.missing_entry_point);
  take(lib, "bb_get_scanner_status", t.get_scanner_status, l.error, l.missing_entry_point);
  take(lib, "bb_get_adf_state", t.get_adf_state, l.error, l.missing_entry_point);
  take(lib, "bb_get_url", t.get_url, l.error, l.missing_entry_point);
  take(lib, "bb_get_ImagesToTransfer", t.get_ImagesToTransfer, l.error, l.missing_entry_point);
  take(lib, "bb_get_JobState", t.get_JobState, l.error, l.missing_entry_point);
  take(lib, "bb_check_scanner_to_continue", t.check_scanner_to_continue, l.error, l.missing_entry_point);
  take(lib, "bb_post_scanjob", t.post_scanjob, l.error, l.missing_entry_point);
  take(lib, "bb_get_scanjob", t.get_scanjob, l.error, l.missing_entry_point);
  take(lib, "bb_start_scan", t.start_scan, l.error, l.missing_entry_point);
  take(lib, "bb_get_size", t.get_size, l.error, l.missing_entry_point);
  take(lib, "bb_get_image_data", t.get_image_data, l.error, l.missing_entry_point);
  take(lib, "bb_end_page", t.end_page, l.error, l.missing_entry_point);
  take(lib, "bb_end_scan", t.end_scan, l.error, l.missing_entry_point);
  // Never unloaded: hosts keep a plug-in for the life of the process.
  return l;
}

const Loaded &loaded() {
  static const Loaded l = load();
  return l;
}

}  // namespace

const bb_escl_entry_table &plugin() { return loaded().table; }
const std::string &plugin_load_error() { return loaded().error; }
bool plugin_lacks_entry_points() { return loaded().missing_entry_point; }

HostDevice::HostDevice(const std::string &uri) {
  // The record holds a 4 MB image buffer: heap, zero-filled, as hosts do.
  hs_ = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  std::strncpy(hs_->device_uri, uri.c_str(), sizeof hs_->device_uri - 1);
  if (kvchan_open_device(uri.c_str(), &dd_) != KVCHAN_OK) dd_ = -1;
  hs_->dd = dd_;
}

HostDevice::~HostDevice() {
  if (opened_) plugin().close(hs_);
  if (dd_ > 0) kvchan_close_device(dd_);
  free(hs_);
}

int HostDevice::open() {
  opened_ = true;
  return plugin().open(hs_);
}

void HostDevice::select(int source, int mode, int dpi, double width_mm, double height_mm) {
  hs_->current_source = source;
  hs_->current_mode = mode;
  hs_->current_resolution = dpi;
  hs_->x_range_max = hs_->source_geometry[source - 1].br_x_range.max;
  hs_->tl_x = hs_->effective_tl_x = 0;
  hs_->tl_y = hs_->effective_tl_y = 0;
  hs_->br_x = hs_->effective_br_x = mm(width_mm);
  hs_->br_y = hs_->effective_br_y = mm(height_mm);
}

Page HostDevice::scan_page() {
  Page page;
  page.start = plugin().start_scan(hs_);
  if (page.start != SANE_STATUS_GOOD) return page;
  for (int i = 0; i < kMaxDataCalls; ++i) {
    ++page.data_calls;
    page.data_result = plugin().get_image_data(hs_);
    if (page.data_result != 0 || hs_->image_count == 0) break;
    page.bytes.append(reinterpret_cast<const char *>(hs_->image_buffer),
                      static_cast<size_t>(hs_->image_count));
    hs_->image_count = 0;
  }
  hs_->image_count = 0;
  plugin().end_page(hs_, page.data_result != 0);
  return page;
}

int HostDevice::open_channels() const {
  int count = -1;
  kvchan_channel_count(dd_, &count);
  return count;
}

FeederScan scan_feeder(HostDevice &device, int max_pages) {
  FeederScan scan;
  for (int i = 0; i < max_pages; ++i) {
    if (i > 0) {
      scan.last_continue = plugin().check_scanner_to_continue(device.hs());
      if (scan.last_continue != SANE_STATUS_GOOD) {
        scan.last = scan.last_continue;
        break;
      }
    }
    Page page = device.scan_page();
    if (page.start != SANE_STATUS_GOOD) {
      scan.last = page.start;
      break;
    }
    scan.pages.push_back(std::move(page));
  }
  plugin().end_scan(device.hs(), 0);
  return scan;
}

}  // namespace itest
