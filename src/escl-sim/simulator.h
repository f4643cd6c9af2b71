// escl-sim: an eSCL scanner on 127.0.0.1, for tests and for trying clients.
//
// The simulator answers the eSCL requests over HTTP/1.1 (capabilities,
// status, job creation, next document, job deletion) with documents shaped
// like those of real devices, and renders each page as a deterministic test
// chart.  Device behaviours and device faults are selected per run through
// Config, so a client can be driven through the quirks it has to survive.
//
// In-process use:
//   escl_sim::Config cfg;
//   cfg.profile = "mfp";
//   escl_sim::Server server(cfg);
//   server.start();                 // port 0: a free port, bound on return
//   ... talk to server.base_url() ...
//   server.stop();                  // also done by the destructor
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace escl_sim {

// How the bodies of capabilities and status answers are framed.
enum class Framing { kContentLength, kChunked, kClose };

// What the Location header of a job-creation answer looks like.
enum class LocationStyle {
  kAbsolute,       // http://127.0.0.1:PORT/eSCL/ScanJobs/ID
  kRelative,       // /eSCL/ScanJobs/ID
  kTrailingSlash,  // http://127.0.0.1:PORT/eSCL/ScanJobs/ID/
};

// How the status document writes a job's pwg:JobUri.
enum class JobUriStyle {
  kPath,           // /eSCL/ScanJobs/ID
  kPadded,         // the path on a line of its own, blanks around it
  kAbsolute,       // http://127.0.0.1:PORT/eSCL/ScanJobs/ID
  kTrailingSlash,  // /eSCL/ScanJobs/ID/
};

// The exchanges of a scan, for faults aimed at one of them (kAny: every
// request).
enum class RequestKind { kAny, kCapabilities, kStatus, kCreateJob, kNextDocument, kDelete };

// Broken and hostile devices (the names, exchanges and wire forms are in
// hostile.h and in usage()).
enum class Hostile {
  // answers without end, or none
  kGarbageLines,    // endless lines of text instead of a status line
  kEndlessChunked,  // 200 OK whose chunked body never ends
  kEndless404,      // 404 whose body, framed by nothing, never ends
  kEndless503,      // the same with 503 Service Unavailable
  kTrickle,         // the whole answer, one byte a second
  kSilent,          // no answer; the connection held open
  // refused or unusable answers
  kMoved,           // 301 Moved Permanently to another path
  kUnauthorized,    // 401 Unauthorized, the request not acted on
  kServerError,     // 500 Internal Server Error after acting on it
  kEmptyThen503,    // "200 OK" with Content-Length: 0, then a 503
  // harmless differences
  kNoReason,        // status line without reason phrase: "HTTP/1.1 201"
  kHttp10,          // HTTP/1.0 answers, counted bodies, connection closed after each
  kContinueFirst,   // "100 Continue" before every answer
  kNulInHeader,     // the first header line holds a NUL byte
  kLong404,         // 404 answers carry a 10 KB body, Content-Length framed
  // pages
  kHugeProgressive, // a 3 KB progressive JPEG whose header says 60000 x 60000
  kChunkWithoutCrlf,  // the first chunk's data is not followed by CR LF
  kCutPage,         // the image data ends early, the chunked framing whole
  kCountedPage,     // the page framed by Content-Length instead of chunks
  kChunkExtensions, // every chunk-size line carries a 100-byte extension
  kSlowPage,        // after its first KiB the page comes at 500 bytes a second
  // job-creation answers
  kLongLocation,    // the job's Location runs to 10 KB
  kLocationLf,      // Location ends in a bare LF and a header-looking line
  kLocationDotDot,  // Location: /eSCL/ScanJobs/..
  // capabilities documents
  kNegativeWidth,       // the platen's MaxWidth is negative
  kNegativeResolution,  // 300 dpi and the least resolution of ranges negative
  kHugeResolution,      // the highest resolution reads 2147483647
  kLongCapabilities,    // 40 KB of vendor elements before the first source
};

// One hostile behaviour and the exchange it hits.
struct HostileRule {
  Hostile behaviour = Hostile::kGarbageLines;
  RequestKind on = RequestKind::kAny;
};

// How documents are re-written on the way out, as XML libraries re-serialise
// what the device's firmware built.
enum class NamespacePrefixes {
  kStandard,  // scan: for eSCL, pwg: for PWG, as the captured documents declare them
  kNs0,       // ns0: for eSCL and ns2: for PWG
  kPwg2,      // the PWG namespace under the prefix pwg2:
  kEscl1,     // scan: bound to the eSCL 1.0 namespace URI (2011/02/08)
};

// How the answer to a job creation gets lost, the job being created all the
// same (kNone: answered as usual).
enum class LostJobAnswer {
  kNone,
  kGarbled,     // bytes that are no status line, then the connection closes
  kCut,         // the connection closes in the middle of the header
  kSilent,      // no answer; the connection held until the client closes it
  kNoLocation,  // 201 Created without Location
};

// How far a vanishing job is forgotten.
enum class JobVanish {
  kNone,
  kFromStatus,  // missing from the status job list, documents still served
  kEntirely,    // missing from the list and its documents answer 404
};

// The device's life, as clients see it:
// - POST /eSCL/ScanJobs answers 201 Created with Location (none with
//   no_location: the job still runs), or 409 Conflict
//   for a source, format, colour mode or resolution the device does not
//   offer (and for the feeder when it holds no sheets), 400 for a body that
//   is no ScanSettings document.
// - A platen or camera job has one page and is Completed once it is sent. A
//   feeder job has adf_sheets pages (twice that in duplex); after the last
//   one the status shows ScannerAdfEmpty under the still Processing job, and
//   the next NextDocument answers feeder_end (404 by default) and completes
//   it. Each new job finds
//   the feeder reloaded and any jam or open cover cleared. With
//   pending_between_pages the feeder job is Pending (scanner Processing,
//   nothing to transfer) after each page, and the next sheet is scanned when
//   its NextDocument comes.
// - Requests are checked as a strict device checks them: a Host that is
//   missing, empty or has no port ("127.0.0.1:PORT", "[::1]:PORT") is
//   answered 400 (lenient_host accepts any); a ScanSettings document whose
//   root or any element lies in no namespace the device knows (eSCL, its 1.0
//   predecessor, PWG; an undeclared prefix is unknown) is answered 400, and
//   it is read by namespace and local name, whatever the prefixes.
// - A job names its format by scan:DocumentFormatExt or pwg:DocumentFormat
//   (DocumentFormatExt wins); a format, intent or compression factor the
//   profile does not offer for the source is answered 409. Without a format
//   the job gets `format`, or the source's first listed format when
//   `format` is empty.
// - NextDocument answers 404 for unknown, completed or cancelled jobs, 409
//   for jobs stopped by the device (abort, jam, open cover), 503 while the
//   job is held Pending by pending_polls, and 503 with Retry-After: 1 and a
//   short text body for the first busy_next_document requests of each page.
// - DELETE answers 200 and cancels a job still running; 404 for unknown jobs.
// - The status lists past_jobs Completed jobs of earlier sessions first,
//   then the device's jobs newest first, every JobUri as job_uri_style says
//   (by default exactly "/eSCL/ScanJobs/ID"); pwg:State is Processing while
//   a job is running, Stopped while the feeder is jammed or its cover open,
//   else Idle. The past jobs are never alive.
// - Every page shows its sheet and side (see read_page_stamp).
struct Config {
  // --- device ---
  // "flatbed-photo", "mfp", "camera", or "file:PATH" (capabilities read from
  // PATH and served as they are; the device then offers the platen, and the
  // feeder and camera when the document names them).
  // "pdf-first" lists application/pdf first, as some office devices do.
  std::string profile = "mfp";
  int adf_sheets = 3;                 // sheets in the feeder for each job; duplex: two pages a sheet
  // Page format when the ScanSettings name none; empty: the first format the
  // profile lists for the source (image/jpeg, application/pdf for pdf-first).
  std::string format;
  size_t chunk_size = 65536;          // chunk size of the page body
  // JPEG quality of jobs that name no scan:CompressionFactor. One that
  // names one, on a profile with CompressionFactorSupport (mfp: 0-100,
  // pdf-first: 5-95), gets quality 95 at the range's Min down to 10 at its
  // Max, linearly: a lower factor means less compression, a better page.
  int jpeg_quality = 90;

  // --- behaviours ---
  bool one_request_per_connection = false;  // Connection: close after every answer
  bool lowercase_headers = false;           // answer header names in lower case
  Framing framing = Framing::kContentLength;  // capabilities and status bodies
  bool pending_until_document_request = false;  // job Pending, scanner Idle until NextDocument
  LocationStyle location_style = LocationStyle::kAbsolute;
  bool no_location = false;             // job created, but its 201 answer has no Location
  bool pending_between_pages = false;   // feeder job Pending after each page until asked for the next
  int past_jobs = 0;                    // Completed jobs the status lists before the live ones
  JobUriStyle job_uri_style = JobUriStyle::kPath;
  bool capabilities_bom = false;        // capabilities body starts with a UTF-8 BOM and a line break
  long long scan_rate = 0;              // page data bytes a second after the first chunk (0: no pacing)
  long long head_start = -1;            // bytes of page data ready at once (-1: the first chunk)
  bool lenient_host = false;            // accept any Host header, or none (default: HOST:PORT required)
  // A large maker's device: every answer carries its own Server header, and
  // job creation is refused (400) unless Host is "localhost" (a port or not).
  bool host_localhost = false;
  NamespacePrefixes namespace_prefixes = NamespacePrefixes::kStandard;  // of every XML answer
  size_t status_chunk_size = 0;         // text answers chunked in pieces of this size (0: as `framing` says)
  // The status code of a NextDocument after a feeder job's last page: 404,
  // 409 (as one open-source eSCL server answers) or 410. Whichever, the job
  // is then Completed; with 409 the feeder shows empty until the next job
  // (that server does not see it reloaded), else loaded again.
  int feeder_end = 404;
  // A NextDocument within this many ms after the previous page's data
  // ended, sheets remaining, answers 404 while the feeder job stays
  // Processing, the status showing ScannerAdfEmpty meanwhile (a device still
  // pulling in the next sheet); later ones get the page (0: off).
  int next_document_too_soon_ms = 0;
  int not_ready_404 = 0;       // the first N NextDocument requests of every job (feeder or
                               // platen) answer 404 while it is Processing
  bool not_ready_410 = false;  // ... 410 Gone instead of 404
  // Each feeder job ends after one sheet (its NextDocument after it answers
  // feeder_end), the status showing ScannerAdfLoaded while sheets remain;
  // the feeder is not reloaded, so the next job takes the next sheet and the
  // feeder is empty (409 for feeder jobs) after adf_sheets sheets in all.
  // Page stamps count sheets across jobs.
  bool one_sheet_per_job = false;
  // Another client's job is Processing when the simulator starts (listed in
  // the status, the scanner Processing): job creations are answered 409 and
  // the other job is Completed at the N-th refusal; the next one is taken.
  // Its documents answer 404; it never counts as alive.
  int busy_409_other_client = 0;
  // The first job creation's answer is lost: the job is created and runs,
  // and stays alive (jobs_alive()) until it ends or is deleted.
  LostJobAnswer lose_job_answer = LostJobAnswer::kNone;

  // --- faults ---
  int pending_polls = 0;       // job stays Pending (scanner Processing) for this many status answers
  int jam_at_page = 0;         // feeder jams when it reaches this page of a job (1-based; 0 off):
                               // ScannerAdfJam, job Aborted, NextDocument 409
  int cover_open_at_page = 0;  // the same with ScannerAdfHatchOpen (0 off)
  bool stop_keeps_processing = false;  // after a jam or open cover the job stays Processing
                                       // until deleted (default: the device aborts it)
  bool abort_job = false;      // the device aborts every job before its first page
  int busy_503 = 0;            // this many job creations answered 503 Service Unavailable
  int busy_409 = 0;            // this many answered 409 Conflict, the status showing the
                               // scanner Processing for another user meanwhile
  int busy_next_document = 0;  // this many NextDocument requests of each page answered 503
  int bad_request_first = 0;   // "400 Bad Request" answers written before each real answer
  RequestKind bad_request_on = RequestKind::kAny;  // ... to these requests only
  bool status_content_length_zero = false;  // "Content-Length: 0" answer before each real status
  bool status_chunked = false;              // status bodies chunked whatever `framing` says
  long long stall_image_at = -1;  // page data stops after this many bytes, connection held open
  long long drop_image_at = -1;   // connection closed after this many bytes of page data
  JobVanish job_vanishes = JobVanish::kNone;
  bool png_interlaced = false;  // PNG pages written Adam7-interlaced
  // The N-th page served (1-based, counted over the run; 0 off) is damaged:
  // a JPEG's middle third of entropy-coded data replaced by noise (it still
  // ends in EOI, so decoders warn of corrupt data), a PNG's first IDAT with a
  // byte flipped so that its CRC fails.
  int damaged_page = 0;
  std::vector<HostileRule> hostile;  // broken or hostile answers, each on its exchange

  // --- running ---
  bool log_requests = true;  // one line per request on stderr
  bool keep_pages = true;    // keep every page sent, for pages_sent()
  int port = 0;              // the program's --port (Server::start takes its own)
  bool help = false;         // --help was given
  std::string announce;      // DNS-SD instance name to announce the device under (escl-sim only)
  bool tls = false;          // eSCL over TLS on the port (base_url() then says https)
  std::string cert_file;     // PEM certificate chain for TLS; with key_file, else a fresh
  std::string key_file;      // key and self-signed certificate are made at start
  int redirect_to_https = 0; // every request answered 301 to https://127.0.0.1:PORT, same path
};

// Reads the program's options into cfg (unchanged fields keep their values).
// Returns false with a message in error for an unknown option or a bad value.
bool parse_args(int argc, char **argv, Config &cfg, std::string &error);

// The --help text: every profile, behaviour and fault option.
std::string usage();

class Server {
 public:
  explicit Server(Config cfg);
  ~Server();  // stops and joins
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds 127.0.0.1:port (0 picks a free port) and listens before it returns,
  // so clients may connect at once. False when the socket cannot be set up
  // or the profile cannot be loaded (see last_error()).
  bool start(uint16_t port = 0);
  // Closes the listening socket and every client connection, joins all threads.
  void stop();

  uint16_t port() const;
  std::string base_url() const;  // "http://127.0.0.1:PORT/", "https://..." with TLS
  std::string last_error() const;

  // What happened, for tests.
  std::vector<std::string> requests() const;    // request lines served, in order
  std::vector<std::string> request_heads() const;  // each request's head as received, line ends included
  std::vector<std::string> pages_sent() const;  // the encoded pages, in order
  int jobs_alive() const;                       // jobs neither completed, stopped nor deleted

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Which sheet of a job a page shows, and which side of it. Platen and
// camera pages are sheet 1, front; a simplex feeder gives sheet k front as
// page k, a duplex feeder sheet k front then sheet k back.
struct PageSide {
  int sheet = 1;
  bool back = false;
};

// The chart as raw pixels, so tests can compare decoded images. Pixels are
// row-major, `channels` bytes each (3: RGB, 1: grey).
struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;
};

// The test chart of the area at x/y offset, width and height in 1/300 inch,
// sampled at dpi: width_300 * dpi / 300 pixels across, rounded to the
// nearest pixel (at least 1).
//
// Every page carries a stamp of its sheet and side over the chart: a white
// box 950 x 150 / 300 inch (80 x 13 mm) whose top left corner lies 750 / 300
// inch (63.5 mm) from the left and 20 / 300 inch (1.7 mm) from the top of
// the device's area, so that a whole page scan sees it and small areas at the
// top left corner do not. It holds two rows of 18 blocks of 1/6 inch (4.2
// mm): a black column at each end, and between them one column a bit (black
// over white: 1, white over black: 0), the sheet number in 14 bits, the side
// (1: back) and an even parity bit.
//
// This overload draws sheet 1, front, as platen and camera pages show it.
Image render_chart(int dpi, int x_offset_300, int y_offset_300, int width_300, int height_300,
                   int channels);
Image render_chart(int dpi, int x_offset_300, int y_offset_300, int width_300, int height_300,
                   int channels, PageSide side);

// What read_page_stamp saw; found is false when the page does not hold the
// whole stamp or it does not read as one.
struct PageStamp {
  int sheet = 0;
  bool back = false;
  bool found = false;
};

// Reads the stamp of a decoded page (RGB or grey, JPEG-damaged or
// thresholded) sampled at dpi, whose top left pixel lies at x/y offset
// (1/300 inch) on the device's area.
PageStamp read_page_stamp(const Image &page, int dpi, int x_offset_300, int y_offset_300);

}  // namespace escl_sim
