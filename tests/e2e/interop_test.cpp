// scanimage against the ways real devices and other eSCL servers differ
// from the plainest one: documents re-serialised under other prefixes,
// status answers in small chunks, a Host header checked against a name,
// formats listed in another order, feeders that end a batch or announce
// the next sheet in their own way, a job lost on its way back, broken
// pages.  Every device is left with no live job, and no run waits long.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "scan_fixture.h"

using ::testing::HasSubstr;
using namespace e2e;

namespace {

struct InteropRow {
  const char *name;
  void (*apply)(escl_sim::Config &);
  bool feeder;        // a batch from the feeder, else one platen page
  int pages;          // pages written
  bool fails;         // scanimage exits non-zero
  const char *said;   // on stderr, when not empty
};

// A scan that waits on a timeout instead of on the device takes longer.
constexpr double kOrdinarySeconds = 30.0;

// Full feeder width, the top 20 mm: enough for the sheet stamp at 75 dpi.
const std::vector<std::string> kFeederBatch = {"--source", "ADF", "--mode", "Gray", "--resolution", "75",
                                               "-y", "20", "--format=png", "--batch=page%d.png"};

const InteropRow kRows[] = {
    {"StrictDevice", [](escl_sim::Config &) {}, false, 1, false, ""},
    {"PrefixesNs0", [](escl_sim::Config &c) { c.namespace_prefixes = escl_sim::NamespacePrefixes::kNs0; },
     false, 1, false, ""},
    {"PrefixPwg2", [](escl_sim::Config &c) { c.namespace_prefixes = escl_sim::NamespacePrefixes::kPwg2; },
     false, 1, false, ""},
    {"Escl1Namespace", [](escl_sim::Config &c) { c.namespace_prefixes = escl_sim::NamespacePrefixes::kEscl1; },
     false, 1, false, ""},
    {"StatusIn7ByteChunks", [](escl_sim::Config &c) { c.status_chunk_size = 7; }, false, 1, false, ""},
    {"StatusIn7ByteChunksFeeder", [](escl_sim::Config &c) { c.status_chunk_size = 7; }, true, 3, false, ""},
    {"HostLocalhost", [](escl_sim::Config &c) { c.host_localhost = true; }, false, 1, false, ""},
    {"PdfListedFirst", [](escl_sim::Config &c) { c.profile = "pdf-first"; }, false, 1, false, ""},
    {"FeederEnds404", [](escl_sim::Config &c) { c.feeder_end = 404; }, true, 3, false, ""},
    {"FeederEnds409", [](escl_sim::Config &c) { c.feeder_end = 409; }, true, 3, false, ""},
    {"FeederEnds410", [](escl_sim::Config &c) { c.feeder_end = 410; }, true, 3, false, ""},
    {"NextSheetAskedTooSoon",
     [](escl_sim::Config &c) {
       c.adf_sheets = 4;
       c.next_document_too_soon_ms = 300;
     },
     true, 4, false, ""},
    {"NotReady404", [](escl_sim::Config &c) { c.not_ready_404 = 2; }, false, 1, false, ""},
    {"NotReady404Feeder", [](escl_sim::Config &c) { c.not_ready_404 = 2; }, true, 3, false, ""},
    {"NotReady410",
     [](escl_sim::Config &c) {
       c.not_ready_404 = 2;
       c.not_ready_410 = true;
     },
     false, 1, false, ""},
    {"NotReady410Feeder",
     [](escl_sim::Config &c) {
       c.not_ready_404 = 2;
       c.not_ready_410 = true;
     },
     true, 3, false, ""},
    {"OneSheetPerJob",
     [](escl_sim::Config &c) {
       c.adf_sheets = 4;
       c.one_sheet_per_job = true;
     },
     true, 4, false, ""},
    {"OtherClientsJob", [](escl_sim::Config &c) { c.busy_409_other_client = 2; }, false, 1, false, ""},
    {"JobAnswerGarbled", [](escl_sim::Config &c) { c.lose_job_answer = escl_sim::LostJobAnswer::kGarbled; },
     false, 0, true, ""},
    {"JobAnswerCut", [](escl_sim::Config &c) { c.lose_job_answer = escl_sim::LostJobAnswer::kCut; }, false, 0,
     true, ""},
    {"JobAnswerSilent", [](escl_sim::Config &c) { c.lose_job_answer = escl_sim::LostJobAnswer::kSilent; },
     false, 0, true, ""},
    {"JobAnswerWithoutLocation",
     [](escl_sim::Config &c) { c.lose_job_answer = escl_sim::LostJobAnswer::kNoLocation; }, false, 0, true, ""},
    {"InterlacedPng", [](escl_sim::Config &c) { c.png_interlaced = true; }, false, 1, false, ""},
    {"DamagedPage", [](escl_sim::Config &c) { c.damaged_page = 1; }, false, 0, true,
     "the device sent a damaged page"},
};

// Failures name the row, not its bytes.
void PrintTo(const InteropRow &row, std::ostream *os) { *os << row.name; }

class Interop : public Scan, public ::testing::WithParamInterface<InteropRow> {};

TEST_P(Interop, ScansOrFailsCleanlyInOrdinaryTime) {
  const InteropRow &row = GetParam();
  escl_sim::Config cfg;
  row.apply(cfg);
  start(cfg);
  const double began = now_seconds();
  const RunResult r = row.feeder ? scan(kFeederBatch) : scan(with({"--mode", "Color", "-o", "page.png"}, kSmallArea));
  EXPECT_LT(now_seconds() - began, kOrdinarySeconds);
  EXPECT_EQ(r.exit_code != 0, row.fails) << "exit " << r.exit_code << ": " << r.err;
  if (*row.said) {
    EXPECT_THAT(r.err, HasSubstr(row.said));
  }
  int pages = 0;
  if (row.feeder) {
    // Every sheet once, in the feeder's order.
    for (int page = 1;; ++page) {
      const escl_sim::PageStamp stamp = stamp_of("page" + std::to_string(page) + ".png", PageMode::kGray, 75);
      if (!stamp.found) break;
      EXPECT_EQ(stamp.sheet, page);
      ++pages;
    }
  } else if (read_png(scanimage_->dir().file("page.png"), PageMode::kColor).error.empty()) {
    ++pages;
    expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 8.0, 0.03);
  }
  EXPECT_EQ(pages, row.pages) << r.err;
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, Interop, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<InteropRow> &row) { return std::string(row.param.name); });

// The mfp offers PNG: the colour page is the simulator's chart, pixel for
// pixel.
TEST_F(Scan, MfpColourPageIsTheChartExactly) {
  start();
  const RunResult r = scan(with({"--mode", "Color", "-o", "page.png"}, kSmallArea));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> sent = sim_->pages_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].substr(0, 4), "\x89PNG");
  expect_chart("page.png", PageMode::kColor, 150, kPageWidth, kPageHeight, 0, 0, 0.0, 0.0);
  EXPECT_EQ(sim_->jobs_alive(), 0);
}

}  // namespace
