#include "device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "capabilities.h"
#include "job_info.h"

namespace escl_sim {

namespace {

// Finished jobs stay listed in the status, newest first, as real devices
// keep a short history.
constexpr size_t kJobHistory = 16;

// The other client's job gets an id no job of this run or past_jobs has.
constexpr int kOtherClientJob = -200000;

// JPEG quality at the least and the most compression a device offers.
constexpr int kBestQuality = 95;
constexpr int kWorstQuality = 10;

// What the simulator can render; a device lists nothing else, so a listed
// format outside these (image/tiff in a captured document) is refused.
bool renders(const std::string &format) {
  return format == "image/jpeg" || format == "image/png" || format == "application/pdf";
}

bool listed(const std::vector<std::string> &list, const std::string &item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

const char *state_name(JobState s) {
  switch (s) {
    case JobState::kPending: return "Pending";
    case JobState::kProcessing: return "Processing";
    case JobState::kCompleted: return "Completed";
    case JobState::kCanceled: return "Canceled";
    case JobState::kAborted: return "Aborted";
  }
  return "Aborted";
}

const char *state_reason(const Job &job) {
  switch (job.state) {
    case JobState::kPending: return "JobQueued";
    case JobState::kProcessing: return job.stopped ? "JobStopped" : "JobScanning";
    case JobState::kCompleted: return "JobCompletedSuccessfully";
    case JobState::kCanceled: return "JobCanceledByUser";
    case JobState::kAborted: return "AbortedBySystem";
  }
  return "None";
}

const char *adf_name(AdfCondition c) {
  switch (c) {
    case AdfCondition::kLoaded: return "ScannerAdfLoaded";
    case AdfCondition::kEmpty: return "ScannerAdfEmpty";
    case AdfCondition::kJam: return "ScannerAdfJam";
    case AdfCondition::kHatchOpen: return "ScannerAdfHatchOpen";
  }
  return "ScannerAdfEmpty";
}

bool alive(const Job &job) {
  return job.state == JobState::kPending || job.state == JobState::kProcessing;
}

const SourceCaps &source_caps(const DeviceModel &m, const ScanSettings &s) {
  switch (s.source) {
    case InputSource::kFeeder: return s.duplex ? m.adf_duplex : m.adf_simplex;
    case InputSource::kCamera: return m.camera;
    case InputSource::kPlaten: break;
  }
  return m.platen;
}

}  // namespace

std::string job_id_for(int n) {
  uint64_t a = mix(static_cast<uint64_t>(n));
  uint64_t b = mix(a);
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-a%03x-%012llx",
                static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xffff),
                static_cast<unsigned>(a & 0xfff), static_cast<unsigned>((b >> 48) & 0xfff),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return text;
}

std::string Device::origin() const {
  return std::string(cfg_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

Device::Device(const Config &cfg, DeviceModel model, uint16_t port)
    : cfg_(cfg),
      model_(std::move(model)),
      port_(port),
      started_(std::chrono::steady_clock::now()),
      busy_answers_left_(cfg.busy_503),
      conflict_answers_left_(cfg.busy_409) {
  if (cfg_.busy_409_other_client > 0) {
    // Someone at the panel started a copy just before our client came.
    Job other;
    other.id = job_id_for(kOtherClientJob);
    other.uuid = "urn:uuid:" + other.id;
    other.format = "image/jpeg";
    other.total_pages = 1;
    other.state = JobState::kProcessing;
    other.foreign = true;
    other.created = started_;
    other_job_id_ = other.id;
    other_client_refusals_left_ = cfg_.busy_409_other_client;
    jobs_.push_front(std::move(other));
  }
}

Job *Device::find(const std::string &id) {
  for (auto &job : jobs_)
    if (job.id == id) return &job;
  return nullptr;
}

void Device::finish(Job &job, JobState state) {
  if (alive(job)) job.state = state;
}

bool Device::pulling_next_sheet(const Job &job, std::chrono::steady_clock::time_point now) const {
  if (cfg_.next_document_too_soon_ms <= 0 || job.settings.source != InputSource::kFeeder ||
      !job.page_ended || job.pages_handed_out >= job.total_pages)
    return false;
  return now - job.page_end < std::chrono::milliseconds(cfg_.next_document_too_soon_ms);
}

AdfCondition Device::adf_condition() const {
  if (adf_fault_active_) return adf_fault_;
  if (cfg_.adf_sheets <= 0) return AdfCondition::kEmpty;
  const auto now = std::chrono::steady_clock::now();
  for (const auto &job : jobs_) {
    if (job.settings.source != InputSource::kFeeder) continue;
    if (cfg_.one_sheet_per_job) {
      // The sensor sees no sheet while the next one is being pulled in.
      if (alive(job) && pulling_next_sheet(job, now)) return AdfCondition::kEmpty;
      break;
    }
    if (!alive(job)) {
      // Between jobs the operator has reloaded the feeder; the server that
      // answers 409 after the last sheet reports it empty until the next job.
      return cfg_.feeder_end == 409 && job.state == JobState::kCompleted && job.pages_handed_out >= job.total_pages
                 ? AdfCondition::kEmpty
                 : AdfCondition::kLoaded;
    }
    if (pulling_next_sheet(job, now)) return AdfCondition::kEmpty;
    // While a feeder job runs the feeder empties sheet by sheet.
    return job.pages_handed_out >= job.total_pages ? AdfCondition::kEmpty : AdfCondition::kLoaded;
  }
  // A feeder that is never reloaded holds what earlier jobs left.
  if (cfg_.one_sheet_per_job)
    return sheets_taken_ < cfg_.adf_sheets ? AdfCondition::kLoaded : AdfCondition::kEmpty;
  return AdfCondition::kLoaded;
}

bool Device::job_format(const ScanSettings &settings, const SourceCaps &caps, std::string &format,
                        std::string &reason) const {
  // A document that lists no formats leaves the two image formats.
  const std::vector<std::string> offered =
      caps.formats.empty() ? std::vector<std::string>{"image/jpeg", "image/png"} : caps.formats;
  if (!settings.format.empty()) {
    format = settings.format;
    if (!listed(offered, format)) {
      reason = "document format not offered for this source: " + format;
      return false;
    }
  } else {
    // Devices take a job without a format in their first listed one.
    format = cfg_.format.empty() ? offered.front() : cfg_.format;
  }
  if (!renders(format)) {
    reason = "document format not rendered: " + format;
    return false;
  }
  return true;
}

void Device::feeder_reaches(Job &job, int page) {
  if (job.settings.source != InputSource::kFeeder || page > job.total_pages) return;
  bool jam = cfg_.jam_at_page > 0 && page == cfg_.jam_at_page;
  bool cover = cfg_.cover_open_at_page > 0 && page == cfg_.cover_open_at_page;
  if (!jam && !cover) return;
  adf_fault_active_ = true;
  adf_fault_ = jam ? AdfCondition::kJam : AdfCondition::kHatchOpen;
  job.stopped = true;
  if (!cfg_.stop_keeps_processing) job.state = JobState::kAborted;
}

int Device::create_job(const ScanSettings &settings, std::string &job_id, std::string &reason) {
  std::lock_guard lock(mutex_);
  if (busy_answers_left_ > 0) {
    --busy_answers_left_;
    reason = "scanner busy";
    return 503;
  }
  scanning_for_another_ = conflict_answers_left_ > 0;
  if (scanning_for_another_) {
    --conflict_answers_left_;
    reason = "scanning for another user";
    return 409;
  }
  if (Job *other = find(other_job_id_); other != nullptr && alive(*other) && other_client_refusals_left_ > 0) {
    // The other client's job ends while this one is being refused.
    if (--other_client_refusals_left_ == 0) finish(*other, JobState::kCompleted);
    reason = "another client's job is processing";
    return 409;
  }
  const SourceCaps &caps = source_caps(model_, settings);
  if (!caps.present) {
    reason = "input source not offered";
    return 409;
  }
  if (settings.x_resolution > caps.max_resolution || settings.y_resolution > caps.max_resolution) {
    reason = "resolution above " + std::to_string(caps.max_resolution) + " dpi";
    return 409;
  }
  std::string format;
  if (!job_format(settings, caps, format, reason)) return 409;
  if (!settings.intent.empty() && !caps.intents.empty() && !listed(caps.intents, settings.intent)) {
    reason = "intent not offered for this source: " + settings.intent;
    return 409;
  }
  int quality = cfg_.jpeg_quality;
  // A device without CompressionFactorSupport ignores the element.
  if (settings.compression_factor >= 0 && model_.compression.present) {
    const CompressionSupport &c = model_.compression;
    if (settings.compression_factor < c.min || settings.compression_factor > c.max) {
      reason = "compression factor outside " + std::to_string(c.min) + "-" + std::to_string(c.max);
      return 409;
    }
    const double share = static_cast<double>(settings.compression_factor - c.min) / (c.max - c.min);
    quality = static_cast<int>(std::lround(kBestQuality - (kBestQuality - kWorstQuality) * share));
  }
  const bool feeder = settings.source == InputSource::kFeeder;
  if (feeder && (cfg_.adf_sheets <= 0 || (cfg_.one_sheet_per_job && sheets_taken_ >= cfg_.adf_sheets))) {
    reason = "feeder empty";
    return 409;
  }
  // Clearing a jam or closing the cover comes with the next job.
  adf_fault_active_ = false;

  Job job;
  job.id = job_id_for(++jobs_created_);
  job.uuid = "urn:uuid:" + job.id;
  job.settings = settings;
  job.format = format;
  job.jpeg_quality = quality;
  job.created = std::chrono::steady_clock::now();
  if (feeder && cfg_.one_sheet_per_job) {
    job.first_sheet = sheets_taken_ + 1;
    job.total_pages = settings.duplex ? 2 : 1;
  } else if (feeder) {
    job.total_pages = cfg_.adf_sheets * (settings.duplex ? 2 : 1);
  } else {
    job.total_pages = 1;
  }
  job.not_ready_left = cfg_.not_ready_404;
  job.pending_polls_left = cfg_.pending_polls;
  job.waiting_for_document = cfg_.pending_until_document_request;
  job.state = job.pending_polls_left > 0 || job.waiting_for_document ? JobState::kPending
                                                                      : JobState::kProcessing;
  job.hidden = cfg_.job_vanishes != JobVanish::kNone;
  job.busy_answers_left = cfg_.busy_next_document;
  if (cfg_.abort_job) job.state = JobState::kAborted;
  feeder_reaches(job, 1);
  job_id = job.id;
  jobs_.push_front(std::move(job));
  while (jobs_.size() > kJobHistory) {
    auto oldest = std::find_if(jobs_.rbegin(), jobs_.rend(), [](const Job &j) { return !alive(j); });
    if (oldest == jobs_.rend()) break;
    jobs_.erase(std::next(oldest).base());
  }
  return 201;
}

std::string Device::status_document() {
  std::lock_guard lock(mutex_);
  bool busy = scanning_for_another_;
  for (auto &job : jobs_) {
    if (job.state == JobState::kPending && job.pending_polls_left > 0) {
      // This answer is one of the polls the job stays pending for.
      if (--job.pending_polls_left == 0 && !job.waiting_for_document)
        job.state = JobState::kProcessing;
      busy = true;
    } else if (job.state == JobState::kProcessing && !job.stopped) {
      busy = true;
    } else if (job.state == JobState::kPending && job.between_pages) {
      busy = true;  // the scanner holds the job between two sheets
    }
  }
  // A jammed feeder or an open cover stops the scanner until the operator
  // clears it (here: until the next job is created).
  const char *scanner_state = adf_fault_active_ ? "Stopped" : busy ? "Processing" : "Idle";
  auto now = std::chrono::steady_clock::now();
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<scan:ScannerStatus xmlns:scan=\"" << kScanNamespace << "\" xmlns:pwg=\"" << kPwgNamespace
    << "\">\n"
    << "  <pwg:Version>2.63</pwg:Version>\n"
    << "  <pwg:State>" << scanner_state << "</pwg:State>\n";
  if (model_.has_adf()) o << "  <scan:AdfState>" << adf_name(adf_condition()) << "</scan:AdfState>\n";
  o << "  <scan:Jobs>\n";
  write_past_jobs(o, now);
  for (const auto &job : jobs_) {
    if (job.hidden) continue;
    JobInfoEntry entry;
    entry.id = job.id;
    entry.uuid = job.uuid;
    entry.age_seconds = std::chrono::duration_cast<std::chrono::seconds>(now - job.created).count();
    entry.images_completed = job.pages_completed;
    entry.images_to_transfer =
        job.state == JobState::kProcessing && !job.stopped && job.pages_handed_out < job.total_pages
            ? 1
            : 0;
    entry.state = state_name(job.state);
    entry.reason = state_reason(job);
    write_job_info(o, entry, cfg_.job_uri_style, origin());
  }
  o << "  </scan:Jobs>\n"
    << "</scan:ScannerStatus>\n";
  return o.str();
}

// Jobs of earlier sessions, listed before the device's own: a client that
// reads only the head of a long status misses the live job.
void Device::write_past_jobs(std::ostream &o, std::chrono::steady_clock::time_point now) const {
  const long long uptime = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
  for (int k = 0; k < cfg_.past_jobs; ++k) {
    JobInfoEntry entry;
    entry.id = job_id_for(-1 - k);  // never the id of a job created here
    entry.uuid = "urn:uuid:" + entry.id;
    entry.age_seconds = uptime + 300 + 420LL * k;
    entry.images_completed = 1 + k % 3;
    entry.state = "Completed";
    entry.reason = "JobCompletedSuccessfully";
    write_job_info(o, entry, cfg_.job_uri_style, origin());
  }
}

int Device::next_document(const std::string &job_id, PageOrder &order, std::string &busy_text) {
  std::lock_guard lock(mutex_);
  Job *job = find(job_id);
  if (!job || (job->hidden && cfg_.job_vanishes == JobVanish::kEntirely)) return 404;
  if (job->foreign) return 404;  // not ours to take
  if (job->state == JobState::kCanceled || job->state == JobState::kCompleted) return 404;
  // A stopped job (jam, open cover, aborted by the device) cannot deliver.
  if (job->state == JobState::kAborted || job->stopped) return 409;
  if (job->state == JobState::kPending) {
    if (job->pending_polls_left > 0) return 503;  // still warming up: try again
    job->waiting_for_document = false;
    job->state = JobState::kProcessing;
    if (job->between_pages) {
      // This request pulls the next sheet in: that is when it jams.
      job->between_pages = false;
      feeder_reaches(*job, job->pages_handed_out + 1);
      if (job->stopped || job->state == JobState::kAborted) return 409;
    }
  }
  if (job->not_ready_left > 0) {
    // Devices that answer "no page yet" with the code others use for "no
    // more pages": the job goes on.
    --job->not_ready_left;
    return cfg_.not_ready_410 ? 410 : 404;
  }
  if (pulling_next_sheet(*job, std::chrono::steady_clock::now())) return 404;
  if (job->pages_handed_out >= job->total_pages) {
    finish(*job, JobState::kCompleted);
    return job->settings.source == InputSource::kFeeder ? cfg_.feeder_end : 404;
  }
  if (job->busy_answers_left > 0) {
    // Still scanning the page: the client is to ask again.
    --job->busy_answers_left;
    busy_text = "Scanning page " + std::to_string(job->pages_handed_out + 1) + ", try again\n";
    return 503;
  }
  job->busy_answers_left = cfg_.busy_next_document;  // for the page after this one
  order.job_id = job->id;
  order.page = ++job->pages_handed_out;
  const int first = job->first_sheet - 1;
  if (job->settings.source == InputSource::kFeeder && job->settings.duplex)
    order.side = PageSide{first + (order.page + 1) / 2, order.page % 2 == 0};
  else if (job->settings.source == InputSource::kFeeder)
    order.side = PageSide{first + order.page, false};
  if (cfg_.one_sheet_per_job && job->settings.source == InputSource::kFeeder && !order.side.back)
    ++sheets_taken_;
  order.settings = job->settings;
  order.format = job->format;
  order.jpeg_quality = job->jpeg_quality;
  const SourceCaps &caps = source_caps(model_, job->settings);
  const ScanSettings &s = job->settings;
  if (s.has_region) {
    // The device scans what lies on its glass: the region, cut to its area.
    order.x_offset_300 = std::min(s.x_offset, caps.max_width - 1);
    order.y_offset_300 = std::min(s.y_offset, caps.max_height - 1);
    order.width_300 = std::min(s.width, caps.max_width - order.x_offset_300);
    order.height_300 = std::min(s.height, caps.max_height - order.y_offset_300);
  } else {
    order.width_300 = caps.max_width;
    order.height_300 = caps.max_height;
  }
  return 200;
}

void Device::page_sent(const std::string &job_id, int page) {
  std::lock_guard lock(mutex_);
  Job *job = find(job_id);
  if (!job) return;
  job->pages_completed = std::max(job->pages_completed, page);
  job->page_ended = true;
  job->page_end = std::chrono::steady_clock::now();
  if (job->state != JobState::kProcessing) return;
  if (cfg_.pending_between_pages && job->settings.source == InputSource::kFeeder) {
    // One server scans a sheet only when its document is asked for; in
    // between, the job waits Pending (next_document checks the feeder).
    job->state = JobState::kPending;
    job->between_pages = true;
    return;
  }
  if (page >= job->total_pages) {
    // A feeder job ends when the client asks past the last sheet (404): until
    // then the scanner shows the feeder empty under a running job.
    if (job->settings.source != InputSource::kFeeder) finish(*job, JobState::kCompleted);
    return;
  }
  feeder_reaches(*job, page + 1);
}

int Device::delete_job(const std::string &job_id) {
  std::lock_guard lock(mutex_);
  Job *job = find(job_id);
  if (!job || (job->hidden && cfg_.job_vanishes == JobVanish::kEntirely)) return 404;
  finish(*job, JobState::kCanceled);
  return 200;
}

int Device::image_info(const std::string &job_id, std::string &document) {
  std::lock_guard lock(mutex_);
  Job *job = find(job_id);
  if (!job || job->pages_handed_out == 0) return 404;
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<scan:ScanImageInfo xmlns:scan=\"" << kScanNamespace << "\" xmlns:pwg=\"" << kPwgNamespace
    << "\">\n"
    << "  <pwg:JobUri>/eSCL/ScanJobs/" << job->id << "</pwg:JobUri>\n"
    << "  <pwg:JobUuid>" << job->uuid << "</pwg:JobUuid>\n"
    << "  <scan:ImagesCompleted>" << job->pages_completed << "</scan:ImagesCompleted>\n"
    << "</scan:ScanImageInfo>\n";
  document = o.str();
  return 200;
}

int Device::jobs_alive() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(jobs_.begin(), jobs_.end(), [](const Job &j) { return alive(j) && !j.foreign; }));
}

}  // namespace escl_sim
