// The ScanSettings document a client posts to create a job.
#pragma once

#include <string>
#include <string_view>

#include "chart.h"

namespace escl_sim {

enum class InputSource { kPlaten, kFeeder, kCamera };

struct ScanSettings {
  InputSource source = InputSource::kPlaten;
  bool duplex = false;
  int x_resolution = 300;
  int y_resolution = 300;
  ColorMode color_mode = ColorMode::kRgb24;
  bool has_region = false;  // without one the device scans its whole area
  int width = 0;            // region in 1/300 inch
  int height = 0;
  int x_offset = 0;
  int y_offset = 0;
  std::string format;  // DocumentFormatExt, else DocumentFormat; empty when neither
  std::string intent;  // scan:Intent; empty when absent
  int compression_factor = -1;  // scan:CompressionFactor; -1 when absent
};

enum class SettingsResult {
  kOk,
  kMalformed,    // not a ScanSettings document, or elements in unknown namespaces: 400
  kUnsupported,  // a value the device cannot do: 409
};

// One line for the log: source, resolution, mode, region, format.
std::string describe(const ScanSettings &s);

// Reads the document as a strict device does: the root and every element
// must lie in the eSCL (or eSCL 1.0) or PWG namespace, and each setting is
// taken from its own namespace (pwg:InputSource, scan:ColorMode, ...)
// whatever prefix the client bound it to.
SettingsResult parse_scan_settings(std::string_view doc, ScanSettings &settings,
                                   std::string &error);

}  // namespace escl_sim
