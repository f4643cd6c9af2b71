// The capabilities fetch over the scan channel and the walk of the
// document into escl_caps: captured device documents, element orders the
// walk has to cope with, and every way the fetch can fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bb_escl/capabilities.h"
#include "bb_escl/session.h"
#include "captured_devices.h"
#include "device_double.h"
#include "http/xml.h"

using fake::Log;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

std::string device_doc(const char *file) { return captured::read_file(captured::path(file)); }

// The list words of a source: count, then the values.
std::vector<int32_t> list_of(const source_caps &s) {
  return std::vector<int32_t>(s.resolutions, s.resolutions + 1 + s.resolutions[0]);
}
std::vector<int32_t> modes_of(const int32_t (&modes)[4]) { return {modes, modes + 4}; }

// Runs the walk over a document the way the fetch does: normalised first.
struct Walk {
  bb_session session{};
  int result = -1;
  explicit Walk(std::string doc) {
    std::vector<char> buf(doc.begin(), doc.end());
    buf.push_back('\0');
    normalize_body(buf.data());
    fake::reset_captures();
    result = bb_parse_scan_elements(buf.data(), int32_t(strlen(buf.data())), &session,
                                    &session.caps);
  }
  const escl_caps &caps() const { return session.caps; }
};

std::string doc(const std::string &body) {
  return "<?xml version=\"1.0\"?><scan:ScannerCapabilities>" + body +
         "</scan:ScannerCapabilities>";
}

std::string sizes(int min_w, int max_w, int min_h, int max_h) {
  return "<scan:MinWidth>" + std::to_string(min_w) + "</scan:MinWidth><scan:MaxWidth>" +
         std::to_string(max_w) + "</scan:MaxWidth><scan:MinHeight>" + std::to_string(min_h) +
         "</scan:MinHeight><scan:MaxHeight>" + std::to_string(max_h) + "</scan:MaxHeight>";
}

std::string modes(std::initializer_list<const char *> names) {
  std::string s = "<scan:ColorModes>";
  for (const char *n : names) s += std::string("<scan:ColorMode>") + n + "</scan:ColorMode>";
  return s + "</scan:ColorModes>";
}

std::string discrete(std::initializer_list<int> xs) {
  std::string s = "<scan:SupportedResolutions><scan:DiscreteResolutions>";
  for (int x : xs)
    s += "<scan:DiscreteResolution><scan:XResolution>" + std::to_string(x) +
         "</scan:XResolution><scan:YResolution>" + std::to_string(x) +
         "</scan:YResolution></scan:DiscreteResolution>";
  return s + "</scan:DiscreteResolutions></scan:SupportedResolutions>";
}

std::string range(int min, int max) {
  return "<scan:SupportedResolutions><scan:ResolutionRange><scan:XResolutionRange><scan:Min>" +
         std::to_string(min) + "</scan:Min><scan:Max>" + std::to_string(max) +
         "</scan:Max><scan:Normal>300</scan:Normal><scan:Step>1</scan:Step>"
         "</scan:XResolutionRange><scan:YResolutionRange><scan:Min>1</scan:Min><scan:Max>2"
         "</scan:Max></scan:YResolutionRange></scan:ResolutionRange></scan:SupportedResolutions>";
}

std::string optical(int x, int y) {
  return "<scan:MaxOpticalXResolution>" + std::to_string(x) +
         "</scan:MaxOpticalXResolution><scan:MaxOpticalYResolution>" + std::to_string(y) +
         "</scan:MaxOpticalYResolution>";
}

std::string source(const char *name, const std::string &inner) {
  return std::string("<scan:") + name + ">" + inner + "</scan:" + name + ">";
}

std::string full_source(const char *name, const std::string &resolutions,
                        std::initializer_list<const char *> mode_names = {"RGB24"}) {
  return source(name, sizes(16, 2550, 32, 3508) + "<scan:SettingProfiles><scan:SettingProfile>" +
                          modes(mode_names) + resolutions +
                          "</scan:SettingProfile></scan:SettingProfiles>" + optical(600, 1200));
}

// ---- captured devices ----

struct Expected {
  int32_t supported, min_width, max_width, min_height, max_height;
  std::vector<int32_t> modes;
  int32_t optical_x, optical_y;
  std::vector<int32_t> list;
};

void expect_source(const source_caps &s, const Expected &e, const char *what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(s.supported, e.supported);
  EXPECT_EQ(s.min_width, e.min_width);
  EXPECT_EQ(s.max_width, e.max_width);
  EXPECT_EQ(s.min_height, e.min_height);
  EXPECT_EQ(s.max_height, e.max_height);
  EXPECT_EQ(modes_of(s.color_modes), e.modes);
  EXPECT_EQ(s.max_optical_x_res, e.optical_x);
  EXPECT_EQ(s.max_optical_y_res, e.optical_y);
  EXPECT_EQ(s.res_range_min, 0);
  EXPECT_EQ(s.res_range_max, 0);
  EXPECT_EQ(list_of(s), e.list);
}

const Expected kAbsent{0, 0, 0, 0, 0, {0, 0, 0, 0}, 0, 0, {0}};

struct DeviceCase {
  const char *file;
  std::vector<int32_t> modes;  // escl_caps color_modes
  int32_t feeder_capacity;
  Expected platen, simplex, duplex;
};

// Read off the documents: sizes as written, X resolutions in document
// order with adjacent repeats kept once, modes by id (1 BlackAndWhite1,
// 2 Grayscale8, 3 RGB24).
const DeviceCase kDevices[] = {
    // Platen and both feeder sides, all in the schema's order.
    {"caps-brother-mfc-l8690cdw.xml",
     {0, 1, 2, 3},
     20,
     {1, 16, 2550, 16, 3507, {0, 1, 2, 3}, 2400, 2400, {4, 100, 200, 300, 600}},
     {1, 16, 2550, 16, 4200, {0, 1, 2, 3}, 2400, 2400, {4, 100, 200, 300, 600}},
     {1, 16, 2550, 16, 4200, {0, 1, 2, 3}, 1200, 2400, {4, 100, 200, 300, 600}}},
    // Platen only; comments around it, attributes on ColorMode and on the
    // XResolution of the default entry.
    {"caps-canon-ts5300.xml",
     {0, 0, 2, 3},
     0,
     {1, 1, 2550, 1, 3508, {0, 0, 2, 3}, 1200, 1200, {7, 75, 100, 150, 200, 300, 600, 1200}},
     kAbsent,
     kAbsent},
    // Three entries with X 200 (Y 100, 200, 400) count once; no optical
    // maxima, so the reader stops at each source's closing tag.
    {"caps-kyocera-ecosys-m2040dn.xml",
     {0, 1, 2, 3},
     75,
     {1, 118, 2551, 118, 3508, {0, 1, 2, 3}, 0, 0, {4, 200, 300, 400, 600}},
     {1, 591, 2551, 591, 4205, {0, 1, 2, 3}, 0, 0, {4, 200, 300, 400, 600}},
     {1, 591, 2551, 591, 4205, {0, 1, 2, 3}, 0, 0, {4, 200, 300, 400, 600}}},
    // One resolution list per colour mode, each led by a ColorMode: the
    // first list is read.  No duplex, no feeder capacity.
    {"caps-xerox-b235.xml",
     {0, 1, 2, 3},
     0,
     {1, 300, 2550, 300, 3508, {0, 1, 2, 3}, 600, 600, {6, 75, 150, 200, 300, 400, 600}},
     {1, 1230, 2550, 1740, 4200, {0, 1, 2, 3}, 600, 600, {6, 75, 150, 200, 300, 400, 600}},
     kAbsent},
};

class CapturedDevice : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(CapturedDevice, WalkFillsTheRecord) {
  const DeviceCase &d = GetParam();
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Walk w(device_doc(d.file));
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.session.escl_version, 2);
  EXPECT_EQ(modes_of(w.caps().color_modes), d.modes);
  EXPECT_EQ(w.caps().feeder_capacity, d.feeder_capacity);
  EXPECT_EQ(w.caps().gated_option_enabled, 0);
  expect_source(w.caps().platen, d.platen, "platen");
  expect_source(w.caps().adf_simplex, d.simplex, "adf_simplex");
  expect_source(w.caps().adf_duplex, d.duplex, "adf_duplex");
  expect_source(w.caps().camera, kAbsent, "camera");
  EXPECT_TRUE(fake::logged(6, "bb_escl 691: bb_parse_scan_elements successful\n"));
  EXPECT_TRUE(fake::logs_starting("bb_escl 693:").empty());
}

INSTANTIATE_TEST_SUITE_P(Devices, CapturedDevice, ::testing::ValuesIn(kDevices),
                         [](const auto &param_info) {
                           std::string n = param_info.param.file;
                           for (char &c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(CapturedDeviceLog, CanonPlatenIsLoggedElementByElement) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Walk w(device_doc("caps-canon-ts5300.xml"));
  EXPECT_THAT(fake::logs(),
              ElementsAre(Log{6, "bb_escl 237: bb_parse_scan_elements entry.\n"},
                          Log{6, "bb_escl 248: Version:2.63\n"},
                          Log{6, "bb_escl 307: Platen FormatSupported ColorMode:Grayscale8\n"},
                          Log{6, "bb_escl 307: Platen FormatSupported ColorMode:RGB24\n"},
                          Log{6, "bb_escl 330: Platen Resolution:75\n"},
                          Log{6, "bb_escl 330: Platen Resolution:100\n"},
                          Log{6, "bb_escl 330: Platen Resolution:150\n"},
                          Log{6, "bb_escl 330: Platen Resolution:200\n"},
                          Log{6, "bb_escl 330: Platen Resolution:300\n"},
                          Log{6, "bb_escl 330: Platen Resolution:600\n"},
                          Log{6, "bb_escl 330: Platen Resolution:1200\n"},
                          Log{6, "bb_escl 363: Platen Optical Resolution Max X:1200\n"},
                          Log{6, "bb_escl 368: Platen Optical Resolution Max Y:1200\n"},
                          Log{6, "bb_escl 691: bb_parse_scan_elements successful\n"}));
}

TEST(CapturedDeviceLog, FeedersLogModesAndOpticalButNotTheirLists) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Walk w(device_doc("caps-brother-mfc-l8690cdw.xml"));
  EXPECT_EQ(fake::logs_starting("bb_escl 330:").size(), 4u);
  EXPECT_THAT(fake::logs_starting("bb_escl 417:"),
              ElementsAre(Log{6, "bb_escl 417: ADF FormatSupported ColorMode:BlackAndWhite1\n"},
                          Log{6, "bb_escl 417: ADF FormatSupported ColorMode:Grayscale8\n"},
                          Log{6, "bb_escl 417: ADF FormatSupported ColorMode:RGB24\n"}));
  EXPECT_EQ(fake::logs_starting("bb_escl 519:").size(), 3u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 473: ADF Simplex Optical Resolution Max X:2400\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 478: ADF Simplex Optical Resolution Max Y:2400\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 576: ADF Duplex Optical Resolution Max X:1200\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 581: ADF Duplex Optical Resolution Max Y:2400\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 588: FeederCapacity:20\n"));
}

// ---- the walk's rules, one document each ----

TEST(Walk, RootOnlyGivesAnEmptyRecord) {
  Walk w(doc(""));
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.session.escl_version, 0);
  escl_caps zero{};
  EXPECT_EQ(memcmp(&w.caps(), &zero, sizeof zero), 0);
}

TEST(Walk, RecordIsZeroedFirst) {
  bb_session session{};
  memset(&session.caps, 0x5a, sizeof session.caps);
  char text[] = "<a/>";
  EXPECT_EQ(bb_parse_scan_elements(text, 4, &session, &session.caps), 0);
  escl_caps zero{};
  EXPECT_EQ(memcmp(&session.caps, &zero, sizeof zero), 0);
}

struct VersionCase {
  const char *text;
  int result;
  int32_t version;
};

class Version : public ::testing::TestWithParam<VersionCase> {};

TEST_P(Version, FirstByteOneIsRefused) {
  const VersionCase &v = GetParam();
  Walk w(doc(std::string("<pwg:Version>") + v.text + "</pwg:Version>" +
             source("PlatenInputCaps", sizes(1, 2, 3, 4))));
  EXPECT_EQ(w.result, v.result);
  EXPECT_EQ(w.session.escl_version, v.version);
  EXPECT_TRUE(fake::logged(6, std::string("bb_escl 248: Version:") + v.text + "\n"));
  EXPECT_EQ(fake::logged(3, "bb_escl 252: Unsupported eSCL1.0 version\n"), v.result == 1);
  // A refused document is not read further.
  EXPECT_EQ(w.caps().platen.supported, v.result == 1 ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Texts, Version,
                         ::testing::Values(VersionCase{"2.63", 0, 2}, VersionCase{"1.0", 1, 1},
                                           VersionCase{"10.0", 1, 1}, VersionCase{" 1.0", 0, 2},
                                           VersionCase{"", 0, 2}, VersionCase{"3", 0, 2}));

TEST(Walk, VersionTagWithAttributesIsRecognised) {
  Walk w(doc("<pwg:Version lang=\"x\">1.0</pwg:Version>"));
  EXPECT_EQ(w.result, 1);
}

TEST(Walk, RefusalKeepsWhatWasReadBefore) {
  Walk w(doc(full_source("PlatenInputCaps", discrete({300})) +
             "<pwg:Version>1.1</pwg:Version>"));
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.caps().platen.supported, 1);
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{1, 300}));
}

TEST(Walk, DiscreteListDropsZeroAndAdjacentRepeats) {
  Walk w(doc(full_source("PlatenInputCaps", discrete({75, 75, 100, 0, 200, 100}))));
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{4, 75, 100, 200, 100}));
  // Every entry is logged, kept or not.
  EXPECT_EQ(fake::logs_starting("bb_escl 330:").size(), 6u);
  EXPECT_TRUE(fake::logged(6, "bb_escl 330: Platen Resolution:0\n"));
}

TEST(Walk, DiscreteListKeepsThirtyOneValues) {
  std::vector<int> many;
  for (int i = 1; i <= 40; ++i) many.push_back(i * 10);
  std::string resolutions = "<scan:SupportedResolutions><scan:DiscreteResolutions>";
  for (int x : many)
    resolutions += "<scan:DiscreteResolution><scan:XResolution>" + std::to_string(x) +
                   "</scan:XResolution></scan:DiscreteResolution>";
  resolutions += "</scan:DiscreteResolutions></scan:SupportedResolutions>";
  Walk w(doc(full_source("CameraInputCaps", resolutions) +
             full_source("AdfSimplexInputCaps", discrete({300}))));
  std::vector<int32_t> expected{31};
  for (int i = 1; i <= 31; ++i) expected.push_back(i * 10);
  EXPECT_EQ(list_of(w.caps().camera), expected);
  EXPECT_EQ(fake::logs_starting("bb_escl 650:").size(), 40u);
  EXPECT_THAT(fake::logs_starting("bb_escl 339:"), ::testing::SizeIs(9));
  EXPECT_EQ(fake::logs_starting("bb_escl 339:").front(),
            (Log{6, "bb_escl 339: Camera Resolution list full, 320 dropped\n"}));
  // The block after the list (in the record: reserved words) is untouched.
  for (int32_t word : w.caps().reserved3) EXPECT_EQ(word, 0);
  EXPECT_EQ(list_of(w.caps().adf_simplex), (std::vector<int32_t>{1, 300}));
}

TEST(Walk, RangeTakesMinAndMaxOfX) {
  Walk w(doc(full_source("PlatenInputCaps", range(75, 1200))));
  EXPECT_EQ(w.caps().platen.res_range_min, 75);
  EXPECT_EQ(w.caps().platen.res_range_max, 1200);
  EXPECT_EQ(list_of(w.caps().platen), std::vector<int32_t>{0});
  EXPECT_EQ(w.caps().platen.max_optical_x_res, 600);
  EXPECT_EQ(w.caps().platen.max_optical_y_res, 1200);
  EXPECT_TRUE(fake::logged(6, "bb_escl 347: Platen Resolution Min:75\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 352: Platen Resolution Max:1200\n"));
}

TEST(Walk, RangeMessagesOfEverySource) {
  Walk w(doc(full_source("PlatenInputCaps", range(1, 2)) +
             full_source("AdfSimplexInputCaps", range(3, 4)) +
             full_source("AdfDuplexInputCaps", range(5, 6)) +
             full_source("CameraInputCaps", range(7, 8))));
  EXPECT_EQ(w.caps().adf_simplex.res_range_min, 3);
  EXPECT_EQ(w.caps().adf_duplex.res_range_max, 6);
  EXPECT_EQ(w.caps().camera.res_range_min, 7);
  EXPECT_EQ(w.caps().camera.res_range_max, 8);
  for (const char *line :
       {"bb_escl 457: ADF Simplex Resolution Min:3\n", "bb_escl 462: ADF Simplex Resolution Max:4\n",
        "bb_escl 558: ADF Duplex Resolution Min:5\n", "bb_escl 563: ADF Duplex Resolution Max:6\n",
        "bb_escl 666: Camera Resolution Min:7\n", "bb_escl 671: Camera Resolution Max:8\n",
        "bb_escl 682: Camera Optical Resolution Max X:600\n",
        "bb_escl 687: Camera Optical Resolution Max Y:1200\n"})
    EXPECT_TRUE(fake::logged(6, line)) << line;
}

// An element is known by its name, whatever attributes it carries.
TEST(Walk, InputCapsTagWithAttributeIsRecognised) {
  Walk w(doc("<scan:PlatenInputCaps id=\"1\">" + sizes(1, 2, 3, 4) + modes({"RGB24"}) +
             discrete({300}) + optical(600, 600) + "</scan:PlatenInputCaps>"));
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.caps().platen.supported, 1);
  EXPECT_EQ(w.caps().platen.max_width, 2);
  EXPECT_EQ(modes_of(w.caps().color_modes), (std::vector<int32_t>{0, 0, 0, 3}));
}

struct SizeOrderCase {
  const char *name;
  std::string elements;
  int32_t min_width, max_width, min_height, max_height;
};

class SizeOrder : public ::testing::TestWithParam<SizeOrderCase> {};

TEST_P(SizeOrder, StoredByElementName) {
  const SizeOrderCase &c = GetParam();
  Walk w(doc("<scan:PlatenInputCaps>" + c.elements + modes({"RGB24"}) + discrete({300}) +
             optical(600, 600) + "</scan:PlatenInputCaps>"));
  EXPECT_EQ(w.caps().platen.min_width, c.min_width);
  EXPECT_EQ(w.caps().platen.max_width, c.max_width);
  EXPECT_EQ(w.caps().platen.min_height, c.min_height);
  EXPECT_EQ(w.caps().platen.max_height, c.max_height);
  // What follows the sizes is read as before.
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{1, 300}));
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SizeOrder,
    ::testing::Values(
        SizeOrderCase{"schema_order", sizes(16, 2550, 32, 3508), 16, 2550, 32, 3508},
        SizeOrderCase{"heights_interleaved",
                      "<scan:MinWidth>16</scan:MinWidth><scan:MinHeight>32</scan:MinHeight>"
                      "<scan:MaxWidth>2550</scan:MaxWidth><scan:MaxHeight>3508</scan:MaxHeight>",
                      16, 2550, 32, 3508},
        SizeOrderCase{"attributes_after_name",
                      "<scan:MinWidth a=\"1\">16</scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>"
                      "<scan:MinHeight>32</scan:MinHeight><scan:MaxHeight b='2'>3508"
                      "</scan:MaxHeight>",
                      16, 2550, 32, 3508},
        // Only four elements are read; one of another name is passed over.
        SizeOrderCase{"other_element_in_place",
                      "<scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>"
                      "<scan:MaxScanRegions>1</scan:MaxScanRegions>"
                      "<scan:MaxHeight>3508</scan:MaxHeight>",
                      16, 2550, 0, 3508},
        SizeOrderCase{"longer_name_is_other", 
                      "<scan:MinWidthX>9</scan:MinWidthX><scan:MaxWidth>2550</scan:MaxWidth>"
                      "<scan:MinHeight>32</scan:MinHeight><scan:MaxHeight>3508</scan:MaxHeight>",
                      0, 2550, 32, 3508},
        SizeOrderCase{"empty_element",
                      "<scan:MinWidth></scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>"
                      "<scan:MinHeight>32</scan:MinHeight><scan:MaxHeight>3508</scan:MaxHeight>",
                      0, 2550, 32, 3508},
        SizeOrderCase{"malformed_numbers",
                      "<scan:MinWidth> -7</scan:MinWidth><scan:MaxWidth>25x50</scan:MaxWidth>"
                      "<scan:MinHeight>abc</scan:MinHeight>"
                      "<scan:MaxHeight>99999999999</scan:MaxHeight>",
                      -7, 25, 0, 0}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(Walk, ColorModesOfEachSourceAndTheSharedList) {
  Walk w(doc(full_source("PlatenInputCaps", discrete({300}), {"Grayscale8", "Sepia16"}) +
             full_source("AdfDuplexInputCaps", discrete({300}), {"BlackAndWhite1"}) +
             full_source("CameraInputCaps", discrete({300}), {"RGB24"})));
  EXPECT_EQ(modes_of(w.caps().platen.color_modes), (std::vector<int32_t>{0, 0, 2, 0}));
  EXPECT_EQ(modes_of(w.caps().adf_duplex.color_modes), (std::vector<int32_t>{0, 1, 0, 0}));
  EXPECT_EQ(modes_of(w.caps().camera.color_modes), (std::vector<int32_t>{0, 0, 0, 3}));
  // Only the platen and the simplex feeder decide the host's modes.
  EXPECT_EQ(modes_of(w.caps().color_modes), (std::vector<int32_t>{0, 0, 2, 0}));
  EXPECT_TRUE(fake::logged(6, "bb_escl 307: Platen FormatSupported ColorMode:Sepia16\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 519: ADF Duplex FormatSupported ColorMode:BlackAndWhite1\n"));
  EXPECT_TRUE(fake::logged(6, "bb_escl 627: Camera FormatSupported ColorMode:RGB24\n"));
}

TEST(Walk, SimplexModesReachTheSharedList) {
  Walk w(doc(full_source("AdfSimplexInputCaps", discrete({300}), {"BlackAndWhite1", "RGB24"})));
  EXPECT_EQ(modes_of(w.caps().color_modes), (std::vector<int32_t>{0, 1, 0, 3}));
}

// A platen element without colour modes or optical maxima must not take
// them from the feeder element after it.
TEST(Walk, SourceMissingElementsStopsAtItsOwnEnd) {
  Walk w(doc(source("PlatenInputCaps", sizes(16, 2550, 16, 3508) + discrete({600})) +
             source("AdfSimplexInputCaps", sizes(16, 2550, 16, 4200) + modes({"RGB24"}) +
                                               discrete({300}))));
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.caps().platen.supported, 1);
  EXPECT_EQ(w.caps().platen.max_height, 3508);
  EXPECT_EQ(modes_of(w.caps().platen.color_modes), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(list_of(w.caps().platen), std::vector<int32_t>{0});
  EXPECT_EQ(w.caps().adf_simplex.supported, 1);
  EXPECT_EQ(w.caps().adf_simplex.max_height, 4200);
  EXPECT_EQ(modes_of(w.caps().adf_simplex.color_modes), (std::vector<int32_t>{0, 0, 0, 3}));
  EXPECT_EQ(list_of(w.caps().adf_simplex), (std::vector<int32_t>{1, 300}));
  EXPECT_EQ(w.caps().adf_simplex.max_optical_x_res, 0);
  EXPECT_TRUE(fake::logs_starting("bb_escl 693:").empty());
}

TEST(Walk, EmptyInputCapsElement) {
  Walk w(doc("<scan:PlatenInputCaps></scan:PlatenInputCaps>" +
             full_source("AdfSimplexInputCaps", discrete({300}))));
  EXPECT_EQ(w.caps().platen.supported, 1);
  EXPECT_EQ(w.caps().adf_simplex.supported, 1);
  EXPECT_EQ(list_of(w.caps().adf_simplex), (std::vector<int32_t>{1, 300}));
}

TEST(Walk, ColorModeBeforeTheResolutionList) {
  Walk w(doc(full_source("PlatenInputCaps",
                         "<scan:SupportedResolutions><scan:ColorMode>RGB24</scan:ColorMode>"
                         "<scan:DiscreteResolutions><scan:DiscreteResolution><scan:XResolution>"
                         "150</scan:XResolution></scan:DiscreteResolution>"
                         "</scan:DiscreteResolutions></scan:SupportedResolutions>"
                         "<scan:SupportedResolutions><scan:ColorMode>Grayscale8</scan:ColorMode>" +
                             range(75, 600))));
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{1, 150}));
  EXPECT_EQ(w.caps().platen.res_range_max, 0);
  EXPECT_EQ(w.caps().platen.max_optical_x_res, 600);
}

TEST(Walk, RangeAfterAColorMode) {
  Walk w(doc(full_source("PlatenInputCaps",
                         "<scan:SupportedResolutions><scan:ColorMode>RGB24</scan:ColorMode>" +
                             range(75, 600).substr(strlen("<scan:SupportedResolutions>")))));
  EXPECT_EQ(w.caps().platen.res_range_min, 75);
  EXPECT_EQ(w.caps().platen.res_range_max, 600);
}

TEST(Walk, SupportedResolutionsWithoutAList) {
  Walk w(doc(full_source("PlatenInputCaps", "<scan:SupportedResolutions><x>1</x>"
                                            "</scan:SupportedResolutions>")));
  EXPECT_EQ(list_of(w.caps().platen), std::vector<int32_t>{0});
  EXPECT_EQ(w.caps().platen.max_optical_x_res, 600);
}

TEST(Walk, EmptyTagEndsTheWalkBetweenElements) {
  Walk w(doc("<pwg:Version>2.0</pwg:Version><>" + full_source("PlatenInputCaps", discrete({300}))));
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.session.escl_version, 2);
  EXPECT_EQ(w.caps().platen.supported, 0);
  EXPECT_TRUE(fake::logged(6, "bb_escl 691: bb_parse_scan_elements successful\n"));
}

TEST(Walk, EmptyTagInsideASourceIsPassedOver) {
  Walk w(doc(source("PlatenInputCaps", sizes(1, 2, 3, 4) + "<>" + modes({"RGB24"}) + "<>" +
                                           discrete({300}) + "<>" + optical(600, 600))));
  EXPECT_EQ(w.caps().color_modes[3], 3);
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{1, 300}));
  EXPECT_EQ(w.caps().platen.max_optical_y_res, 600);
}

struct CutCase {
  const char *name;
  std::string doc;
  std::string missing;
};

class DocumentCut : public ::testing::TestWithParam<CutCase> {};

// The document stops inside a source: the walk ends with what it has.
TEST_P(DocumentCut, EndsWithWhatWasRead) {
  const CutCase &c = GetParam();
  Walk w(c.doc);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.caps().platen.supported, 1);
  EXPECT_THAT(fake::logs_starting("bb_escl 693:"),
              ElementsAre(Log{3, "bb_escl 693: Platen capabilities end before " + c.missing + "\n"}));
  EXPECT_FALSE(fake::logged(6, "bb_escl 691: bb_parse_scan_elements successful\n"));
}

const std::string kPlatenStart = "<scan:PlatenInputCaps>" + sizes(1, 2, 3, 4);

INSTANTIATE_TEST_SUITE_P(
    Places, DocumentCut,
    ::testing::Values(
        CutCase{"in_sizes", "<scan:PlatenInputCaps><scan:MinWidth>1</scan:MinWidth>",
                "the size elements"},
        CutCase{"before_modes", kPlatenStart, "scan:ColorModes"},
        CutCase{"in_modes", kPlatenStart + "<scan:ColorModes><scan:ColorMode>RGB24",
                "/scan:ColorModes"},
        CutCase{"before_resolutions", kPlatenStart + modes({"RGB24"}), "scan:SupportedResolutions"},
        CutCase{"before_list", kPlatenStart + modes({"RGB24"}) + "<scan:SupportedResolutions>",
                "scan:DiscreteResolutions"},
        CutCase{"in_list",
                kPlatenStart + modes({"RGB24"}) +
                    "<scan:SupportedResolutions><scan:DiscreteResolutions>"
                    "<scan:DiscreteResolution><scan:XResolution>300</scan:XResolution>",
                "/scan:SupportedResolutions"},
        CutCase{"before_optical", kPlatenStart + modes({"RGB24"}) + discrete({300}),
                "scan:MaxOpticalXResolution"},
        CutCase{"in_comment", kPlatenStart + "<!-- never ends", "scan:ColorModes"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(DocumentCutValues, ValuesBeforeTheCutStay) {
  Walk w(kPlatenStart + modes({"Grayscale8"}) + discrete({150, 300}));
  EXPECT_EQ(w.caps().color_modes[2], 2);
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{2, 150, 300}));
  EXPECT_EQ(w.caps().platen.max_width, 2);
}

TEST(Walk, FeederCapacity) {
  Walk w(doc("<scan:FeederCapacity>50</scan:FeederCapacity>"));
  EXPECT_EQ(w.caps().feeder_capacity, 50);
  EXPECT_TRUE(fake::logged(6, "bb_escl 588: FeederCapacity:50\n"));
}

TEST(Walk, CommentsBetweenElementsArePassedOver) {
  Walk w(doc("<!-- <scan:PlatenInputCaps> -->" +
             source("PlatenInputCaps", "<!--a-->" + sizes(1, 2, 3, 4) + "<!--b-->" +
                                           modes({"RGB24"}) + discrete({300}) +
                                           optical(600, 600))));
  EXPECT_EQ(w.caps().platen.min_width, 1);
  EXPECT_EQ(list_of(w.caps().platen), (std::vector<int32_t>{1, 300}));
}

TEST(Walk, WorksWithoutNormalisation) {
  // Line breaks and indentation inside the element texts of a raw body:
  // numbers still read (leading white space allowed).
  std::string raw = doc(source("PlatenInputCaps",
                               "<scan:MinWidth>\r\n  16\r\n</scan:MinWidth>\r\n"
                               "<scan:MaxWidth>\t2550</scan:MaxWidth>"
                               "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3508"
                               "</scan:MaxHeight>"));
  bb_session session{};
  std::vector<char> buf(raw.begin(), raw.end());
  EXPECT_EQ(bb_parse_scan_elements(buf.data(), int32_t(buf.size()), &session, &session.caps), 0);
  EXPECT_EQ(session.caps.platen.min_width, 16);
  EXPECT_EQ(session.caps.platen.max_width, 2550);
}

// ---- the fetch over the scan channel ----

// A device URI that is no http one: the Host every device takes.
const char kRequest[] = "GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHost: localhost:80\r\n\r\n";

std::string ok_with_length(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ok_chunked(const std::string &body, size_t chunk) {
  std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  char line[16];
  for (size_t i = 0; i < body.size(); i += chunk) {
    std::string piece = body.substr(i, chunk);
    snprintf(line, sizeof line, "%zx\r\n", piece.size());
    out += line + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

struct Fetch {
  fake::Device dev;
  host_session *hs;
  bb_session session{};
  Fetch() : hs(static_cast<host_session *>(calloc(1, sizeof(host_session)))) {
    hs->dd = dev.dd();
    strcpy(hs->device_uri, "kv://scanner-1");
    hs->bb_session = &session;
  }
  ~Fetch() { free(hs); }
  int run() {
    fake::reset_captures();
    return bb_get_scanner_elements(hs, &session.caps);
  }
};

struct FramingCase {
  const char *name;
  std::string (*answer)(const std::string &);
  size_t piece;  // bytes per channel read
};

class FetchFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FetchFraming, ReadsAndClosesTheScanChannel) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  Fetch f;
  std::string body = device_doc("caps-brother-mfc-l8690cdw.xml");
  f.dev.next("KV-ESCL-SCAN").reply_in_pieces(GetParam().answer(body), GetParam().piece);
  EXPECT_EQ(f.run(), 0);
  ASSERT_EQ(f.dev.opened_names(), std::vector<std::string>{"KV-ESCL-SCAN"});
  EXPECT_EQ(f.dev.channel(0).writes, std::vector<std::string>{kRequest});
  EXPECT_EQ(f.dev.channel(0).write_timeouts, std::vector<int>{3});
  EXPECT_TRUE(f.dev.channel(0).closed);
  EXPECT_EQ(f.session.http, nullptr);
  EXPECT_EQ(f.session.escl_version, 2);
  EXPECT_EQ(list_of(f.session.caps.adf_duplex), (std::vector<int32_t>{4, 100, 200, 300, 600}));
  EXPECT_EQ(f.session.caps.feeder_capacity, 20);
  EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 909: bb_get_scanner_elements.\n"}));
  EXPECT_EQ(fake::logs().back(),
            (Log{6, "bb_escl 941: bb_get_scanner_elements returning with (stat=0).\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FetchFraming,
    ::testing::Values(FramingCase{"length_whole", ok_with_length, 1 << 20},
                      FramingCase{"length_in_pieces", ok_with_length, 777},
                      FramingCase{"length_byte_by_byte", ok_with_length, 1},
                      FramingCase{"chunked_whole",
                                  [](const std::string &b) { return ok_chunked(b, 4000); }, 1 << 20},
                      FramingCase{"chunked_small_chunks",
                                  [](const std::string &b) { return ok_chunked(b, 100); }, 333}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(FetchFailure, ChannelRefused) {
  Fetch f;
  memset(&f.session.caps, 0x11, sizeof f.session.caps);
  escl_caps before = f.session.caps;
  f.dev.refuse("KV-ESCL-SCAN");
  EXPECT_EQ(f.run(), 1);
  EXPECT_EQ(f.session.http, nullptr);
  EXPECT_EQ(memcmp(&f.session.caps, &before, sizeof before), 0);
  EXPECT_TRUE(fake::logged(3, "bb_escl 912: unable to open http connection kv://scanner-1\n"));
  EXPECT_EQ(fake::logs().back(),
            (Log{6, "bb_escl 941: bb_get_scanner_elements returning with (stat=1).\n"}));
}

TEST(FetchFailure, RequestNotWritten) {
  Fetch f;
  memset(&f.session.caps, 0x22, sizeof f.session.caps);
  escl_caps before = f.session.caps;
  f.dev.next("KV-ESCL-SCAN").write_result = 5;
  EXPECT_EQ(f.run(), 1);
  EXPECT_TRUE(f.dev.channel(0).closed);
  EXPECT_EQ(f.session.http, nullptr);
  EXPECT_EQ(memcmp(&f.session.caps, &before, sizeof before), 0);
  EXPECT_TRUE(fake::logged(3, "bb_escl 919: unable to get_scanner_elements kv://scanner-1\n"));
  EXPECT_EQ(fake::logs().back(),
            (Log{6, "bb_escl 941: bb_get_scanner_elements returning with (stat=1).\n"}));
}

TEST(FetchFailure, NoAnswer) {
  Fetch f;
  f.dev.next("KV-ESCL-SCAN").silence();
  EXPECT_EQ(f.run(), 1);
  EXPECT_TRUE(f.dev.channel(0).closed);
  EXPECT_EQ(f.dev.open_count(), 0);
  EXPECT_EQ(f.session.http, nullptr);
  // The channel is closed before the final message.
  auto close = std::find_if(fake::logs().begin(), fake::logs().end(), [](const Log &l) {
    return l.text.rfind("http 284:", 0) == 0;
  });
  ASSERT_NE(close, fake::logs().end());
  EXPECT_EQ(close + 1, fake::logs().end() - 1);
}

TEST(FetchFailure, RefusedVersionClosesTheChannel) {
  Fetch f;
  f.dev.next("KV-ESCL-SCAN").reply(ok_with_length(doc("<pwg:Version>1.0</pwg:Version>")));
  EXPECT_EQ(f.run(), 1);
  EXPECT_EQ(f.session.escl_version, 1);
  EXPECT_TRUE(f.dev.channel(0).closed);
  EXPECT_EQ(f.session.http, nullptr);
}

// Documents of devices with many setting profiles are long: up to 256 KiB
// is read whole; a body as large as the whole buffer loses its last byte to
// the terminator the text scanners rely on.
TEST(FetchLimits, BodyFillingTheBufferIsCutByOneByte) {
  for (int32_t size : {32768, 262144, 262145}) {
    SCOPED_TRACE(size);
    Fetch f;
    std::string tail = "<scan:FeederCapacity>12";
    std::string body = "<a>" + std::string(size_t(size) - 3 - tail.size(), ' ') + tail;
    ASSERT_EQ(body.size(), size_t(size));
    f.dev.next("KV-ESCL-SCAN").reply(ok_with_length(body));
    EXPECT_EQ(f.run(), 0);
    EXPECT_EQ(f.session.caps.feeder_capacity, size == 262145 ? 1 : 12);
  }
}

}  // namespace
