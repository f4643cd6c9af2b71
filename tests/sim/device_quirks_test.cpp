// How real devices end feeder jobs, hold back pages, refuse while another
// client scans, lose job answers and damage pages, each seen on the wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "chart.h"
#include "image_codec.h"
#include "sim_fixture.h"
#include "status_doc.h"

namespace escl_sim::test {
namespace {

class DeviceQuirks : public SimTest {
 protected:
  std::string status(RawClient &c) { return c.exchange(get("/eSCL/ScannerStatus")).body; }
  static std::string next(const std::string &id) { return get("/eSCL/ScanJobs/" + id + "/NextDocument"); }
  static Settings feeder() {
    Settings s;
    s.source = "Feeder";
    return s;
  }
};

TEST_F(DeviceQuirks, FeederEndCodeCompletesTheJob) {
  for (int code : {404, 409, 410}) {
    SCOPED_TRACE(code);
    Config cfg;
    cfg.adf_sheets = 1;
    cfg.feeder_end = code;
    start(cfg);
    RawClient c(port());
    const std::string id = create_job(c, feeder());
    EXPECT_EQ(c.exchange(next(id)).status, 200);
    EXPECT_EQ(c.exchange(next(id)).status, code);
    const std::string doc = status(c);
    EXPECT_EQ(element_text(job_entry(doc, id), "JobState"), "Completed");
    // The server that answers 409 shows the feeder empty until the next
    // job; after 404 and 410 the operator has reloaded it.
    EXPECT_EQ(element_text(doc, "AdfState"), code == 409 ? "ScannerAdfEmpty" : "ScannerAdfLoaded");
    EXPECT_EQ(server().jobs_alive(), 0);
    server().stop();
  }
}

TEST_F(DeviceQuirks, FirstDocumentRequestsAnswerNotReady) {
  struct Row {
    const char *source;
    bool gone;
  } rows[] = {{"Platen", false}, {"Feeder", false}, {"Platen", true}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.source);
    Config cfg;
    cfg.not_ready_404 = 2;
    cfg.not_ready_410 = r.gone;
    start(cfg);
    RawClient c(port());
    Settings s;
    s.source = r.source;
    const std::string id = create_job(c, s);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(c.exchange(next(id)).status, r.gone ? 410 : 404) << i;
      EXPECT_EQ(element_text(job_entry(status(c), id), "JobState"), "Processing") << i;
    }
    EXPECT_EQ(c.exchange(next(id)).status, 200);
    server().stop();
  }
}

TEST_F(DeviceQuirks, NextDocumentTooSoonWhileTheSheetIsPulledIn) {
  constexpr int kWindowMs = 150;
  Config cfg;
  cfg.adf_sheets = 2;
  cfg.next_document_too_soon_ms = kWindowMs;
  start(cfg);
  RawClient c(port());
  const std::string id = create_job(c, feeder());
  ASSERT_EQ(c.exchange(next(id)).status, 200);
  const auto page_end = std::chrono::steady_clock::now();
  EXPECT_EQ(c.exchange(next(id)).status, 404);
  std::string doc = status(c);
  EXPECT_EQ(element_text(job_entry(doc, id), "JobState"), "Processing");
  EXPECT_EQ(element_text(doc, "AdfState"), "ScannerAdfEmpty");
  // Asked again after a while, the sheet is there.
  int status_code = 404;
  while (status_code == 404 && std::chrono::steady_clock::now() - page_end < std::chrono::seconds(5)) {
    c.read_during(20);
    status_code = c.exchange(next(id)).status;
  }
  EXPECT_EQ(status_code, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - page_end, std::chrono::milliseconds(kWindowMs));
  // After the last sheet nothing is pulled in: the job ends at once.
  EXPECT_EQ(c.exchange(next(id)).status, 404);
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(DeviceQuirks, OneSheetPerJobTakesTheNextSheetEachTime) {
  Config cfg;
  cfg.adf_sheets = 3;
  cfg.one_sheet_per_job = true;
  cfg.format = "image/png";
  start(cfg);
  RawClient c(port());
  Settings s = feeder();
  s.region = false;  // the whole sheet, stamp included
  for (int sheet = 1; sheet <= 3; ++sheet) {
    SCOPED_TRACE(sheet);
    const std::string id = create_job(c, s);
    ASSERT_FALSE(id.empty());
    const Answer page = c.exchange(next(id));
    ASSERT_EQ(page.status, 200);
    Image image;
    ASSERT_TRUE(decode_png(page.body, image));
    const PageStamp stamp = read_page_stamp(image, s.resolution, 0, 0);
    EXPECT_TRUE(stamp.found);
    EXPECT_EQ(stamp.sheet, sheet);
    EXPECT_EQ(element_text(status(c), "AdfState"), sheet < 3 ? "ScannerAdfLoaded" : "ScannerAdfEmpty");
    EXPECT_EQ(c.exchange(next(id)).status, 404);
    EXPECT_EQ(element_text(job_entry(status(c), id), "JobState"), "Completed");
  }
  EXPECT_EQ(c.exchange(post_scan_job(scan_settings(s))).status, 409);  // the feeder is empty
}

TEST_F(DeviceQuirks, AnotherClientsJobEndsAtTheLastRefusal) {
  Config cfg;
  cfg.busy_409_other_client = 2;
  start(cfg);
  RawClient c(port());
  std::string doc = status(c);
  EXPECT_EQ(element_text(doc, "State"), "Processing");
  EXPECT_EQ(element_text(doc, "JobState"), "Processing");
  EXPECT_EQ(server().jobs_alive(), 0);  // not ours
  EXPECT_EQ(c.exchange(post_scan_job(scan_settings({}))).status, 409);
  EXPECT_EQ(element_text(status(c), "State"), "Processing");
  EXPECT_EQ(c.exchange(post_scan_job(scan_settings({}))).status, 409);
  doc = status(c);
  EXPECT_EQ(element_text(doc, "State"), "Idle");
  EXPECT_EQ(element_text(doc, "JobState"), "Completed");
  EXPECT_FALSE(create_job(c).empty());
  EXPECT_EQ(server().jobs_alive(), 1);
}

TEST_F(DeviceQuirks, LostJobAnswerLeavesAnOrphanToDelete) {
  struct Row {
    LostJobAnswer how;
    const char *name;
  } rows[] = {{LostJobAnswer::kGarbled, "garbled"},
              {LostJobAnswer::kCut, "cut"},
              {LostJobAnswer::kSilent, "silent"},
              {LostJobAnswer::kNoLocation, "no-location"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    Config cfg;
    cfg.lose_job_answer = r.how;
    start(cfg);
    {
      RawClient c(port());
      const Answer a = c.exchange(post_scan_job(scan_settings({})), 300);
      switch (r.how) {
        case LostJobAnswer::kGarbled: EXPECT_EQ(a.status, 0); EXPECT_FALSE(a.raw.empty()); break;
        case LostJobAnswer::kCut: EXPECT_FALSE(a.complete); EXPECT_TRUE(c.closed_by_peer()); break;
        case LostJobAnswer::kSilent: EXPECT_TRUE(a.raw.empty()); EXPECT_TRUE(c.pending().empty()); break;
        case LostJobAnswer::kNoLocation:
          EXPECT_EQ(a.status, 201);
          EXPECT_EQ(a.header("Location"), "");
          break;
        case LostJobAnswer::kNone: break;
      }
    }
    EXPECT_EQ(server().jobs_alive(), 1);
    RawClient c(port());
    const std::string doc = status(c);
    const std::string uri = element_text(doc, "JobUri");
    EXPECT_EQ(element_text(doc, "JobState"), "Processing");
    EXPECT_EQ(c.exchange(del(uri)).status, 200);
    EXPECT_EQ(server().jobs_alive(), 0);
    // Only the first answer is lost.
    EXPECT_FALSE(create_job(c).empty());
    server().stop();
  }
}

TEST_F(DeviceQuirks, PngPagesInterlacedOrOneBit) {
  struct Row {
    const char *mode;
    bool interlaced;
    int bit_depth;
  } rows[] = {{"RGB24", true, 8}, {"BlackAndWhite1", false, 1}, {"BlackAndWhite1", true, 1}};
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.mode) + (r.interlaced ? " interlaced" : ""));
    Config cfg;
    cfg.png_interlaced = r.interlaced;
    start(cfg);
    RawClient c(port());
    Settings s;
    s.color_mode = r.mode;
    s.format = "image/png";
    const std::string id = create_job(c, s);
    const std::string png = c.exchange(next(id)).body;
    ASSERT_GT(png.size(), 29u);
    // IHDR: bit depth at byte 24, interlace method at byte 28.
    EXPECT_EQ(png[24], r.bit_depth);
    EXPECT_EQ(png[28], r.interlaced ? 1 : 0);
    Image page;
    ASSERT_TRUE(decode_png(png, page));
    const ColorMode mode = std::string(r.mode) == "RGB24" ? ColorMode::kRgb24 : ColorMode::kBlackAndWhite1;
    const Image chart = render_area(75, 75, 0, 0, 300, 300, mode);
    EXPECT_EQ(page.pixels, chart.pixels);
    server().stop();
  }
}

TEST_F(DeviceQuirks, DamagedPageIsTheOneNamed) {
  for (const char *format : {"image/jpeg", "image/png"}) {
    SCOPED_TRACE(format);
    Config cfg;
    cfg.damaged_page = 2;
    start(cfg);
    RawClient c(port());
    Settings s;
    s.format = format;
    std::vector<std::string> pages;
    for (int i = 0; i < 3; ++i) pages.push_back(c.exchange(next(create_job(c, s))).body);
    Image good, damaged;
    if (std::string(format) == "image/png") {
      EXPECT_TRUE(decode_png(pages[0], good));
      EXPECT_FALSE(decode_png(pages[1], damaged));  // its CRC fails
    } else {
      ASSERT_EQ(pages[1].size(), pages[0].size());
      EXPECT_EQ(pages[1].substr(pages[1].size() - 2), "\xFF\xD9");
      ASSERT_TRUE(decode_jpeg(pages[0], good));
      ASSERT_TRUE(decode_jpeg(pages[1], damaged));  // with corrupt-data warnings
      EXPECT_NE(damaged.pixels, good.pixels);
    }
    EXPECT_NE(pages[1], pages[0]);
    EXPECT_EQ(pages[2], pages[0]);
    server().stop();
  }
}

TEST_F(DeviceQuirks, MakerServerNamesItselfOnEveryAnswer) {
  Config cfg;
  cfg.host_localhost = true;
  start(cfg);
  RawClient c(port());
  for (const char *path : {"/eSCL/ScannerCapabilities", "/eSCL/ScannerStatus", "/eSCL/Nothing"}) {
    const std::string server_name = c.exchange(get(path)).header("Server");
    EXPECT_NE(server_name, "escl-sim") << path;
    EXPECT_FALSE(server_name.empty()) << path;
  }
}

}  // namespace
}  // namespace escl_sim::test
