// The scanner behind the HTTP front: its jobs, its feeder and the faults it
// plays, and the ScannerStatus document that shows them. Thread-safe; the
// HTTP side asks it what to answer and reports what it sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>

#include "capabilities.h"
#include "scan_settings.h"
#include "simulator.h"

namespace escl_sim {

enum class JobState { kPending, kProcessing, kCompleted, kCanceled, kAborted };

// Feeder condition as the status document reports it.
enum class AdfCondition { kLoaded, kEmpty, kJam, kHatchOpen };

struct Job {
  std::string id;
  std::string uuid;
  ScanSettings settings;
  std::string format;  // MIME type of its pages
  int total_pages = 0;
  int pages_handed_out = 0;  // NextDocument answers started
  int pages_completed = 0;   // pages whose answer was written
  JobState state = JobState::kPending;
  int pending_polls_left = 0;
  bool waiting_for_document = false;  // pending until the first NextDocument
  bool between_pages = false;         // pending until the next NextDocument scans a sheet
  int busy_answers_left = 0;          // 503 answers still due before the next page
  bool stopped = false;               // jam or open cover stopped it
  bool hidden = false;                // vanished from the status list
  bool foreign = false;               // another client's job: never ours to take, never alive for us
  int first_sheet = 1;                // feeder sheet its first page shows
  int not_ready_left = 0;             // NextDocument requests still answered "not ready"
  int jpeg_quality = 90;
  bool page_ended = false;            // a page's data was written ...
  std::chrono::steady_clock::time_point page_end;  // ... at this time
  std::chrono::steady_clock::time_point created;
};

// A page the HTTP side is to render and send.
struct PageOrder {
  std::string job_id;
  int page = 0;  // 1-based within the job
  PageSide side;  // what the page shows in its stamp
  ScanSettings settings;
  std::string format;
  int jpeg_quality = 90;  // of the page, or of the JPEG a PDF page wraps
  int width_300 = 0;  // area actually scanned, 1/300 inch
  int height_300 = 0;
  int x_offset_300 = 0;
  int y_offset_300 = 0;
};

class Device {
 public:
  // port: where the device listens, for absolute JobUris.
  Device(const Config &cfg, DeviceModel model, uint16_t port);

  const DeviceModel &model() const { return model_; }

  // POST /eSCL/ScanJobs: 201 with the new job's id, or 503 / 409 with a reason.
  int create_job(const ScanSettings &settings, std::string &job_id, std::string &reason);
  // GET /eSCL/ScannerStatus; every call is one status poll.
  std::string status_document();
  // GET .../NextDocument: 200 with the page to send, or 404 / 409 / 410 / 503;
  // busy_text is the body of a 503 for a page still being scanned.
  int next_document(const std::string &job_id, PageOrder &order, std::string &busy_text);
  // The answer for a page was written (whole or not).
  void page_sent(const std::string &job_id, int page);
  // DELETE /eSCL/ScanJobs/ID: 200 or 404.
  int delete_job(const std::string &job_id);
  // GET .../ScanImageInfo: 200 with a document, or 404.
  int image_info(const std::string &job_id, std::string &document);
  // Jobs still Pending or Processing.
  int jobs_alive();

 private:
  Job *find(const std::string &id);
  // The feeder reaches page `page` of a feeder job: jam or open cover?
  void feeder_reaches(Job &job, int page);
  AdfCondition adf_condition() const;
  // A feeder page ended less than next_document_too_soon_ms ago and the
  // device is still pulling in the next sheet.
  bool pulling_next_sheet(const Job &job, std::chrono::steady_clock::time_point now) const;
  // The format of a new job, or a 409 reason.
  bool job_format(const ScanSettings &settings, const SourceCaps &caps, std::string &format,
                  std::string &reason) const;
  void finish(Job &job, JobState state);
  void write_past_jobs(std::ostream &o, std::chrono::steady_clock::time_point now) const;

  Config cfg_;
  DeviceModel model_;
  uint16_t port_;
  // "http://127.0.0.1:PORT" (https over TLS): how absolute URIs begin.
  std::string origin() const;
  std::chrono::steady_clock::time_point started_;
  std::mutex mutex_;
  std::deque<Job> jobs_;  // newest first
  int jobs_created_ = 0;
  int busy_answers_left_ = 0;
  // Another user's job (a copy, say) keeps the scanner: job creations get
  // "409 Conflict" and the status shows the scanner Processing.
  int conflict_answers_left_ = 0;
  bool scanning_for_another_ = false;
  // Another client's job, when busy_409_other_client: job creations are
  // refused until it ends.
  std::string other_job_id_;
  int other_client_refusals_left_ = 0;
  // Sheets taken from a feeder that is never reloaded (one_sheet_per_job).
  int sheets_taken_ = 0;
  AdfCondition adf_fault_ = AdfCondition::kLoaded;
  bool adf_fault_active_ = false;
};

// "ID" of the n-th job of a device: a UUID-shaped text, deterministic.
std::string job_id_for(int n);

}  // namespace escl_sim
