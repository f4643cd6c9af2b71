#include "scan_session.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>

#include "debug_log.h"

namespace bbescl {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until one of `fds` is readable, or `millis` (-1: no limit) passed.
void wait_readable(std::initializer_list<int> fds, int millis) {
  pollfd p[2] = {};
  nfds_t n = 0;
  for (int fd : fds) p[n++] = {fd, POLLIN, 0};
  // An interrupted wait is only an early one: every caller looks again.
  poll(p, n, millis);
}

}  // namespace

// The page's bytes as the plug-in moves them, chunk by chunk, into the
// session's image buffer; each chunk is taken at once (image_count back to
// 0), so the plug-in may read the next.
class ScanSession::PluginChunks final : public ChunkSource {
 public:
  PluginChunks(const bb_escl_entry_table &bb, host_session &hs) : bb_(bb), hs_(hs) {}

  Result next_chunk(const uint8_t **data, size_t *size) override {
    hs_.image_count = 0;
    const int failed = bb_.get_image_data(&hs_);
    const int32_t count = hs_.image_count;
    hs_.image_count = 0;
    if (failed) return Result::kError;
    if (count == 0) return Result::kEnd;
    if (count < 0 || count > BB_IMAGE_BUFFER_SIZE) {
      BBESCL_LOG(kLogError, "the plug-in reported %d bytes of image data", count);
      return Result::kError;
    }
    *data = hs_.image_buffer;
    *size = static_cast<size_t>(count);
    return Result::kData;
  }

  std::string content_type() const override {
    return std::string(hs_.page_content_type, strnlen(hs_.page_content_type, sizeof hs_.page_content_type));
  }

 private:
  const bb_escl_entry_table &bb_;
  host_session &hs_;
};

ScanSession::ScanSession(const bb_escl_entry_table &bb, host_session &hs, SetWakeFd set_wake_fd)
    : bb_(bb), hs_(hs), set_wake_fd_(set_wake_fd) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ScanSession::~ScanSession() {
  finish();
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool ScanSession::valid() const { return wake_fd_ >= 0 && queue_.valid(); }

bool ScanSession::is_feeder() const {
  return hs_.current_source == BB_SOURCE_ADF || hs_.current_source == BB_SOURCE_DUPLEX;
}

void ScanSession::set_plugin_cancel(int value) {
  // The plug-in reads its flag with relaxed atomic loads.
  __atomic_store_n(&hs_.cancel_requested, value, __ATOMIC_RELAXED);
}

void ScanSession::drain_wake() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
}

// ---- the frontend's side ----

void ScanSession::cancel() {
  // Only the first cancel of a scan acts: a second one (Ctrl-C pressed
  // again) must not cut short the job's deletion the first one started.
  if (cancel_.exchange(true, std::memory_order_acq_rel)) return;
  set_plugin_cancel(1);
  const int saved = errno;  // a signal handler leaves errno as it found it
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
  errno = saved;
}

bool ScanSession::batch_running() const {
  return worker_.joinable() && !cancelled() && !queue_.batch_over();
}

void ScanSession::wait_idle() {
  if (worker_.joinable()) worker_.join();
  // A cancel after the scan's end leaves the plug-in's flag set; the calls
  // made outside a scan (parameters, the device's close) must not see it.
  set_plugin_cancel(0);
}

void ScanSession::finish() {
  if (worker_.joinable() && !queue_.batch_over()) cancel();
  wait_idle();
}

SANE_Status ScanSession::begin_batch(const ScanSetup &setup, const SANE_Parameters &estimate) {
  wait_idle();
  queue_.reset();
  has_page_ = false;
  non_blocking_.store(false, std::memory_order_relaxed);
  setup_ = setup;
  estimate_ = estimate;
  pages_ = 0;
  job_open_ = true;
  // A cancel that came after the last scan ended (frontends cancel after
  // every scan) is not one of this scan; one that comes from here on is.
  drain_wake();
  set_plugin_cancel(0);
  cancel_.store(false, std::memory_order_release);
  batch_begun_ = true;
  try {
    worker_ = std::thread(&ScanSession::work, this);
  } catch (const std::system_error &) {
    BBESCL_LOG(kLogError, "cannot start the scan's thread");
    job_open_ = false;
    return SANE_STATUS_NO_MEM;
  }
  return SANE_STATUS_GOOD;
}

bool ScanSession::wait_frontend() {
  if (cancelled()) return false;
  wait_readable({queue_.ready_fd(), wake_fd_}, -1);
  return !cancelled();
}

SANE_Status ScanSession::next_page() {
  for (;;) {
    if (cancelled()) return SANE_STATUS_CANCELLED;
    SANE_Status status = SANE_STATUS_GOOD;
    if (queue_.take_page(&status, &page_params_)) {
      has_page_ = status == SANE_STATUS_GOOD;
      return status;
    }
    if (!wait_frontend()) return SANE_STATUS_CANCELLED;
  }
}

SANE_Status ScanSession::read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length) {
  *length = 0;
  for (;;) {
    if (cancelled()) return SANE_STATUS_CANCELLED;
    if (!queue_.reading()) {
      // After a page's end: EOF between a feeder's pages, nothing to read
      // once the batch is over or before it began.
      return batch_running() ? SANE_STATUS_EOF : SANE_STATUS_INVAL;
    }
    SANE_Status status = SANE_STATUS_GOOD;
    if (queue_.read(data, max_length, length, &status)) {
      if (status != SANE_STATUS_GOOD) has_page_ = false;
      return status;
    }
    if (non_blocking_.load(std::memory_order_relaxed)) return SANE_STATUS_GOOD;
    if (!wait_frontend()) return SANE_STATUS_CANCELLED;
  }
}

bool ScanSession::parameters(SANE_Parameters *params) const {
  if (has_page_) {
    *params = page_params_;
    return true;
  }
  if (!batch_running()) return false;
  *params = estimate_;
  return true;
}

SANE_Status ScanSession::set_io_mode(bool non_blocking) {
  // SANE allows the mode only once a scan has started.
  if (!batch_begun_) return SANE_STATUS_INVAL;
  non_blocking_.store(non_blocking, std::memory_order_relaxed);
  return SANE_STATUS_GOOD;
}

SANE_Status ScanSession::select_fd(SANE_Int *fd) const {
  if (!batch_begun_) return SANE_STATUS_INVAL;
  *fd = queue_.ready_fd();
  return SANE_STATUS_GOOD;
}

// ---- the worker ----

bool ScanSession::wait_until_taken(int pages) {
  for (;;) {
    // Emptied first, so that a take after the look below still wakes us.
    queue_.drain_room();
    if (cancelled()) return false;
    if (queue_.pages_taken() >= pages) return true;
    wait_readable({queue_.room_fd(), wake_fd_}, -1);
  }
}

bool ScanSession::wait_for_room(size_t bytes) {
  for (;;) {
    queue_.drain_room();
    if (cancelled()) return false;
    if (queue_.has_room(bytes)) return true;
    wait_readable({queue_.room_fd(), wake_fd_}, -1);
  }
}

bool ScanSession::wait_retry(int millis) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    if (cancelled()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    wait_readable({wake_fd_}, static_cast<int>(left));
  }
}

void ScanSession::work() {
  if (set_wake_fd_) set_wake_fd_(hs_.dd, wake_fd_);
  for (int page = 1;; ++page) {
    SANE_Status status = page == 1 ? start_first_page() : start_next_page();
    if (status == SANE_STATUS_GOOD) status = begin_page();
    if (status != SANE_STATUS_GOOD) {
      if (!cancelled()) queue_.push_start_failure(status);
      break;
    }
    if (transfer_page() != PageEnd::kNextPage) break;
    // At most one page ahead: the page after next waits until the
    // frontend has begun the next.
    if (!wait_until_taken(page)) break;
  }
  if (cancelled()) abandon();
  if (set_wake_fd_) set_wake_fd_(hs_.dd, -1);
}

// Every path that sees a cancel leaves the job to this: its deletion must
// not meet the cancel's wake-up descriptor, which would end it at once.
void ScanSession::abandon() {
  queue_.abandon(SANE_STATUS_CANCELLED);
  // The job's deletion must reach the device: the wake-up descriptor and
  // the plug-in's flag are cleared before it is asked.
  drain_wake();
  set_plugin_cancel(0);
  if (job_open_) {
    BBESCL_LOG(kLogInfo, "cancelling the scan");
    end_job(true);
  }
}

SANE_Status ScanSession::start_first_page() {
  host_session *hs = &hs_;
  const Clock::time_point begun = Clock::now();
  const Clock::time_point give_up = begun + std::chrono::milliseconds(setup_.busy_timeout_millis);
  int pause = kFirstRetryPauseMillis;
  for (;;) {
    SANE_Status status = SANE_STATUS_GOOD;
    // A feeder's state tells an empty or jammed feeder before any job.
    if (is_feeder()) status = bb_.check_scanner_to_continue(hs);
    if (status == SANE_STATUS_GOOD) {
      status = bb_.start_scan(hs);
      if (status == SANE_STATUS_GOOD) return status;
    }
    // Busy or warming up ("503 Service Unavailable", or a "409 Conflict"
    // while the status shows the scanner working), devices refuse new jobs
    // for a while: that is retried.  Any other failure is not: a job
    // creation whose answer was lost may have created a job all the same.
    const bool retry = status == SANE_STATUS_DEVICE_BUSY && !cancelled();
    const Clock::time_point now = Clock::now();
    if (!retry || now >= give_up) {
      const long waited = std::chrono::duration_cast<std::chrono::seconds>(now - begun).count();
      if (cancelled()) return SANE_STATUS_CANCELLED;
      if (retry)
        BBESCL_LOG(kLogError, "the first page did not start: %s (the device refused for %ld seconds)",
                   status_text(status), waited);
      else
        BBESCL_LOG(kLogError, "the first page did not start: %s", status_text(status));
      end_job(true);
      return status;
    }
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(give_up - now).count());
    const int wait = std::min(pause, std::max(left, 1));
    BBESCL_LOG(kLogInfo, "the device refused the job (%s); again in %d ms", status_text(status), wait);
    if (!wait_retry(wait)) return SANE_STATUS_CANCELLED;
    pause = std::min(2 * pause, kLongestRetryPauseMillis);
  }
}

SANE_Status ScanSession::start_next_page() {
  host_session *hs = &hs_;
  SANE_Status status = bb_.check_scanner_to_continue(hs);
  if (status == SANE_STATUS_GOOD) status = bb_.start_scan(hs);
  if (status == SANE_STATUS_GOOD) return status;
  if (cancelled()) return SANE_STATUS_CANCELLED;
  if (status == SANE_STATUS_IO_ERROR) {
    // A feeder that jams on the next sheet may show it in its status only
    // after it has refused the page: ask once more what stopped it.
    const SANE_Status why = bb_.check_scanner_to_continue(hs);
    if (why == SANE_STATUS_JAMMED || why == SANE_STATUS_COVER_OPEN) status = why;
  }
  if (status == SANE_STATUS_NO_DOCS) {
    BBESCL_LOG(kLogInfo, "the feeder is done after %d page(s)", pages_);
    end_job(false);
  } else {
    BBESCL_LOG(kLogError, "page %d did not start: %s", pages_ + 1, status_text(status));
    end_job(true);
  }
  return status;
}

SANE_Status ScanSession::begin_page() {
  host_session *hs = &hs_;
  chunks_ = std::make_unique<PluginChunks>(bb_, hs_);
  // The source's whole area, not the region asked for: some devices send
  // the whole area whatever the region, and the page is cropped here.
  page_ = std::make_unique<PageReader>(*chunks_, &cancel_, setup_.bound);
  SANE_Status status = page_->read_header();
  if (status != SANE_STATUS_GOOD && cancelled()) return SANE_STATUS_CANCELLED;
  if (status != SANE_STATUS_GOOD) {
    report_page_error(pages_ + 1);
    bb_.end_page(hs, 1);
    end_job(true);
    return status;
  }
  const ImageHeader &image = page_->image();
  const Crop crop = crop_for(setup_.plan, hs->current_resolution, image.width, image.height);
  if (crop.width <= 0 || crop.height <= 0) {
    BBESCL_LOG(kLogError, "the device's %d x %d page does not reach the scan area", image.width, image.height);
    bb_.end_page(hs, 1);
    end_job(true);
    return SANE_STATUS_IO_ERROR;
  }
  hs->image_pixels_per_row = crop.width;
  hs->image_rows = crop.height;
  bb_.get_parameters(hs, &worker_params_, 1);
  const int bytes_per_line = frame_bytes_per_line(hs->current_mode, crop.width);
  if (worker_params_.bytes_per_line != bytes_per_line) {
    BBESCL_LOG(kLogError, "the plug-in counts %d bytes a line, the frame has %d", worker_params_.bytes_per_line,
               bytes_per_line);
    worker_params_.bytes_per_line = bytes_per_line;
  }
  const FrameLayout layout{hs->current_mode, crop.width, bytes_per_line};
  page_->set_frame(crop, layout, setup_.threshold, setup_.adjustments);
  ++pages_;
  BBESCL_LOG(kLogInfo, "page %d: %s %d x %d, frame %d x %d from (%d, %d)", pages_, format_name(page_->format()),
             image.width, image.height, crop.width, crop.height, crop.x0, crop.y0);
  queue_.push_page(worker_params_);
  return SANE_STATUS_GOOD;
}

ScanSession::PageEnd ScanSession::transfer_page() {
  const size_t row = static_cast<size_t>(std::max(worker_params_.bytes_per_line, 1));
  const size_t block = std::max(row, kFrameBlockBytes / row * row);
  for (;;) {
    if (!wait_for_room(block)) return PageEnd::kFailed;
    std::vector<uint8_t> bytes = queue_.buffer(block);
    size_t filled = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    while (filled < block && status == SANE_STATUS_GOOD) {
      int got = 0;
      status = page_->read(bytes.data() + filled, static_cast<int>(block - filled), &got);
      filled += static_cast<size_t>(got);
    }
    bytes.resize(filled);
    queue_.push_data(std::move(bytes));
    switch (status) {
      case SANE_STATUS_GOOD:
        continue;
      case SANE_STATUS_EOF:
        return finish_page();
      case SANE_STATUS_CANCELLED:
        return PageEnd::kFailed;
      default:
        // A cancel that came while the data stalled is what ended the read.
        if (cancelled()) return PageEnd::kFailed;
        report_page_error(pages_);
        bb_.end_page(&hs_, 1);
        end_job(true);
        queue_.push_page_end(status, true);
        return PageEnd::kFailed;
    }
  }
}

// A damaged page or one this backend cannot decode is said whatever the
// debug level: the user can act on it (another transfer-format, the
// device's network link), and a frontend shows only "I/O error".
void ScanSession::report_page_error(int page) {
  if (page_->fault() != PageFault::kNone)
    log_message(kLogError, "page %d: %s", page, page_->error().c_str());
  else
    BBESCL_LOG(kLogError, "page %d: %s", page, page_->error().c_str());
}

ScanSession::PageEnd ScanSession::finish_page() {
  host_session *hs = &hs_;
  const SANE_Status drained = page_->drain();
  BBESCL_LOG(kLogDetail, "page %d: at most %zu bytes held by the decoder", pages_, page_->peak_buffered());
  if (drained != SANE_STATUS_GOOD) {
    if (cancelled()) return PageEnd::kFailed;
    // The frame is whole, but the transfer broke: the device's state is
    // unknown, so the job ends as a failed read would end it.
    BBESCL_LOG(kLogError, "page %d: %s", pages_, page_->error().c_str());
    bb_.end_page(hs, 1);
    end_job(true);
    queue_.push_page_end(SANE_STATUS_IO_ERROR, true);
    return PageEnd::kFailed;
  }
  page_.reset();
  chunks_.reset();
  bb_.end_page(hs, 0);
  // A feeder job goes on with its next sheet; on the platen or a camera
  // each sane_start scans a new page with a job of its own, so a frontend
  // scanning "several pages from the flatbed" gets every page it asks for.
  // The page's end is told only once the job is over, so that a cancel
  // after it finds nothing left to delete.
  if (is_feeder()) {
    queue_.push_page_end(SANE_STATUS_EOF, false);
    return PageEnd::kNextPage;
  }
  end_job(false);
  queue_.push_page_end(SANE_STATUS_EOF, true);
  return PageEnd::kBatchOver;
}

void ScanSession::end_job(bool cancel) {
  page_.reset();
  chunks_.reset();
  // The plug-in deletes a job on the device only when the scan was
  // interrupted; a cancel is one.
  if (cancel && has_job()) hs_.scan_interrupted = 1;
  bb_.end_scan(&hs_, cancel ? 1 : 0);
  job_open_ = false;
}

}  // namespace bbescl
