// A scan from sane_start to its end, run by a worker thread of its own.
//
// The worker makes every plug-in call of the scan (the plug-in is
// single-threaded: its entry points are never called at once), receives
// each page, decodes it into a FrameQueue and, on a feeder, ends the page
// and starts the next one while the frontend still reads the first.  The
// frontend's thread only takes from the queue, so sane_read can return at
// once in non-blocking mode, and a sane_start waiting on a busy device can
// be cancelled.
//
// sane_cancel may come from any thread and from a signal handler (Ctrl-C
// in scanimage): it only stores atomic flags and writes the wake-up
// eventfd.  The channel library watches that descriptor in every wait, so
// a blocked read ends at once; the worker then deletes the job, while the
// frontend's waits, which watch the same flag and descriptor, return
// CANCELLED without waiting for it.  The next sane_start or the device's
// close waits for the worker.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <thread>

#include <sane/sane.h>

#include "bb_escl.h"
#include "config_file.h"
#include "frame_queue.h"
#include "frame_rows.h"
#include "page_bound.h"
#include "page_reader.h"
#include "scan_area.h"

namespace bbescl {

// The pauses between the tries of a first page while the device refuses
// new jobs (busy, warming up: 503; 409 while another job runs).
inline constexpr int kFirstRetryPauseMillis = 500;
inline constexpr int kLongestRetryPauseMillis = 4000;
// Frame bytes the worker hands over at a time: whole rows, a few dozen
// kilobytes, so that a slow page shows progress.
inline constexpr size_t kFrameBlockBytes = 64 * 1024;

// What a scan needs of the options, taken when it starts; the plug-in's
// host_session carries the rest (mode, source, resolution, area).
struct ScanSetup {
  AreaPlan plan;
  PageBound bound;
  int threshold = 128;
  Adjustments adjustments;
  int busy_timeout_millis = kDefaultBusyTimeoutSeconds * 1000;
};

// The channel library's kvchan_set_wake_fd, when the loaded one has it.
using SetWakeFd = int (*)(int dd, int fd);

class ScanSession {
 public:
  ScanSession(const bb_escl_entry_table &bb, host_session &hs, SetWakeFd set_wake_fd);
  ~ScanSession();
  ScanSession(const ScanSession &) = delete;
  ScanSession &operator=(const ScanSession &) = delete;

  // Whether the descriptors could be made.
  bool valid() const;

  // The frontend's side, from its thread.
  // A page begun and not yet read to its end.
  bool page_open() const { return queue_.reading(); }
  // A batch goes on: a feeder between its pages, not cancelled.
  bool batch_running() const;
  // Waits for a worker that is still ending a scan (deleting a cancelled
  // job), so that the plug-in may be called from this thread again.
  void wait_idle();
  // Starts the worker on a new batch; the plug-in's host_session must be
  // set up for it.  `estimate` is what sane_get_parameters gives between
  // the batch's pages.
  SANE_Status begin_batch(const ScanSetup &setup, const SANE_Parameters &estimate);
  // sane_start of the batch's next page: waits for its header, or for why
  // there is none.
  SANE_Status next_page();
  SANE_Status read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length);
  // The current page's parameters, else the batch's estimate; false when
  // no batch runs.
  bool parameters(SANE_Parameters *params) const;
  SANE_Status set_io_mode(bool non_blocking);
  SANE_Status select_fd(SANE_Int *fd) const;

  // Async-signal-safe, from any thread.
  void cancel();
  // Cancels a running batch and waits for the worker: before the device
  // closes.
  void finish();

 private:
  enum class PageEnd { kNextPage, kBatchOver, kFailed };
  class PluginChunks;

  bool cancelled() const { return cancel_.load(std::memory_order_acquire); }
  // Waits until the frontend lets the worker go on, or a cancel.
  bool wait_until_taken(int pages);
  bool wait_for_room(size_t bytes);
  // Waits `millis` on the wake-up descriptor; false on a cancel.
  bool wait_retry(int millis);
  bool wait_frontend();

  void work();
  SANE_Status start_first_page();
  SANE_Status start_next_page();
  SANE_Status begin_page();
  PageEnd transfer_page();
  PageEnd finish_page();
  void report_page_error(int page);
  void end_job(bool cancel);
  void abandon();
  void drain_wake();
  void set_plugin_cancel(int value);
  bool has_job() const { return hs_.job_id[0] != '\0'; }
  bool is_feeder() const;

  const bb_escl_entry_table &bb_;
  host_session &hs_;
  const SetWakeFd set_wake_fd_;
  int wake_fd_ = -1;
  FrameQueue queue_;
  std::thread worker_;

  static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler stores the cancel flag");
  std::atomic<bool> cancel_{false};
  std::atomic<bool> non_blocking_{false};
  bool batch_begun_ = false;  // the frontend's: a batch was started

  // The frontend's thread only.
  SANE_Parameters page_params_{};
  SANE_Parameters estimate_{};
  bool has_page_ = false;

  // The worker's, and set before it starts.
  ScanSetup setup_;
  std::unique_ptr<PluginChunks> chunks_;
  std::unique_ptr<PageReader> page_;
  SANE_Parameters worker_params_{};
  int pages_ = 0;  // pages begun in the batch
  bool job_open_ = false;
};

}  // namespace bbescl
