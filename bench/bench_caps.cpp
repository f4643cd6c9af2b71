// Cost of reading a capabilities document: normalize_body plus the walk
// over a 16 KB document shaped like real devices send (CRLF line ends,
// indentation, platen and both feeder sides with discrete lists).  The
// time_per_byte counter is the CPU time per byte of the document, in
// seconds with an SI prefix (1.3n is 1.3 ns).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bb_escl/capabilities.h"
#include "http/limits.h"
#include "bb_escl/session.h"
#include "http/xml.h"

namespace {

constexpr size_t kDocumentSize = 16384;

std::string element(int depth, const std::string &name, const std::string &value) {
  return std::string(size_t(depth) * 2, ' ') + "<scan:" + name + ">" + value + "</scan:" + name +
         ">\r\n";
}

std::string source(const char *name, int max_height) {
  std::string s = "    <scan:" + std::string(name) + ">\r\n";
  s += element(3, "MinWidth", "16") + element(3, "MaxWidth", "2550") +
       element(3, "MinHeight", "16") + element(3, "MaxHeight", std::to_string(max_height));
  s += "      <scan:SettingProfiles>\r\n        <scan:SettingProfile>\r\n"
       "          <scan:ColorModes>\r\n";
  for (const char *m : {"BlackAndWhite1", "Grayscale8", "RGB24"}) s += element(6, "ColorMode", m);
  s += "          </scan:ColorModes>\r\n          <scan:DocumentFormats>\r\n";
  for (const char *f : {"application/pdf", "image/jpeg"})
    s += std::string(12, ' ') + "<pwg:DocumentFormat>" + f + "</pwg:DocumentFormat>\r\n";
  s += "          </scan:DocumentFormats>\r\n          <scan:SupportedResolutions>\r\n"
       "            <scan:DiscreteResolutions>\r\n";
  for (int dpi : {75, 100, 150, 200, 300, 600, 1200}) {
    s += "              <scan:DiscreteResolution>\r\n" +
         element(8, "XResolution", std::to_string(dpi)) +
         element(8, "YResolution", std::to_string(dpi)) +
         "              </scan:DiscreteResolution>\r\n";
  }
  s += "            </scan:DiscreteResolutions>\r\n          </scan:SupportedResolutions>\r\n"
       "        </scan:SettingProfile>\r\n      </scan:SettingProfiles>\r\n";
  for (const char *i : {"Document", "TextAndGraphic", "Photo", "Preview"})
    s += element(4, "Intent", i);
  s += element(3, "MaxOpticalXResolution", "1200") + element(3, "MaxOpticalYResolution", "1200");
  s += element(3, "RiskyLeftMargin", "0") + element(3, "RiskyRightMargin", "0");
  return s + "    </scan:" + name + ">\r\n";
}

// A document of exactly kDocumentSize bytes, padded with a comment.
std::string capabilities_document() {
  std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<scan:ScannerCapabilities\r\n"
      "    xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\"\r\n"
      "    xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\">\r\n"
      "  <pwg:Version>2.63</pwg:Version>\r\n"
      "  <pwg:MakeAndModel>Bench Scanner 16K</pwg:MakeAndModel>\r\n  <scan:Platen>\r\n";
  std::string body = head + source("PlatenInputCaps", 3508) + "  </scan:Platen>\r\n  <scan:Adf>\r\n" +
                     source("AdfSimplexInputCaps", 4200) + source("AdfDuplexInputCaps", 4200) +
                     element(2, "FeederCapacity", "50") + "  </scan:Adf>\r\n";
  std::string tail = "</scan:ScannerCapabilities>\r\n";
  const std::string open = "  <!-- ", close = " -->\r\n";
  size_t fixed = body.size() + tail.size() + open.size() + close.size();
  if (fixed > kDocumentSize) abort();
  return body + open + std::string(kDocumentSize - fixed, '.') + close + tail;
}

void set_time_per_byte(benchmark::State &state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDocumentSize));
  state.counters["time_per_byte"] = benchmark::Counter(
      double(kDocumentSize),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void check(const bb_session &s) {
  if (s.caps.adf_duplex.resolutions[0] != 7 || s.caps.feeder_capacity != 50) abort();
}

// What the fetch does once the body is in its buffer.
void BM_NormalizeAndWalk(benchmark::State &state) {
  const std::string doc = capabilities_document();
  std::vector<char> buf(bb::kCapsBufferSize);
  bb_session session{};
  caps_walk_buffers work;
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    buf[doc.size()] = '\0';
    normalize_body(buf.data());
    int32_t length = int32_t(strlen(buf.data()));
    if (bb_parse_scan_elements(buf.data(), length, &session, &session.caps, &work) != 0) abort();
    benchmark::DoNotOptimize(session.caps);
  }
  check(session);
  set_time_per_byte(state);
}
BENCHMARK(BM_NormalizeAndWalk)->Unit(benchmark::kMicrosecond);

void BM_NormalizeOnly(benchmark::State &state) {
  const std::string doc = capabilities_document();
  std::vector<char> buf(bb::kCapsBufferSize);
  for (auto _ : state) {
    memcpy(buf.data(), doc.data(), doc.size());
    buf[doc.size()] = '\0';
    normalize_body(buf.data());
    benchmark::DoNotOptimize(buf.data());
  }
  set_time_per_byte(state);
}
BENCHMARK(BM_NormalizeOnly)->Unit(benchmark::kMicrosecond);

void BM_WalkOnly(benchmark::State &state) {
  std::string doc = capabilities_document();
  std::vector<char> buf(doc.begin(), doc.end());
  buf.push_back('\0');
  normalize_body(buf.data());
  const int32_t length = int32_t(strlen(buf.data()));
  bb_session session{};
  caps_walk_buffers work;
  for (auto _ : state) {
    if (bb_parse_scan_elements(buf.data(), length, &session, &session.caps, &work) != 0) abort();
    benchmark::DoNotOptimize(session.caps);
  }
  check(session);
  set_time_per_byte(state);
}
BENCHMARK(BM_WalkOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
