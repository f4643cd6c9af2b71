// The program's options: each sets its field, bad values are refused, and
// --help documents every one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "simulator.h"

namespace escl_sim {
namespace {

using ::testing::HasSubstr;

bool parse(std::vector<std::string> words, Config &cfg, std::string &error) {
  std::vector<char *> argv = {const_cast<char *>("escl-sim")};
  for (auto &w : words) argv.push_back(w.data());
  return parse_args(static_cast<int>(argv.size()), argv.data(), cfg, error);
}

struct OptionCase {
  std::vector<std::string> words;
  std::function<bool(const Config &)> took_effect;
};

TEST(Options, EachOptionSetsItsField) {
  std::vector<OptionCase> cases = {
      {{"--port", "8080"}, [](const Config &c) { return c.port == 8080; }},
      {{"--port=0"}, [](const Config &c) { return c.port == 0; }},
      {{"--quiet"}, [](const Config &c) { return !c.log_requests; }},
      {{"--help"}, [](const Config &c) { return c.help; }},
      {{"--profile", "flatbed-photo"}, [](const Config &c) { return c.profile == "flatbed-photo"; }},
      {{"--profile=file:/tmp/caps.xml"}, [](const Config &c) { return c.profile == "file:/tmp/caps.xml"; }},
      {{"--adf-sheets", "0"}, [](const Config &c) { return c.adf_sheets == 0; }},
      {{"--format", "image/png"}, [](const Config &c) { return c.format == "image/png"; }},
      {{"--chunk-size", "512"}, [](const Config &c) { return c.chunk_size == 512; }},
      {{"--jpeg-quality", "50"}, [](const Config &c) { return c.jpeg_quality == 50; }},
      {{"--one-request-per-connection"}, [](const Config &c) { return c.one_request_per_connection; }},
      {{"--lowercase-headers"}, [](const Config &c) { return c.lowercase_headers; }},
      {{"--framing", "chunked"}, [](const Config &c) { return c.framing == Framing::kChunked; }},
      {{"--framing=close"}, [](const Config &c) { return c.framing == Framing::kClose; }},
      {{"--pending-until-document-request"}, [](const Config &c) { return c.pending_until_document_request; }},
      {{"--location", "relative"}, [](const Config &c) { return c.location_style == LocationStyle::kRelative; }},
      {{"--location", "trailing-slash"},
       [](const Config &c) { return c.location_style == LocationStyle::kTrailingSlash; }},
      {{"--pending-polls", "4"}, [](const Config &c) { return c.pending_polls == 4; }},
      {{"--jam-at-page", "2"}, [](const Config &c) { return c.jam_at_page == 2; }},
      {{"--cover-open-at-page", "3"}, [](const Config &c) { return c.cover_open_at_page == 3; }},
      {{"--stop-keeps-processing"}, [](const Config &c) { return c.stop_keeps_processing; }},
      {{"--abort-job"}, [](const Config &c) { return c.abort_job; }},
      {{"--busy-503", "2"}, [](const Config &c) { return c.busy_503 == 2; }},
      {{"--busy-409", "2"}, [](const Config &c) { return c.busy_409 == 2; }},
      {{"--bad-request-first", "3"}, [](const Config &c) { return c.bad_request_first == 3; }},
      {{"--bad-request-on", "document"},
       [](const Config &c) { return c.bad_request_on == RequestKind::kNextDocument; }},
      {{"--bad-request-on", "create"}, [](const Config &c) { return c.bad_request_on == RequestKind::kCreateJob; }},
      {{"--status-content-length-zero"}, [](const Config &c) { return c.status_content_length_zero; }},
      {{"--status-chunked"}, [](const Config &c) { return c.status_chunked; }},
      {{"--stall-image-at", "4096"}, [](const Config &c) { return c.stall_image_at == 4096; }},
      {{"--drop-image-at", "0"}, [](const Config &c) { return c.drop_image_at == 0; }},
      {{"--job-vanishes", "status"}, [](const Config &c) { return c.job_vanishes == JobVanish::kFromStatus; }},
      {{"--job-vanishes", "all"}, [](const Config &c) { return c.job_vanishes == JobVanish::kEntirely; }},
      {{"--no-location"}, [](const Config &c) { return c.no_location; }},
      {{"--pending-between-pages"}, [](const Config &c) { return c.pending_between_pages; }},
      {{"--past-jobs", "150"}, [](const Config &c) { return c.past_jobs == 150; }},
      {{"--job-uri", "padded"}, [](const Config &c) { return c.job_uri_style == JobUriStyle::kPadded; }},
      {{"--job-uri=absolute"}, [](const Config &c) { return c.job_uri_style == JobUriStyle::kAbsolute; }},
      {{"--job-uri", "trailing-slash"},
       [](const Config &c) { return c.job_uri_style == JobUriStyle::kTrailingSlash; }},
      {{"--job-uri", "path"}, [](const Config &c) { return c.job_uri_style == JobUriStyle::kPath; }},
      {{"--bom"}, [](const Config &c) { return c.capabilities_bom; }},
      {{"--busy-next-document", "2"}, [](const Config &c) { return c.busy_next_document == 2; }},
      {{"--scan-rate", "250000"}, [](const Config &c) { return c.scan_rate == 250000; }},
      {{"--head-start", "0"}, [](const Config &c) { return c.head_start == 0; }},
      {{"--bad-request-on", "delete"}, [](const Config &c) { return c.bad_request_on == RequestKind::kDelete; }},
      {{"--announce", "Hall scanner"}, [](const Config &c) { return c.announce == "Hall scanner"; }},
      {{"--tls"}, [](const Config &c) { return c.tls && c.cert_file.empty(); }},
      {{"--tls", "--cert", "c.pem", "--key=k.pem"},
       [](const Config &c) { return c.tls && c.cert_file == "c.pem" && c.key_file == "k.pem"; }},
      {{"--redirect-to-https", "8443"}, [](const Config &c) { return c.redirect_to_https == 8443; }},
      {{"--profile", "pdf-first"}, [](const Config &c) { return c.profile == "pdf-first"; }},
      {{"--format", "application/pdf"}, [](const Config &c) { return c.format == "application/pdf"; }},
      {{"--lenient-host"}, [](const Config &c) { return c.lenient_host; }},
      {{"--host-localhost"}, [](const Config &c) { return c.host_localhost && !c.lenient_host; }},
      {{"--namespace-prefixes", "ns0"}, [](const Config &c) { return c.namespace_prefixes == NamespacePrefixes::kNs0; }},
      {{"--namespace-prefixes=pwg2"}, [](const Config &c) { return c.namespace_prefixes == NamespacePrefixes::kPwg2; }},
      {{"--namespace-prefixes", "escl1"},
       [](const Config &c) { return c.namespace_prefixes == NamespacePrefixes::kEscl1; }},
      {{"--status-chunk-size", "7"}, [](const Config &c) { return c.status_chunk_size == 7; }},
      {{"--feeder-end", "409"}, [](const Config &c) { return c.feeder_end == 409; }},
      {{"--feeder-end=410"}, [](const Config &c) { return c.feeder_end == 410; }},
      {{"--next-document-too-soon", "250"}, [](const Config &c) { return c.next_document_too_soon_ms == 250; }},
      {{"--not-ready-404", "2"}, [](const Config &c) { return c.not_ready_404 == 2 && !c.not_ready_410; }},
      {{"--not-ready-410", "3"}, [](const Config &c) { return c.not_ready_404 == 3 && c.not_ready_410; }},
      {{"--one-sheet-per-job"}, [](const Config &c) { return c.one_sheet_per_job; }},
      {{"--busy-409-other-client", "2"}, [](const Config &c) { return c.busy_409_other_client == 2; }},
      {{"--lose-job-answer", "garbled"}, [](const Config &c) { return c.lose_job_answer == LostJobAnswer::kGarbled; }},
      {{"--lose-job-answer", "cut"}, [](const Config &c) { return c.lose_job_answer == LostJobAnswer::kCut; }},
      {{"--lose-job-answer", "silent"}, [](const Config &c) { return c.lose_job_answer == LostJobAnswer::kSilent; }},
      {{"--lose-job-answer=no-location"},
       [](const Config &c) { return c.lose_job_answer == LostJobAnswer::kNoLocation && !c.no_location; }},
      {{"--png-interlaced"}, [](const Config &c) { return c.png_interlaced; }},
      {{"--damaged-page", "2"}, [](const Config &c) { return c.damaged_page == 2; }},
      {{"--hostile", "cut-page", "--hostile=garbage-lines@delete"},
       [](const Config &c) {
         return c.hostile.size() == 2 && c.hostile[0].behaviour == Hostile::kCutPage &&
                c.hostile[0].on == RequestKind::kNextDocument && c.hostile[1].behaviour == Hostile::kGarbageLines &&
                c.hostile[1].on == RequestKind::kDelete;
       }},
  };
  const std::string help = usage();
  for (const auto &c : cases) {
    Config cfg;
    std::string error;
    EXPECT_TRUE(parse(c.words, cfg, error)) << c.words[0] << ": " << error;
    EXPECT_TRUE(c.took_effect(cfg)) << c.words[0];
    std::string name = c.words[0].substr(0, c.words[0].find('='));
    EXPECT_THAT(help, HasSubstr(name)) << "--help misses " << name;
  }
}

TEST(Options, BadWordsAreRefusedWithAMessage) {
  std::vector<std::vector<std::string>> cases = {
      {"--nonesuch"},           {"--port"},          {"--port", "70000"},
      {"--port", "12ab"},       {"--profile", "x"},  {"--format", "image/tiff"},
      {"--chunk-size", "0"},    {"--framing", "x"},  {"--location", "x"},
      {"--bad-request-on", "x"}, {"--job-vanishes", "x"}, {"--abort-job=yes"},
      {"--adf-sheets", "-1"},   {"positional"},      {"--job-uri", "x"},
      {"--past-jobs", "-1"},    {"--scan-rate", "-5"}, {"--bom=1"},
      {"--busy-next-document"}, {"--hostile", "x"}, {"--hostile", "cut-page@create"},
      {"--tls", "--cert", "c.pem"}, {"--cert", "c.pem", "--key", "k.pem"},
      {"--redirect-to-https", "0"}, {"--tls=1"},
      {"--feeder-end", "405"},  {"--feeder-end", "200"}, {"--namespace-prefixes", "ns1"},
      {"--status-chunk-size", "0"}, {"--lose-job-answer", "late"}, {"--lenient-host=1"},
      {"--not-ready-404", "-1"}, {"--damaged-page"},
  };
  for (const auto &words : cases) {
    Config cfg;
    std::string error;
    EXPECT_FALSE(parse(words, cfg, error)) << words[0];
    EXPECT_FALSE(error.empty()) << words[0];
  }
}

TEST(Options, UsageNamesEveryProfile) {
  for (const char *profile : {"flatbed-photo", "mfp", "camera", "pdf-first", "file:PATH"})
    EXPECT_THAT(usage(), HasSubstr(profile));
}

}  // namespace
}  // namespace escl_sim
