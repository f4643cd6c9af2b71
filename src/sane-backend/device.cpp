#include "device.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "debug_log.h"
#include "https_redirect.h"

namespace bbescl {

void Device::FreeDeleter::operator()(host_session *p) const { free(p); }

SANE_Status Device::open(const std::string &uri, TlsVerify tls, int busy_timeout_seconds,
                         std::unique_ptr<Device> &device) {
  std::unique_ptr<Device> d(new Device);
  d->busy_timeout_millis_ = busy_timeout_seconds * 1000;
  SANE_Status status = d->open_device(uri, tls);
  if (status == SANE_STATUS_GOOD) {
    d->session_ = std::make_unique<ScanSession>(*d->bb_, *d->hs_, d->plugin_.channel().set_wake_fd);
    if (!d->session_->valid()) {
      BBESCL_LOG(kLogError, "cannot make the scan's wake-up descriptors");
      status = SANE_STATUS_NO_MEM;
    }
  }
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
  // A scan still running is cancelled, and its job deleted, by its worker
  // before the plug-in is called from here.
  if (session_) session_->finish();
  if (plugin_open_) bb_->close(hs_.get());
  if (device_open_) plugin_.channel().close_device(hs_->dd);
  plugin_open_ = false;
  device_open_ = false;
}

Device::~Device() {
  close_session();
  session_.reset();
  hs_.reset();
  plugin_.unload();
}

const SANE_Option_Descriptor *Device::option_descriptor(SANE_Int option) const {
  return options_.descriptor(option);
}

SANE_Status Device::control_option(SANE_Int option, SANE_Action action, void *value, SANE_Int *info) {
  if (action != SANE_ACTION_GET_VALUE && session_->page_open()) return SANE_STATUS_DEVICE_BUSY;
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
  // During a scan the plug-in belongs to the worker: the page's parameters,
  // or between the pages of a batch those of the job's settings.
  if (session_->parameters(params)) return SANE_STATUS_GOOD;
  session_->wait_idle();
  apply_options();
  bb_->get_parameters(hs_.get(), params, 0);
  return SANE_STATUS_GOOD;
}

SANE_Status Device::start() {
  if (session_->page_open()) return SANE_STATUS_DEVICE_BUSY;
  if (!session_->batch_running()) {
    // A new scan; the last one's worker may still be deleting its job.
    session_->wait_idle();
    apply_options();
    host_session *hs = hs_.get();
    BBESCL_LOG(kLogInfo, "scan: mode %d, source %d, %d dpi, job area %.2f x %.2f mm, format %s, intent %s%s",
               hs->current_mode, hs->current_source, hs->current_resolution, SANE_UNFIX(hs->br_x - hs->tl_x),
               SANE_UNFIX(hs->br_y - hs->tl_y), kFormatNames[options_.transfer_format()],
               kIntentNames[options_.scan_intent()], hs->preview ? ", preview" : "");
    SANE_Parameters estimate{};
    bb_->get_parameters(hs, &estimate, 0);
    ScanSetup setup;
    setup.plan = plan_;
    // The source's whole area, not the region asked for: some devices send
    // the whole area whatever the region, and the page is cropped here.
    const source_geometry &g = options_.geometry();
    setup.bound = page_bound(g.br_x_range.max, g.br_y_range.max, hs->current_resolution);
    setup.threshold = options_.threshold_level();
    setup.adjustments = options_.adjustments();
    setup.busy_timeout_millis = busy_timeout_millis_;
    const SANE_Status status = session_->begin_batch(setup, estimate);
    if (status != SANE_STATUS_GOOD) return status;
  }
  return session_->next_page();
}

SANE_Status Device::read(SANE_Byte *data, SANE_Int max_length, SANE_Int *length) {
  *length = 0;
  if (!data || max_length < 0) return SANE_STATUS_INVAL;
  return session_->read(data, max_length, length);
}

void Device::cancel() {
  if (session_) session_->cancel();
}

}  // namespace bbescl
