// The program's options, shared by main() and by tests that start the
// simulator with the same words.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "hostile.h"
#include "simulator.h"

namespace escl_sim {

namespace {

bool to_number(const std::string &text, long long min, long long max, long long &value) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && errno != ERANGE && value >= min && value <= max;
}

}  // namespace

std::string usage() {
  return std::string(R"(Usage: escl-sim [OPTION]...
An eSCL scanner on 127.0.0.1 for testing clients. Prints its base URL
(http://127.0.0.1:PORT/) as the first line on standard output once it accepts
connections, logs one line per request on standard error, and runs until
SIGINT or SIGTERM.

  --port N                 listen on port N (0, the default, picks a free port)
  --quiet                  do not log requests
  --announce NAME          announce the device by DNS-SD as NAME (_uscan._tcp,
                           or _uscans._tcp with --tls, on the loopback
                           interface, through the Avahi daemon, with the TXT
                           keys ty, rs=eSCL, UUID, pdl, cs, is and duplex of
                           its profile); the URL is printed once the name is
                           established
  --tls                    speak eSCL over TLS on the port (the URL printed is
                           then https://); a fresh P-256 key and a self-signed
                           certificate for 127.0.0.1 and localhost are made at
                           every start, unless --cert and --key name them
  --cert FILE              the certificate (chain) in PEM for --tls
  --key FILE               its private key in PEM
  --redirect-to-https PORT answer every request with 301 Moved Permanently to
                           the same path at https://127.0.0.1:PORT/ (a device
                           whose plain HTTP points at its TLS port)
  --help                   show this text

Device:
  --profile NAME           capabilities the device offers:
                             flatbed-photo  platen only, discrete resolutions
                                            75-1200 dpi, grey and colour
                             mfp            platen, simplex and duplex feeder,
                                            resolution range 75-600 dpi (step
                                            25), black-and-white, grey and
                                            colour (the default)
                             camera         platen and document camera,
                                            discrete resolutions 75-300 dpi
                             pdf-first      platen and simplex feeder listing
                                            application/pdf, image/jpeg and
                                            image/png in that order (a job
                                            naming no format gets a PDF page),
                                            75-600 dpi, compression 5-95
                             file:PATH      the capabilities document in PATH,
                                            served as it is (jobs may ask for
                                            the formats and intents it lists)
  --adf-sheets N           sheets in the feeder for each job (default 3); a
                           duplex job gives two pages a sheet; 0 leaves the
                           feeder empty (feeder jobs get 409 Conflict)
  --format MIME            page format when the ScanSettings name none:
                           image/jpeg, image/png or application/pdf (default:
                           the first the profile lists for the source). A job
                           naming a format, an intent or a compression factor
                           its source does not offer gets 409 Conflict
  --chunk-size N           bytes of page data per chunk (default 65536)
  --jpeg-quality N         JPEG quality 1-100 (default 90) of jobs naming no
                           CompressionFactor; one that names it gets quality
                           95 at the profile's least factor down to 10 at its
                           greatest
  --png-interlaced         write PNG pages Adam7-interlaced
  --scan-rate BYTES_PER_S  page data after the first chunk comes at this
                           average rate, as the head scans (0, the default:
                           as fast as the connection takes it)
  --head-start BYTES       with --scan-rate, page data ready at once (default:
                           the first chunk; 0: every byte follows the head,
                           a chunk's size line coming before its data)

Behaviours:
  --one-request-per-connection
                           answer with Connection: close and close the
                           connection after every answer
  --lowercase-headers      write answer header names in lower case
  --framing MODE           bodies of capabilities and status answers:
                           content-length (default), chunked, or close
                           (no length, the connection closes after the body)
  --pending-until-document-request
                           a new job stays Pending, and the scanner Idle,
                           until its first document is requested
  --location STYLE         Location of a new job: absolute (default,
                           http://127.0.0.1:PORT/eSCL/ScanJobs/ID), relative
                           (/eSCL/ScanJobs/ID) or trailing-slash
                           (http://127.0.0.1:PORT/eSCL/ScanJobs/ID/)
  --no-location            the job-creation answer (201) has no Location;
                           the job is created all the same
  --pending-between-pages  a feeder job goes back to Pending (the scanner
                           Processing) after each page; the next sheet is
                           scanned when its document is requested
  --past-jobs N            the status lists N Completed jobs of earlier
                           sessions before the live jobs
  --job-uri STYLE          JobUri in the status: path (default,
                           /eSCL/ScanJobs/ID), padded (the path on its own
                           line, blanks around it), absolute
                           (http://127.0.0.1:PORT/eSCL/ScanJobs/ID) or
                           trailing-slash (/eSCL/ScanJobs/ID/)
  --bom                    the capabilities body starts with a UTF-8
                           byte-order mark and a line break
  --lenient-host           accept any Host header, or none (by default a
                           request whose Host is missing, empty or without
                           a port gets 400 Bad Request)
  --host-localhost         a large maker's device: every answer names its own
                           embedded web server in Server:, and job creation
                           gets 400 unless Host is localhost (a port or not)
  --namespace-prefixes STYLE
                           XML answers re-written as XML libraries write
                           them: ns0 (ns0: for eSCL, ns2: for PWG), pwg2 (PWG
                           under pwg2:) or escl1 (the eSCL 1.0 namespace URI,
                           2011/02/08); standard (scan:, pwg:) by default
  --status-chunk-size N    send every text answer (status, capabilities, job
                           creation) chunked, N bytes a chunk
  --feeder-end CODE        answer the NextDocument after a feeder job's last
                           page with 404 (default), 409 (as one open-source
                           eSCL server does: the feeder then shows empty
                           until the next job) or 410; the job is Completed
  --one-sheet-per-job      each feeder job ends after one sheet, the feeder
                           still showing loaded; it is not reloaded between
                           jobs, so the next job takes the next sheet until
                           --adf-sheets sheets are gone (then 409)

Faults:
  --pending-polls N        a new job stays Pending for N status answers
                           (its documents meanwhile answer 503)
  --jam-at-page N          the feeder jams when it reaches page N of a job:
                           status ScannerAdfJam, the job Aborted, its
                           documents answer 409 Conflict
  --cover-open-at-page N   the same with the feeder cover open
                           (ScannerAdfHatchOpen)
  --stop-keeps-processing  after a jam or an open cover the job stays
                           Processing (until deleted) instead of Aborted
  --abort-job              the device aborts every job before its first page
  --busy-503 N             answer the first N job creations with
                           503 Service Unavailable
  --busy-409 N             answer the first N job creations with 409 Conflict
                           while the status shows the scanner Processing
                           another user's job
  --busy-next-document N   answer the first N document requests of each page
                           with 503 Service Unavailable (Retry-After: 1)
  --busy-409-other-client N
                           another client's job is Processing when the device
                           starts: job creations get 409 Conflict, and that
                           job is Completed at the N-th refusal, so the next
                           creation is taken
  --next-document-too-soon MS
                           a feeder NextDocument within MS milliseconds after
                           the previous page ended, sheets remaining, answers
                           404, the job still Processing and the status
                           showing the feeder empty meanwhile (the device
                           pulls in the next sheet)
  --not-ready-404 N        answer the first N NextDocument requests of every
                           job (feeder or platen) 404 while it is Processing
  --not-ready-410 N        the same with 410 Gone
  --lose-job-answer HOW    the first job is created but its answer is lost:
                           garbled (bytes that are no status line), cut (the
                           connection closed inside the header), silent (no
                           answer, the connection held open) or no-location
                           (201 without Location); the job runs until it ends
                           or is deleted
  --damaged-page N         damage the N-th page served: the middle third of a
                           JPEG's coded data turned to noise (EOI kept), a
                           byte of a PNG's image data flipped (CRC fails)
  --bad-request-first N    write N "400 Bad Request" answers before each real
                           answer, on the same connection
  --bad-request-on KIND    the requests that fault hits: any (default),
                           capabilities, status, create, document or delete
  --status-content-length-zero
                           precede each status answer with an answer that has
                           Content-Length: 0 and no body
  --status-chunked         send status bodies chunked
  --stall-image-at N       page data stops after N bytes; the connection stays
                           open and silent until the client closes it
  --drop-image-at N        the connection closes after N bytes of page data
  --job-vanishes WHERE     jobs are missing from the status job list
                           (status), or forgotten entirely, so that their
                           documents answer 404 (all)

Hostile devices:
  --hostile NAME[@EXCHANGE]
                           answer as a broken or hostile device does, on one
                           exchange (any, capabilities, status, create,
                           document or delete; the default in brackets);
                           may be given several times. Answers without end
                           stop when the client closes. NAME is one of:
)") + hostile_usage();
}

bool parse_args(int argc, char **argv, Config &cfg, std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto take = [&](std::string &out) {
      if (has_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](long long min, long long max, long long &out) {
      std::string text;
      if (!take(text)) return false;
      if (!to_number(text, min, max, out)) {
        error = "bad value for " + arg + ": " + text;
        return false;
      }
      return true;
    };
    auto flag = [&](bool &out) {
      if (has_value) {
        error = "option " + arg + " takes no value";
        return false;
      }
      out = true;
      return true;
    };
    long long n = 0;
    std::string text;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      ok = flag(cfg.help);
    } else if (arg == "--quiet") {
      bool quiet = false;
      ok = flag(quiet);
      cfg.log_requests = !quiet;
    } else if (arg == "--announce") {
      ok = take(cfg.announce);
      if (ok && cfg.announce.empty()) {
        error = "--announce needs a name";
        ok = false;
      }
    } else if (arg == "--tls") {
      ok = flag(cfg.tls);
    } else if (arg == "--cert") {
      ok = take(cfg.cert_file);
    } else if (arg == "--key") {
      ok = take(cfg.key_file);
    } else if (arg == "--redirect-to-https") {
      ok = number(1, 65535, n);
      cfg.redirect_to_https = static_cast<int>(n);
    } else if (arg == "--port") {
      ok = number(0, 65535, n);
      cfg.port = static_cast<int>(n);
    } else if (arg == "--profile") {
      ok = take(cfg.profile);
      if (ok && cfg.profile != "flatbed-photo" && cfg.profile != "mfp" && cfg.profile != "camera" &&
          cfg.profile != "pdf-first" && cfg.profile.rfind("file:", 0) != 0) {
        error = "unknown profile " + cfg.profile;
        ok = false;
      }
    } else if (arg == "--adf-sheets") {
      ok = number(0, 10000, n);
      cfg.adf_sheets = static_cast<int>(n);
    } else if (arg == "--format") {
      ok = take(cfg.format);
      if (ok && cfg.format != "image/jpeg" && cfg.format != "image/png" && cfg.format != "application/pdf") {
        error = "unsupported format " + cfg.format;
        ok = false;
      }
    } else if (arg == "--chunk-size") {
      ok = number(1, 16 * 1024 * 1024, n);
      cfg.chunk_size = static_cast<size_t>(n);
    } else if (arg == "--jpeg-quality") {
      ok = number(1, 100, n);
      cfg.jpeg_quality = static_cast<int>(n);
    } else if (arg == "--one-request-per-connection") {
      ok = flag(cfg.one_request_per_connection);
    } else if (arg == "--lowercase-headers") {
      ok = flag(cfg.lowercase_headers);
    } else if (arg == "--framing") {
      ok = take(text);
      if (text == "content-length") cfg.framing = Framing::kContentLength;
      else if (text == "chunked") cfg.framing = Framing::kChunked;
      else if (text == "close") cfg.framing = Framing::kClose;
      else if (ok) error = "unknown framing " + text, ok = false;
    } else if (arg == "--pending-until-document-request") {
      ok = flag(cfg.pending_until_document_request);
    } else if (arg == "--location") {
      ok = take(text);
      if (text == "absolute") cfg.location_style = LocationStyle::kAbsolute;
      else if (text == "relative") cfg.location_style = LocationStyle::kRelative;
      else if (text == "trailing-slash") cfg.location_style = LocationStyle::kTrailingSlash;
      else if (ok) error = "unknown location style " + text, ok = false;
    } else if (arg == "--no-location") {
      ok = flag(cfg.no_location);
    } else if (arg == "--pending-between-pages") {
      ok = flag(cfg.pending_between_pages);
    } else if (arg == "--past-jobs") {
      ok = number(0, 100000, n);
      cfg.past_jobs = static_cast<int>(n);
    } else if (arg == "--job-uri") {
      ok = take(text);
      if (text == "path") cfg.job_uri_style = JobUriStyle::kPath;
      else if (text == "padded") cfg.job_uri_style = JobUriStyle::kPadded;
      else if (text == "absolute") cfg.job_uri_style = JobUriStyle::kAbsolute;
      else if (text == "trailing-slash") cfg.job_uri_style = JobUriStyle::kTrailingSlash;
      else if (ok) error = "unknown job-uri style " + text, ok = false;
    } else if (arg == "--bom") {
      ok = flag(cfg.capabilities_bom);
    } else if (arg == "--scan-rate") {
      ok = number(0, LLONG_MAX, n);
      cfg.scan_rate = n;
    } else if (arg == "--head-start") {
      ok = number(0, LLONG_MAX, n);
      cfg.head_start = n;
    } else if (arg == "--busy-next-document") {
      ok = number(0, 1000000, n);
      cfg.busy_next_document = static_cast<int>(n);
    } else if (arg == "--pending-polls") {
      ok = number(0, 1000000, n);
      cfg.pending_polls = static_cast<int>(n);
    } else if (arg == "--jam-at-page") {
      ok = number(0, 1000000, n);
      cfg.jam_at_page = static_cast<int>(n);
    } else if (arg == "--cover-open-at-page") {
      ok = number(0, 1000000, n);
      cfg.cover_open_at_page = static_cast<int>(n);
    } else if (arg == "--stop-keeps-processing") {
      ok = flag(cfg.stop_keeps_processing);
    } else if (arg == "--abort-job") {
      ok = flag(cfg.abort_job);
    } else if (arg == "--busy-503") {
      ok = number(0, 1000000, n);
      cfg.busy_503 = static_cast<int>(n);
    } else if (arg == "--busy-409") {
      ok = number(0, 1000000, n);
      cfg.busy_409 = static_cast<int>(n);
    } else if (arg == "--bad-request-first") {
      ok = number(0, 100, n);
      cfg.bad_request_first = static_cast<int>(n);
    } else if (arg == "--bad-request-on") {
      ok = take(text);
      if (ok && !parse_request_kind(text, cfg.bad_request_on)) error = "unknown request kind " + text, ok = false;
    } else if (arg == "--hostile") {
      HostileRule rule;
      ok = take(text) && parse_hostile(text, rule, error);
      if (ok) cfg.hostile.push_back(rule);
    } else if (arg == "--status-content-length-zero") {
      ok = flag(cfg.status_content_length_zero);
    } else if (arg == "--status-chunked") {
      ok = flag(cfg.status_chunked);
    } else if (arg == "--stall-image-at") {
      ok = number(0, LLONG_MAX, n);
      cfg.stall_image_at = n;
    } else if (arg == "--drop-image-at") {
      ok = number(0, LLONG_MAX, n);
      cfg.drop_image_at = n;
    } else if (arg == "--lenient-host") {
      ok = flag(cfg.lenient_host);
    } else if (arg == "--host-localhost") {
      ok = flag(cfg.host_localhost);
    } else if (arg == "--namespace-prefixes") {
      ok = take(text);
      if (text == "standard") cfg.namespace_prefixes = NamespacePrefixes::kStandard;
      else if (text == "ns0") cfg.namespace_prefixes = NamespacePrefixes::kNs0;
      else if (text == "pwg2") cfg.namespace_prefixes = NamespacePrefixes::kPwg2;
      else if (text == "escl1") cfg.namespace_prefixes = NamespacePrefixes::kEscl1;
      else if (ok) error = "unknown namespace prefixes " + text, ok = false;
    } else if (arg == "--status-chunk-size") {
      ok = number(1, 16 * 1024 * 1024, n);
      cfg.status_chunk_size = static_cast<size_t>(n);
    } else if (arg == "--feeder-end") {
      ok = number(404, 410, n);
      if (ok && n != 404 && n != 409 && n != 410) error = "bad value for --feeder-end: " + std::to_string(n), ok = false;
      cfg.feeder_end = static_cast<int>(n);
    } else if (arg == "--next-document-too-soon") {
      ok = number(0, 600000, n);
      cfg.next_document_too_soon_ms = static_cast<int>(n);
    } else if (arg == "--not-ready-404" || arg == "--not-ready-410") {
      ok = number(0, 1000000, n);
      cfg.not_ready_404 = static_cast<int>(n);
      cfg.not_ready_410 = arg == "--not-ready-410";
    } else if (arg == "--one-sheet-per-job") {
      ok = flag(cfg.one_sheet_per_job);
    } else if (arg == "--busy-409-other-client") {
      ok = number(0, 1000000, n);
      cfg.busy_409_other_client = static_cast<int>(n);
    } else if (arg == "--lose-job-answer") {
      ok = take(text);
      if (text == "garbled") cfg.lose_job_answer = LostJobAnswer::kGarbled;
      else if (text == "cut") cfg.lose_job_answer = LostJobAnswer::kCut;
      else if (text == "silent") cfg.lose_job_answer = LostJobAnswer::kSilent;
      else if (text == "no-location") cfg.lose_job_answer = LostJobAnswer::kNoLocation;
      else if (ok) error = "unknown way to lose the job answer " + text, ok = false;
    } else if (arg == "--png-interlaced") {
      ok = flag(cfg.png_interlaced);
    } else if (arg == "--damaged-page") {
      ok = number(0, 1000000, n);
      cfg.damaged_page = static_cast<int>(n);
    } else if (arg == "--job-vanishes") {
      ok = take(text);
      if (text == "status") cfg.job_vanishes = JobVanish::kFromStatus;
      else if (text == "all") cfg.job_vanishes = JobVanish::kEntirely;
      else if (text == "none") cfg.job_vanishes = JobVanish::kNone;
      else if (ok) error = "unknown job-vanishes mode " + text, ok = false;
    } else {
      error = "unknown option " + arg;
      ok = false;
    }
    if (!ok) return false;
  }
  if (cfg.cert_file.empty() != cfg.key_file.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  if (!cfg.cert_file.empty() && !cfg.tls) {
    error = "--cert and --key need --tls";
    return false;
  }
  return true;
}

}  // namespace escl_sim
