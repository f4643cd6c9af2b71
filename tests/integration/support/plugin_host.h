// The plug-in driven the way a host drives it: loaded with dlopen (its
// kvchan_ references resolve against the libkvchan this executable links),
// its sixteen entry points taken with dlsym, and one zero-filled heap
// host_session per device.
#pragma once

#include <string>
#include <vector>

#include "bb_escl.h"

namespace itest {

// The entry table of the plug-in built with this tree; loaded on first use.
// Entries are NULL when the library or a symbol could not be found
// (plugin_load_error() says which).
const bb_escl_entry_table &plugin();
const std::string &plugin_load_error();
// True when the library loaded but lacks some of them: a tree whose entry
// points are still being written (the plug-in ABI test names the missing).
bool plugin_lacks_entry_points();

// SANE_Fixed millimetres.
constexpr SANE_Fixed mm(double millimetres) {
  return static_cast<SANE_Fixed>(millimetres * 65536.0);
}

// What the host gathered from one page.
struct Page {
  SANE_Status start = SANE_STATUS_GOOD;  // bb_start_scan
  int data_result = 0;                   // last bb_get_image_data
  int data_calls = 0;
  std::string bytes;
};

// One device as a host holds it: kvchan descriptor and host_session.
class HostDevice {
 public:
  explicit HostDevice(const std::string &uri);
  ~HostDevice();  // bb_close when opened, then the kvchan device is closed
  HostDevice(const HostDevice &) = delete;
  HostDevice &operator=(const HostDevice &) = delete;

  host_session *hs() { return hs_; }
  int dd() const { return dd_; }

  int open();  // bb_open
  // Selects source, mode and resolution and a scan area from the top-left
  // corner, as the host's options would.
  void select(int source, int mode, int dpi, double width_mm, double height_mm);
  // bb_start_scan, then bb_get_image_data until a call leaves image_count
  // at 0 or fails (the host takes each chunk and resets image_count), then
  // bb_end_page.
  Page scan_page();
  // Channels the plug-in holds open on this device.
  int open_channels() const;

 private:
  int dd_ = 0;
  host_session *hs_ = nullptr;
  bool opened_ = false;
};

// A whole feeder scan as a host runs it: pages until bb_start_scan (after
// bb_check_scanner_to_continue allowed it) reports anything but GOOD, then
// bb_end_scan(0).  `last` is the status that ended it.
struct FeederScan {
  std::vector<Page> pages;       // pages delivered with GOOD
  SANE_Status last = SANE_STATUS_GOOD;
  SANE_Status last_continue = SANE_STATUS_GOOD;
};
FeederScan scan_feeder(HostDevice &device, int max_pages);

}  // namespace itest
