// Each eSCL endpoint of the simulator over loopback, as a client sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "captured_devices.h"
#include "sim_fixture.h"
#include "xml_text.h"

namespace escl_sim::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class Endpoints : public SimTest {
 protected:
  std::string status(RawClient &c) { return c.exchange(get("/eSCL/ScannerStatus")).body; }
  // The job entry of id in a status document ("" when not listed).
  static std::string job_entry(const std::string &doc, const std::string &id) {
    std::string anchor = "<pwg:JobUri>/eSCL/ScanJobs/" + id + "</pwg:JobUri>";
    size_t p = doc.find(anchor);
    if (p == std::string::npos) return {};
    return doc.substr(p, doc.find("</scan:JobInfo>", p) - p);
  }
  static std::string text(const std::string &doc, const char *name) {
    std::string t;
    xml_element_text(doc, name, t);
    return t;
  }
};

// Which sources each profile offers, in the schema's element order.
struct ProfileCase {
  const char *profile;
  bool adf, camera, range;
};

TEST_F(Endpoints, CapabilitiesOfEachProfile) {
  for (ProfileCase p : {ProfileCase{"mfp", true, false, true}, ProfileCase{"flatbed-photo", false, false, false},
                        ProfileCase{"camera", false, true, false}}) {
    SCOPED_TRACE(p.profile);
    Config cfg;
    cfg.profile = p.profile;
    start(cfg);
    RawClient c(port());
    Answer a = c.exchange("GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHOST: 127.0.0.1:1\r\n\r\n");
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.header("Content-Type"), "text/xml");
    const std::string &doc = a.body;
    EXPECT_THAT(doc, HasSubstr("xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\""));
    EXPECT_THAT(doc, HasSubstr("xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\""));
    // Sizes come first, in the order MinWidth, MaxWidth, MinHeight, MaxHeight.
    size_t caps = doc.find("<scan:PlatenInputCaps>");
    ASSERT_NE(caps, std::string::npos);
    size_t order[] = {doc.find("<scan:MinWidth>", caps), doc.find("<scan:MaxWidth>", caps),
                      doc.find("<scan:MinHeight>", caps), doc.find("<scan:MaxHeight>", caps),
                      doc.find("<scan:ColorModes>", caps), doc.find("<scan:SupportedResolutions>", caps),
                      doc.find("<scan:MaxOpticalXResolution>", caps),
                      doc.find("<scan:MaxOpticalYResolution>", caps)};
    for (size_t i = 1; i < std::size(order); ++i) EXPECT_LT(order[i - 1], order[i]) << i;
    EXPECT_THAT(doc, HasSubstr("<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>"));
    EXPECT_THAT(doc, HasSubstr("<scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>"));
    EXPECT_EQ(doc.find("<scan:AdfSimplexInputCaps>") != std::string::npos, p.adf);
    EXPECT_EQ(doc.find("<scan:AdfDuplexInputCaps>") != std::string::npos, p.adf);
    EXPECT_EQ(doc.find("<scan:FeederCapacity>") != std::string::npos, p.adf);
    EXPECT_EQ(doc.find("<scan:CameraInputCaps>") != std::string::npos, p.camera);
    EXPECT_EQ(doc.find("<scan:XResolutionRange>") != std::string::npos, p.range);
    EXPECT_EQ(doc.find("<scan:DiscreteResolutions>") != std::string::npos, !p.range);
    server().stop();
  }
}

TEST_F(Endpoints, ResolutionRangeHasMinMaxNormalStep) {
  start();
  RawClient c(port());
  std::string doc = c.exchange(get("/eSCL/ScannerCapabilities")).body;
  std::string range;
  ASSERT_TRUE(xml_element_body(doc, "XResolutionRange", range));
  EXPECT_EQ(xml_int(range, "Min", 0), 75);
  EXPECT_EQ(xml_int(range, "Max", 0), 600);
  EXPECT_EQ(xml_int(range, "Normal", 0), 300);
  EXPECT_EQ(xml_int(range, "Step", 0), 25);
}

TEST_F(Endpoints, CapabilitiesFromAFileAreServedAsTheyAre) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  std::string path = captured::path("caps-canon-ts5300.xml");
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  Config cfg;
  cfg.profile = "file:" + path;
  start(cfg);
  RawClient c(port());
  EXPECT_EQ(c.exchange(get("/eSCL/ScannerCapabilities")).body, file.str());
  // A platen-only device: feeder jobs are refused.
  Settings feeder;
  feeder.source = "Feeder";
  EXPECT_EQ(c.exchange(post_scan_job(scan_settings(feeder))).status, 409);
  EXPECT_FALSE(create_job(c).empty());
}

// Captured documents of real devices as profiles: the sources they name
// are the sources the simulated device scans from.
TEST_F(Endpoints, CapturedDocumentsOfferTheSourcesTheyName) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  struct Row {
    const char *file;
    bool simplex, duplex;
  } rows[] = {{"caps-brother-mfc-l8690cdw.xml", true, true},
              {"caps-canon-ts5300.xml", false, false},
              {"caps-kyocera-ecosys-m2040dn.xml", true, true},
              {"caps-xerox-b235.xml", true, false}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.file);
    Config cfg;
    cfg.profile = "file:" + captured::path(r.file);
    start(cfg);
    RawClient c(port());
    Settings simplex;
    simplex.source = "Feeder";
    Settings duplex = simplex;
    duplex.duplex = true;
    EXPECT_FALSE(create_job(c).empty());
    EXPECT_EQ(c.exchange(post_scan_job(scan_settings(simplex))).status, r.simplex ? 201 : 409);
    EXPECT_EQ(c.exchange(post_scan_job(scan_settings(duplex))).status, r.duplex ? 201 : 409);
    EXPECT_EQ(c.exchange(get("/eSCL/ScannerStatus")).body.find("AdfState") != std::string::npos,
              r.simplex);
    server().stop();
  }
}

TEST_F(Endpoints, UnknownProfileOrMissingFileFailsToStart) {
  for (const char *profile : {"nonesuch", "file:/nonexistent/caps.xml"}) {
    Config cfg;
    cfg.profile = profile;
    Server s(cfg);
    EXPECT_FALSE(s.start(0));
    EXPECT_THAT(s.last_error(), Not(testing::IsEmpty()));
  }
}

TEST_F(Endpoints, IdleStatusWithFeederLoaded) {
  start();
  RawClient c(port());
  std::string doc = status(c);
  EXPECT_THAT(doc, HasSubstr("<pwg:State>Idle</pwg:State>"));
  EXPECT_THAT(doc, HasSubstr("<scan:AdfState>ScannerAdfLoaded</scan:AdfState>"));
  EXPECT_THAT(doc, Not(HasSubstr("<scan:JobInfo>")));
}

TEST_F(Endpoints, PlatenOnlyDeviceReportsNoFeeder) {
  Config cfg;
  cfg.profile = "flatbed-photo";
  start(cfg);
  RawClient c(port());
  EXPECT_THAT(status(c), Not(HasSubstr("AdfState")));
}

TEST_F(Endpoints, CreatedJobAnswers201WithAbsoluteLocation) {
  start();
  RawClient c(port());
  Answer a = c.exchange(post_scan_job(scan_settings({})));
  ASSERT_EQ(a.status, 201);
  EXPECT_THAT(a.head, StartsWith("HTTP/1.1 201 Created\r\n"));
  EXPECT_EQ(a.header("Content-Length"), "0");
  std::string id = job_id_of(a.header("Location"));
  EXPECT_EQ(a.header("Location"),
            "http://127.0.0.1:" + std::to_string(port()) + "/eSCL/ScanJobs/" + id);
  std::string entry = job_entry(status(c), id);
  ASSERT_FALSE(entry.empty());
  EXPECT_EQ(text(entry, "JobUuid"), "urn:uuid:" + id);
  EXPECT_EQ(text(entry, "JobState"), "Processing");
  EXPECT_EQ(text(entry, "ImagesCompleted"), "0");
  EXPECT_EQ(text(entry, "ImagesToTransfer"), "1");
}

TEST_F(Endpoints, FlatbedJobDeliversOnePageThen404) {
  start();
  RawClient c(port());
  std::string id = create_job(c);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(server().jobs_alive(), 1);
  Answer page = c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  ASSERT_EQ(page.status, 200);
  EXPECT_TRUE(page.chunked);
  EXPECT_TRUE(page.complete);
  EXPECT_EQ(page.header("Content-Type"), "image/jpeg");
  EXPECT_THAT(page.body, StartsWith("\xff\xd8"));
  EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument")).status, 404);
  ASSERT_EQ(server().pages_sent().size(), 1u);
  EXPECT_EQ(server().pages_sent()[0], page.body);
  EXPECT_EQ(server().jobs_alive(), 0);
  std::string doc = status(c);
  EXPECT_THAT(doc, HasSubstr("<pwg:State>Idle</pwg:State>"));
  std::string entry = job_entry(doc, id);
  EXPECT_EQ(text(entry, "JobState"), "Completed");
  EXPECT_EQ(text(entry, "ImagesCompleted"), "1");
  EXPECT_EQ(text(entry, "ImagesToTransfer"), "0");
}

struct FeederCase {
  bool duplex;
  int sheets;
  int pages;
};

TEST_F(Endpoints, FeederJobGivesASheetAPageOrTwoInDuplex) {
  for (FeederCase f : {FeederCase{false, 3, 3}, FeederCase{true, 2, 4}}) {
    SCOPED_TRACE(f.duplex ? "duplex" : "simplex");
    Config cfg;
    cfg.adf_sheets = f.sheets;
    start(cfg);
    RawClient c(port());
    Settings s;
    s.source = "Feeder";
    s.duplex = f.duplex;
    std::string id = create_job(c, s);
    for (int i = 0; i < f.pages; ++i) {
      EXPECT_THAT(status(c), HasSubstr("ScannerAdfLoaded"));
      EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument")).status, 200) << i;
    }
    std::string doc = status(c);
    EXPECT_THAT(doc, HasSubstr("<scan:AdfState>ScannerAdfEmpty</scan:AdfState>"));
    std::string entry = job_entry(doc, id);
    EXPECT_EQ(text(entry, "JobState"), "Processing");
    EXPECT_EQ(text(entry, "ImagesCompleted"), std::to_string(f.pages));
    EXPECT_EQ(text(entry, "ImagesToTransfer"), "0");
    EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument")).status, 404);
    // The job is over; the operator reloads the feeder for the next one.
    doc = status(c);
    EXPECT_EQ(text(job_entry(doc, id), "JobState"), "Completed");
    EXPECT_THAT(doc, HasSubstr("ScannerAdfLoaded"));
    EXPECT_EQ(server().jobs_alive(), 0);
    EXPECT_EQ(server().pages_sent().size(), static_cast<size_t>(f.pages));
    server().stop();
  }
}

TEST_F(Endpoints, EmptyFeederRefusesFeederJobs) {
  Config cfg;
  cfg.adf_sheets = 0;
  start(cfg);
  RawClient c(port());
  EXPECT_THAT(status(c), HasSubstr("ScannerAdfEmpty"));
  Settings s;
  s.source = "Feeder";
  EXPECT_EQ(c.exchange(post_scan_job(scan_settings(s))).status, 409);
  EXPECT_FALSE(create_job(c).empty());  // the platen still scans
}

TEST_F(Endpoints, CameraJobOnTheCameraProfileOnly) {
  Settings s;
  s.source = "Camera";
  Config cfg;
  cfg.profile = "camera";
  start(cfg);
  RawClient c(port());
  EXPECT_FALSE(create_job(c, s).empty());
  server().stop();
  start();
  RawClient d(port());
  EXPECT_EQ(d.exchange(post_scan_job(scan_settings(s))).status, 409);
}

TEST_F(Endpoints, JobCreationRefusesWhatTheDeviceCannotDo) {
  start();
  RawClient c(port());
  Settings pdf;
  pdf.format = "application/pdf";
  Settings bad_mode;
  bad_mode.color_mode = "RGB48";
  Settings bad_source;
  bad_source.source = "Tray";
  Settings zero_res;
  zero_res.resolution = 0;
  Settings beyond_optical;
  beyond_optical.resolution = 1200;  // the multifunction device stops at 600
  for (const Settings &s : {pdf, bad_mode, bad_source, zero_res, beyond_optical})
    EXPECT_EQ(c.exchange(post_scan_job(scan_settings(s))).status, 409);
  EXPECT_EQ(c.exchange(post_scan_job("<notsettings/>")).status, 400);
  EXPECT_EQ(server().jobs_alive(), 0);
}

TEST_F(Endpoints, DeleteCancelsTheJob) {
  start();
  RawClient c(port());
  std::string id = create_job(c);
  Answer a = c.exchange(del("/eSCL/ScanJobs/" + id));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(server().jobs_alive(), 0);
  EXPECT_EQ(text(job_entry(status(c), id), "JobState"), "Canceled");
  EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument")).status, 404);
  EXPECT_EQ(c.exchange(del("/eSCL/ScanJobs/no-such-job")).status, 404);
}

TEST_F(Endpoints, ScanImageInfoAfterAPage) {
  start();
  RawClient c(port());
  std::string id = create_job(c);
  EXPECT_EQ(c.exchange(get("/eSCL/ScanJobs/" + id + "/ScanImageInfo")).status, 404);
  c.exchange(get("/eSCL/ScanJobs/" + id + "/NextDocument"));
  Answer info = c.exchange(get("/eSCL/ScanJobs/" + id + "/ScanImageInfo"));
  EXPECT_EQ(info.status, 200);
  EXPECT_THAT(info.body, HasSubstr("<pwg:JobUri>/eSCL/ScanJobs/" + id + "</pwg:JobUri>"));
}

TEST_F(Endpoints, StatusListsNewestJobFirst) {
  start();
  RawClient c(port());
  std::string first = create_job(c);
  std::string second = create_job(c);
  ASSERT_NE(first, second);
  std::string doc = status(c);
  EXPECT_LT(doc.find(second), doc.find(first));
}

TEST_F(Endpoints, RequestLinesAreRecorded) {
  start();
  RawClient c(port());
  c.exchange(get("/eSCL/ScannerCapabilities"));
  c.exchange(get("/eSCL/ScannerStatus"));
  EXPECT_THAT(server().requests(), ElementsAre("GET /eSCL/ScannerCapabilities HTTP/1.1",
                                               "GET /eSCL/ScannerStatus HTTP/1.1"));
}

}  // namespace
}  // namespace escl_sim::test
