// One open device: the plug-in and its host_session, the options, and the
// scan session that runs each scan on a worker thread.
#pragma once

#include <memory>
#include <string>

#include <sane/sane.h>

#include "bb_escl.h"
#include "config_file.h"
#include "option_set.h"
#include "page_reader.h"
#include "plugin_library.h"
#include "scan_area.h"
#include "scan_session.h"

namespace bbescl {

class Device {
 public:
  // Opens `uri`, trusting https devices as `tls` says; a plain device
  // that redirects to https on the same host is opened there.
  // `busy_timeout_seconds`: how long sane_start waits for a busy device.
  static SANE_Status open(const std::string &uri, TlsVerify tls, int busy_timeout_seconds,
                          std::unique_ptr<Device> &device);
  ~Device();
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  const SANE_Option_Descriptor *option_descriptor(SANE_Int option) const;
  SANE_Status control_option(SANE_Int option, SANE_Action action, void *value, SANE_Int *info);
  SANE_Status parameters(SANE_Parameters *params);
  SANE_Status start();
  SANE_Status read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length);
  SANE_Status set_io_mode(bool non_blocking) { return session_->set_io_mode(non_blocking); }
  SANE_Status select_fd(SANE_Int *fd) const { return session_->select_fd(fd); }
  // Safe from any thread and from a signal handler: it only asks the
  // scan's worker to stop, and the worker ends the scan.
  void cancel();

 private:
  Device() = default;
  SANE_Status open_device(const std::string &uri, TlsVerify tls);
  // The channel library's device and the plug-in's session on `uri`;
  // `may_have_moved` when the device answered but gave no capabilities.
  SANE_Status open_session(const std::string &uri, bool &may_have_moved);
  void close_session();
  void apply_options();

  PluginLibrary plugin_;
  const bb_escl_entry_table *bb_ = nullptr;
  struct FreeDeleter {
    void operator()(host_session *p) const;
  };
  std::unique_ptr<host_session, FreeDeleter> hs_;
  bool device_open_ = false;
  bool plugin_open_ = false;
  OptionSet options_;
  int busy_timeout_millis_ = kDefaultBusyTimeoutSeconds * 1000;
  AreaPlan plan_;
  // Made once the session exists, before any scan; cancel() reads the
  // pointer from other threads, never while it changes.
  std::unique_ptr<ScanSession> session_;
};

}  // namespace bbescl
