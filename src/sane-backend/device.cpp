#include "device.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include "debug_log.h"
#include "https_redirect.h"

namespace bbescl {

namespace {

bool is_feeder(int source_id) { return source_id == BB_SOURCE_ADF || source_id == BB_SOURCE_DUPLEX; }

void sleep_millis(int millis) {
  timespec t{millis / 1000, (millis % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

}  // namespace

// The page's bytes as the plug-in moves them, chunk by chunk, into the
// session's image buffer; each chunk is taken at once (image_count back to
// 0), so the plug-in may read the next.
class Device::PluginChunks final : public ChunkSource {
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

// Marks a call in progress, so that a sane_cancel from a signal handler
// leaves the work to it.
class Device::CallScope {
 public:
  explicit CallScope(Device &d) : d_(d) { d_.in_call_ = 1; }
  ~CallScope() { d_.in_call_ = 0; }

 private:
  Device &d_;
};

void Device::FreeDeleter::operator()(host_session *p) const { free(p); }

SANE_Status Device::open(const std::string &uri, TlsVerify tls, std::unique_ptr<Device> &device) {
  std::unique_ptr<Device> d(new Device);
  const SANE_Status status = d->open_device(uri, tls);
  if (status == SANE_STATUS_GOOD) device = std::move(d);
  return status;
}

SANE_Status Device::open_device(const std::string &uri, TlsVerify tls) {
  // About 4 MB, mostly the image buffer; zero-filled, as the plug-in's
  // lists carry no terminating entry of their own.
  hs_.reset(static_cast<host_session *>(calloc(1, sizeof(host_session))));
  if (!hs_) return SANE_STATUS_NO_MEM;

  std::string error;
  if (!plugin_.load(error)) {
    BBESCL_LOG(kLogError, "%s", error.c_str());
    return SANE_STATUS_UNSUPPORTED;
  }
  bb_ = &plugin_.entries();
  plugin_.channel().set_tls_verify(static_cast<int>(tls));

  bool may_have_moved = false;
  const SANE_Status status = open_session(uri, may_have_moved);
  if (status == SANE_STATUS_GOOD || !may_have_moved) return status;
  // One redirect, only here, only to TLS on the same host.
  const std::string target =
      ask_https_redirect(uri, std::chrono::steady_clock::now() + std::chrono::milliseconds(kRedirectProbeMillis));
  if (target.empty()) return status;
  BBESCL_LOG(kLogInfo, "the device %s redirects to %s: opening that", uri.c_str(), target.c_str());
  close_session();
  memset(hs_.get(), 0, sizeof(host_session));
  return open_session(target, may_have_moved);
}

SANE_Status Device::open_session(const std::string &uri, bool &may_have_moved) {
  may_have_moved = false;
  if (uri.empty() || uri.size() >= BB_DEVICE_URI_SIZE) {
    BBESCL_LOG(kLogError, "device URI \"%s\" is empty or longer than %d bytes", uri.c_str(),
               BB_DEVICE_URI_SIZE - 1);
    return SANE_STATUS_INVAL;
  }
  memcpy(hs_->device_uri, uri.c_str(), uri.size() + 1);

  int dd = 0;
  const int rc = plugin_.channel().open_device(uri.c_str(), &dd);
  if (rc != 0) {
    BBESCL_LOG(kLogError, "cannot open the device %s (channel library error %d)", uri.c_str(), rc);
    return SANE_STATUS_IO_ERROR;
  }
  device_open_ = true;
  hs_->dd = dd;
  // gated_option_cap stays as calloc left it: bb_open marks it inactive,
  // and no option of this backend takes its activity from it.

  plugin_open_ = true;  // bb_close is due even after a failed bb_open
  const int opened = bb_->open(hs_.get());
  if (opened != 0) {
    char refusal[1024] = {};
    if (plugin_.channel().key_refusal(dd, refusal, sizeof refusal) == 1) {
      // Said whatever the debug level: only the user can tell a replaced
      // device from an impostor.
      log_message(kLogError, "%s", refusal);
      return SANE_STATUS_ACCESS_DENIED;
    }
    if (opened == BB_OPEN_NO_SOURCE)
      BBESCL_LOG(kLogError, "the device %s published no scan source (no platen, feeder or camera)",
                 uri.c_str());
    else
      BBESCL_LOG(kLogError, "the device %s did not give its capabilities", uri.c_str());
    may_have_moved = true;
    return SANE_STATUS_IO_ERROR;
  }
  if (!hs_->mode_names[0] || !hs_->source_names[0]) {
    BBESCL_LOG(kLogError, "the device %s announces no %s it can scan with", uri.c_str(),
               hs_->mode_names[0] ? "input source" : "colour mode");
    return SANE_STATUS_IO_ERROR;
  }
  options_.build(*hs_);
  BBESCL_LOG(kLogInfo, "opened %s", uri.c_str());
  return SANE_STATUS_GOOD;
}

void Device::close_session() {
  if (plugin_open_) {
    if (state_ != State::kIdle || has_job()) abort_scan();
    bb_->close(hs_.get());
  }
  if (device_open_) plugin_.channel().close_device(hs_->dd);
  plugin_open_ = false;
  device_open_ = false;
}

Device::~Device() {
  close_session();
  hs_.reset();
  plugin_.unload();
}

const SANE_Option_Descriptor *Device::option_descriptor(SANE_Int option) const {
  return options_.descriptor(option);
}

SANE_Status Device::control_option(SANE_Int option, SANE_Action action, void *value, SANE_Int *info) {
  if (action != SANE_ACTION_GET_VALUE && state_ == State::kPage) return SANE_STATUS_DEVICE_BUSY;
  return options_.control(option, action, value, info);
}

void Device::apply_options() {
  host_session &hs = *hs_;
  hs.current_mode = options_.mode_id();
  hs.current_source = options_.source_id();
  hs.current_resolution = options_.scan_resolution();
  options_.write_scan_choices(hs);
  const source_geometry &g = options_.geometry();
  hs.x_range_max = g.br_x_range.max;
  plan_ = plan_area({options_.tl_x(), options_.tl_y(), options_.br_x(), options_.br_y()}, g,
                    hs.current_source);
  hs.tl_x = plan_.job.tl_x;
  hs.tl_y = plan_.job.tl_y;
  hs.br_x = plan_.job.br_x;
  hs.br_y = plan_.job.br_y;
  hs.effective_tl_x = plan_.delivered.tl_x;
  hs.effective_tl_y = plan_.delivered.tl_y;
  hs.effective_br_x = plan_.delivered.br_x;
  hs.effective_br_y = plan_.delivered.br_y;
}

SANE_Status Device::parameters(SANE_Parameters *params) {
  if (state_ == State::kPage) {
    *params = page_params_;
    return SANE_STATUS_GOOD;
  }
  // Between the pages of a batch the job's settings stay.
  if (state_ == State::kIdle) apply_options();
  bb_->get_parameters(hs_.get(), params, 0);
  return SANE_STATUS_GOOD;
}

SANE_Status Device::start() {
  CallScope scope(*this);
  if (state_ == State::kPage) return SANE_STATUS_DEVICE_BUSY;
  cancelled_ = false;
  cancel_requested_ = 0;
  hs_->cancel_requested = 0;
  SANE_Status status = state_ == State::kIdle ? start_first_page() : start_next_page();
  if (status == SANE_STATUS_GOOD) status = begin_page();
  if (status == SANE_STATUS_GOOD && cancel_requested_) {
    abort_scan();
    status = SANE_STATUS_CANCELLED;
  }
  return status;
}

bool Device::wait_retry(int millis) {
  for (int waited = 0; waited < millis; waited += 100) {
    if (cancel_requested_) return false;
    sleep_millis(std::min(100, millis - waited));
  }
  return !cancel_requested_;
}

SANE_Status Device::start_first_page() {
  apply_options();
  pages_ = 0;
  host_session *hs = hs_.get();
  BBESCL_LOG(kLogInfo, "scan: mode %d, source %d, %d dpi, job area %.2f x %.2f mm, format %s, intent %s%s",
             hs->current_mode, hs->current_source, hs->current_resolution, SANE_UNFIX(hs->br_x - hs->tl_x),
             SANE_UNFIX(hs->br_y - hs->tl_y), kFormatNames[options_.transfer_format()],
             kIntentNames[options_.scan_intent()], hs->preview ? ", preview" : "");
  int waited = 0;
  int pause = kFirstRetryPauseMillis;
  for (;;) {
    SANE_Status status = SANE_STATUS_GOOD;
    // A feeder's state tells an empty or jammed feeder before any job.
    if (is_feeder(hs->current_source)) status = bb_->check_scanner_to_continue(hs);
    if (status == SANE_STATUS_GOOD) {
      status = bb_->start_scan(hs);
      if (status == SANE_STATUS_GOOD) return status;
    }
    // Busy or warming up ("503 Service Unavailable", or a "409 Conflict"
    // while the status shows the scanner working), devices refuse new jobs
    // for a while: that is retried.  Any other failure is not: a job
    // creation whose answer was lost may have created a job all the same.
    const bool retry = status == SANE_STATUS_DEVICE_BUSY && !cancel_requested_;
    if (!retry || waited + pause > kBusyRetryMillis) {
      BBESCL_LOG(kLogError, "the first page did not start: %s%s", status_text(status),
                 retry ? " (the device refused for 30 seconds)" : "");
      end_job(true);
      return status;
    }
    BBESCL_LOG(kLogInfo, "the device refused the job (%s); again in %d ms", status_text(status), pause);
    if (!wait_retry(pause)) {
      end_job(true);
      return SANE_STATUS_CANCELLED;
    }
    waited += pause;
    pause = std::min(2 * pause, kLongestRetryPauseMillis);
  }
}

SANE_Status Device::start_next_page() {
  host_session *hs = hs_.get();
  SANE_Status status = bb_->check_scanner_to_continue(hs);
  if (status == SANE_STATUS_GOOD) status = bb_->start_scan(hs);
  if (status == SANE_STATUS_GOOD) return status;
  if (status == SANE_STATUS_IO_ERROR) {
    // A feeder that jams on the next sheet may show it in its status only
    // after it has refused the page: ask once more what stopped it.
    const SANE_Status why = bb_->check_scanner_to_continue(hs);
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

SANE_Status Device::begin_page() {
  host_session *hs = hs_.get();
  chunks_ = std::make_unique<PluginChunks>(*bb_, *hs);
  // The source's whole area, not the region asked for: some devices send
  // the whole area whatever the region, and the page is cropped here.
  const source_geometry &g = options_.geometry();
  page_ = std::make_unique<PageReader>(*chunks_, &cancel_requested_,
                                       page_bound(g.br_x_range.max, g.br_y_range.max, hs->current_resolution));
  SANE_Status status = page_->read_header();
  if (status != SANE_STATUS_GOOD) {
    if (status != SANE_STATUS_CANCELLED) report_page_error(pages_ + 1);
    bb_->end_page(hs, 1);
    end_job(true);
    return status;
  }
  const ImageHeader &image = page_->image();
  const Crop crop = crop_for(plan_, hs->current_resolution, image.width, image.height);
  if (crop.width <= 0 || crop.height <= 0) {
    BBESCL_LOG(kLogError, "the device's %d x %d page does not reach the scan area", image.width, image.height);
    bb_->end_page(hs, 1);
    end_job(true);
    return SANE_STATUS_IO_ERROR;
  }
  hs->image_pixels_per_row = crop.width;
  hs->image_rows = crop.height;
  bb_->get_parameters(hs, &page_params_, 1);
  const int bytes_per_line = frame_bytes_per_line(hs->current_mode, crop.width);
  if (page_params_.bytes_per_line != bytes_per_line) {
    BBESCL_LOG(kLogError, "the plug-in counts %d bytes a line, the frame has %d", page_params_.bytes_per_line,
               bytes_per_line);
    page_params_.bytes_per_line = bytes_per_line;
  }
  const FrameLayout layout{hs->current_mode, crop.width, bytes_per_line};
  page_->set_frame(crop, layout, options_.threshold_level(), options_.adjustments());
  state_ = State::kPage;
  ++pages_;
  BBESCL_LOG(kLogInfo, "page %d: %s %d x %d, frame %d x %d from (%d, %d)", pages_, format_name(page_->format()),
             image.width, image.height, crop.width, crop.height, crop.x0, crop.y0);
  return SANE_STATUS_GOOD;
}

SANE_Status Device::read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length) {
  CallScope scope(*this);
  *length = 0;
  if (cancel_requested_) {
    abort_scan();
    return SANE_STATUS_CANCELLED;
  }
  if (cancelled_) return SANE_STATUS_CANCELLED;
  if (state_ != State::kPage) return state_ == State::kIdle ? SANE_STATUS_INVAL : SANE_STATUS_EOF;
  if (!data || max_length < 0) return SANE_STATUS_INVAL;

  int got = 0;
  const SANE_Status status = page_->read(data, max_length, &got);
  *length = got;
  switch (status) {
    case SANE_STATUS_GOOD:
      return status;
    case SANE_STATUS_EOF:
      return finish_page();
    case SANE_STATUS_CANCELLED:
      abort_scan();
      return status;
    default:
      // A cancel that came while the data stalled is what ended the read.
      if (cancel_requested_) {
        abort_scan();
        return SANE_STATUS_CANCELLED;
      }
      report_page_error(pages_);
      bb_->end_page(hs_.get(), 1);
      end_job(true);
      return status;
  }
}

// A damaged page or one this backend cannot decode is said whatever the
// debug level: the user can act on it (another transfer-format, the
// device's network link), and a frontend shows only "I/O error".
void Device::report_page_error(int page) {
  if (page_->fault() != PageFault::kNone)
    log_message(kLogError, "page %d: %s", page, page_->error().c_str());
  else
    BBESCL_LOG(kLogError, "page %d: %s", page, page_->error().c_str());
}

SANE_Status Device::finish_page() {
  host_session *hs = hs_.get();
  const SANE_Status drained = page_->drain();
  BBESCL_LOG(kLogDetail, "page %d: at most %zu bytes held by the decoder", pages_, page_->peak_buffered());
  if (drained != SANE_STATUS_GOOD) {
    // The frame is whole, but the transfer broke: the device's state is
    // unknown, so the job ends as a failed read would end it.
    BBESCL_LOG(kLogError, "page %d: %s", pages_, page_->error().c_str());
    bb_->end_page(hs, 1);
    end_job(true);
    return SANE_STATUS_IO_ERROR;
  }
  page_.reset();
  chunks_.reset();
  bb_->end_page(hs, 0);
  // A feeder job goes on with its next sheet; on the platen or a camera
  // each sane_start scans a new page with a job of its own, so a frontend
  // scanning "several pages from the flatbed" gets every page it asks for.
  if (is_feeder(hs->current_source)) {
    state_ = State::kBetweenPages;
  } else {
    end_job(false);
  }
  return SANE_STATUS_EOF;
}

void Device::end_job(bool cancel) {
  page_.reset();
  chunks_.reset();
  // The plug-in deletes a job on the device only when the scan was
  // interrupted; a cancel is one.
  if (cancel && has_job()) hs_->scan_interrupted = 1;
  bb_->end_scan(hs_.get(), cancel ? 1 : 0);
  state_ = State::kIdle;
}

void Device::abort_scan() {
  cancel_requested_ = 0;
  hs_->cancel_requested = 0;
  const bool scanning = state_ == State::kPage || state_ == State::kBetweenPages;
  if (scanning || has_job()) {
    BBESCL_LOG(kLogInfo, "cancelling the scan");
    end_job(true);
  }
  state_ = State::kIdle;
  cancelled_ = scanning;
}

void Device::cancel() {
  if (in_call_) {
    // The plug-in's waits look at its flag; the backend's at its own.
    cancel_requested_ = 1;
    hs_->cancel_requested = 1;
    return;
  }
  abort_scan();
}

}  // namespace bbescl
