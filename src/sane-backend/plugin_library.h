// Loads the eSCL plug-in and the channel library it runs on.
//
// The plug-in records no needed libraries: its C library, `round` and
// kvchan_ references must resolve against what is already loaded globally.
// SANE's dll meta-backend loads backends RTLD_LOCAL, so the channel library
// and libm are first loaded RTLD_GLOBAL, then the plug-in.
#pragma once

#include <string>

#include "bb_escl.h"

namespace bbescl {

// Names of what is loaded; BBESCL_PLUGIN overrides the plug-in's.
inline constexpr const char *kChannelLibrary = "libkvchan.so.1";
inline constexpr const char *kMathLibrary = "libm.so.6";
inline constexpr const char *kPluginPathEnv = "BBESCL_PLUGIN";

struct ChannelCalls {
  int (*open_device)(const char *uri, int *dd) = nullptr;
  int (*close_device)(int dd) = nullptr;
  int (*set_tls_verify)(int mode) = nullptr;
  int (*key_refusal)(int dd, char *text, int size) = nullptr;
  // Null with a channel library from before wake-up descriptors: a cancel
  // then ends a blocked read only at the plug-in's next look at its flag.
  int (*set_wake_fd)(int dd, int fd) = nullptr;
};

class PluginLibrary {
 public:
  PluginLibrary() = default;
  PluginLibrary(const PluginLibrary &) = delete;
  PluginLibrary &operator=(const PluginLibrary &) = delete;
  ~PluginLibrary() { unload(); }

  // Loads the libraries and resolves every entry point; on failure fills
  // `error` with a message that names what is missing.
  bool load(std::string &error);
  void unload();

  const bb_escl_entry_table &entries() const { return entries_; }
  const ChannelCalls &channel() const { return channel_; }

 private:
  void *channel_handle_ = nullptr;
  void *math_handle_ = nullptr;
  void *plugin_handle_ = nullptr;
  bb_escl_entry_table entries_{};
  ChannelCalls channel_{};
};

}  // namespace bbescl
