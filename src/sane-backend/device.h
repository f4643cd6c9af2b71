// One open device: the plug-in and its host_session, the options, and the
// scan state from sane_start through the pages of a batch to its end.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

#include <sane/sane.h>

#include "bb_escl.h"
#include "config_file.h"
#include "option_set.h"
#include "page_reader.h"
#include "plugin_library.h"
#include "scan_area.h"

namespace bbescl {

// How long a first page is retried while the device refuses new jobs
// (busy, warming up: "503 Service Unavailable").
inline constexpr int kBusyRetryMillis = 30000;
inline constexpr int kFirstRetryPauseMillis = 500;
inline constexpr int kLongestRetryPauseMillis = 4000;

class Device {
 public:
  // Opens `uri`, trusting https devices as `tls` says; a plain device
  // that redirects to https on the same host is opened there.
  static SANE_Status open(const std::string &uri, TlsVerify tls, std::unique_ptr<Device> &device);
  ~Device();
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  const SANE_Option_Descriptor *option_descriptor(SANE_Int option) const;
  SANE_Status control_option(SANE_Int option, SANE_Action action, void *value, SANE_Int *info);
  SANE_Status parameters(SANE_Parameters *params);
  SANE_Status start();
  SANE_Status read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length);
  // Safe from a signal handler while another call is running: it then only
  // asks that call to stop, and that call ends the scan.
  void cancel();

 private:
  enum class State {
    kIdle,          // no job
    kPage,          // a page is being read
    kBetweenPages,  // a feeder job goes on with its next page
  };
  class PluginChunks;
  class CallScope;

  Device() = default;
  SANE_Status open_device(const std::string &uri, TlsVerify tls);
  // The channel library's device and the plug-in's session on `uri`;
  // `may_have_moved` when the device answered but gave no capabilities.
  SANE_Status open_session(const std::string &uri, bool &may_have_moved);
  void close_session();
  void apply_options();
  SANE_Status start_first_page();
  SANE_Status start_next_page();
  SANE_Status begin_page();
  SANE_Status finish_page();
  void report_page_error(int page);
  // Ends the job: normally, or deleting what the device still runs.
  void end_job(bool cancel);
  void abort_scan();
  bool wait_retry(int millis);
  bool has_job() const { return hs_->job_id[0] != '\0'; }

  PluginLibrary plugin_;
  const bb_escl_entry_table *bb_ = nullptr;
  struct FreeDeleter {
    void operator()(host_session *p) const;
  };
  std::unique_ptr<host_session, FreeDeleter> hs_;
  bool device_open_ = false;
  bool plugin_open_ = false;
  OptionSet options_;

  State state_ = State::kIdle;
  AreaPlan plan_;
  std::unique_ptr<PluginChunks> chunks_;
  std::unique_ptr<PageReader> page_;
  SANE_Parameters page_params_{};
  int pages_ = 0;  // pages delivered in the current batch
  bool cancelled_ = false;  // reads after a cancel report it
  volatile sig_atomic_t in_call_ = 0;
  volatile sig_atomic_t cancel_requested_ = 0;
};

}  // namespace bbescl
