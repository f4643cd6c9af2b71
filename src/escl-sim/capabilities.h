// The device a profile describes: its ScannerCapabilities document as served,
// and the few facts of it that job handling needs.
#pragma once

#include <string>
#include <vector>

namespace escl_sim {

// One input source; sizes in 1/300 inch.
struct SourceCaps {
  bool present = false;
  int max_width = 0;
  int max_height = 0;
  int max_resolution = 0;  // dpi; jobs asking for more are refused
  // What its setting profiles list (pwg:DocumentFormat and
  // scan:DocumentFormatExt together, in the order listed) and its
  // scan:SupportedIntents; jobs asking for others are refused (409). A
  // document that lists none leaves image/jpeg and image/png, and any intent.
  std::vector<std::string> formats;
  std::vector<std::string> intents;
};

// scan:CompressionFactorSupport of the device, when it has one.
struct CompressionSupport {
  bool present = false;
  int min = 0;
  int max = 0;
  int normal = 0;
};

struct DeviceModel {
  std::string capabilities;  // the document, sent byte for byte
  SourceCaps platen;
  SourceCaps adf_simplex;
  SourceCaps adf_duplex;
  SourceCaps camera;
  CompressionSupport compression;
  bool has_adf() const { return adf_simplex.present || adf_duplex.present; }
};

inline constexpr const char *kScanNamespace = "http://schemas.example.com/imaging/escl/2011/05/03";
inline constexpr const char *kPwgNamespace = "http://www.pwg.org/schemas/2010/12/sm";

// Builds the model of a profile: "flatbed-photo", "mfp", "camera",
// "pdf-first" or "file:PATH". False with a message in error for an unknown profile or an
// unreadable file.
bool load_device_model(const std::string &profile, DeviceModel &model, std::string &error);

}  // namespace escl_sim
