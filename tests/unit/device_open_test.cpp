// bb_open and bb_close against the scripted device: what each captured or
// written document publishes into host_session, field by field, and the
// record's lifetime.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bb_escl.h"
#include "bb_escl/session.h"
#include "captured_devices.h"
#include "device_double.h"
#include "http/http.h"

using fake::Log;
using ::testing::ElementsAre;

namespace {

std::string answer(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

constexpr SANE_Word kHostListMarker = 777;

// The host's record as a host prepares it: zero-filled, with its own
// range minima and quanta and an active list of its own choosing.
struct Host {
  struct Free {
    void operator()(host_session *p) const { free(p); }
  };
  std::unique_ptr<host_session, Free> hs{
      static_cast<host_session *>(calloc(1, sizeof(host_session)))};
  explicit Host(int dd) {
    hs->dd = dd;
    strcpy(hs->device_uri, "kv://host-device");
    hs->resolution_list[0] = 1;
    hs->resolution_list[1] = kHostListMarker;
    for (source_geometry &g : hs->source_geometry) {
      for (SANE_Range *r : {&g.tl_x_range, &g.tl_y_range, &g.br_x_range, &g.br_y_range}) {
        r->min = 11;
        r->max = -1;
        r->quant = 3;
      }
      g.min_width = g.min_height = -1;
      g.resolutions[0] = 1;
      g.resolutions[1] = kHostListMarker;
    }
  }
  ~Host() {
    if (hs->bb_session != nullptr) bb_close(hs.get());
  }
  host_session *operator->() const { return hs.get(); }
  host_session *get() const { return hs.get(); }
};

std::vector<std::string> names_of(const SANE_String_Const *names, int slots) {
  std::vector<std::string> out;
  for (int i = 0; i < slots && names[i] != nullptr; ++i) out.push_back(names[i]);
  return out;
}
std::vector<int32_t> ids_of(const int32_t *ids, int slots) {
  std::vector<int32_t> out;
  for (int i = 0; i < slots && ids[i] != 0; ++i) out.push_back(ids[i]);
  return out;
}
std::vector<int32_t> word_list(const SANE_Word *w) { return {w, w + 1 + w[0]}; }

struct Geometry {
  std::vector<int32_t> list;
  SANE_Fixed min_width, min_height, x_max, y_max;
};

struct OpenCase {
  const char *name;
  std::string path;
  std::vector<std::string> modes;
  std::vector<int32_t> mode_ids;
  std::vector<std::string> sources;
  std::vector<int32_t> source_ids;
  std::vector<int32_t> resolution_list;
  Geometry geometry[BB_SOURCE_COUNT];  // platen, simplex, duplex, camera
};

const std::string kDevices = captured::dir();
const std::string kData = BB_TEST_DATA_DIR;

// Sizes are converted as units / 11.811023 * 65536, truncated:
//   1 -> 5548, 16 -> 88779, 100 -> 554871, 118 -> 654748, 300 -> 1664614,
//   591 -> 3279290, 1230 -> 6824919, 1275 -> 7074611, 1650 -> 9155379,
//   1740 -> 9654764, 2550 -> 14149223 (215.90001 mm), 2551 -> 14154771,
//   3507 -> 19459343, 3508 -> 19464892, 4200 -> 23304602, 4205 -> 23332346.
// A source that is absent gets zeros and, for duplex and camera, the
// count 0; platen and simplex blocks of absent sources keep the host's list.
const Geometry kHostKept{{1, kHostListMarker}, 0, 0, 0, 0};
const Geometry kZero{{0}, 0, 0, 0, 0};

const OpenCase kOpenCases[] = {
    // Platen 16/2550/16/3507, feeders 16/2550/16/4200, four X resolutions
    // each; the simplex list becomes the active one.
    {"brother",
     kDevices + "/caps-brother-mfc-l8690cdw.xml",
     {"Lineart", "Gray", "Color"},
     {1, 2, 3},
     {"Flatbed", "ADF", "ADF Duplex"},
     {1, 2, 3},
     {4, 100, 200, 300, 600},
     {{{4, 100, 200, 300, 600}, 88779, 88779, 14149223, 19459343},
      {{4, 100, 200, 300, 600}, 88779, 88779, 14149223, 23304602},
      {{4, 100, 200, 300, 600}, 88779, 88779, 14149223, 23304602},
      kZero}},
    // Platen 1/2550/1/3508 with Grayscale8 and RGB24 only.
    {"canon",
     kDevices + "/caps-canon-ts5300.xml",
     // Line art wherever grey: thresholded by the host.
     {"Lineart", "Gray", "Color"},
     {1, 2, 3},
     {"Flatbed"},
     {1},
     {7, 75, 100, 150, 200, 300, 600, 1200},
     {{{7, 75, 100, 150, 200, 300, 600, 1200}, 5548, 5548, 14149223, 19464892},
      kHostKept,
      kZero,
      kZero}},
    // X resolutions 200, 200, 200, 300, 400, 600: the repeats count once.
    {"kyocera",
     kDevices + "/caps-kyocera-ecosys-m2040dn.xml",
     {"Lineart", "Gray", "Color"},
     {1, 2, 3},
     {"Flatbed", "ADF", "ADF Duplex"},
     {1, 2, 3},
     {4, 200, 300, 400, 600},
     {{{4, 200, 300, 400, 600}, 654748, 654748, 14154771, 19464892},
      {{4, 200, 300, 400, 600}, 3279290, 3279290, 14154771, 23332346},
      {{4, 200, 300, 400, 600}, 3279290, 3279290, 14154771, 23332346},
      kZero}},
    // Platen 300/2550/300/3508, simplex 1230/2550/1740/4200, the first of
    // three lists of each.
    {"xerox",
     kDevices + "/caps-xerox-b235.xml",
     {"Lineart", "Gray", "Color"},
     {1, 2, 3},
     {"Flatbed", "ADF"},
     {1, 2},
     {6, 75, 150, 200, 300, 400, 600},
     {{{6, 75, 150, 200, 300, 400, 600}, 1664614, 1664614, 14149223, 19464892},
      {{6, 75, 150, 200, 300, 400, 600}, 6824919, 9654764, 14149223, 23304602},
      kZero,
      kZero}},
    // Range 75..1200 -> the standard values 75 to 1200.
    {"range_platen",
     kData + "/caps-range-platen.xml",
     // Line art wherever grey: thresholded by the host.
     {"Lineart", "Gray", "Color"},
     {1, 2, 3},
     {"Flatbed"},
     {1},
     {7, 75, 100, 150, 200, 300, 600, 1200},
     {{{7, 75, 100, 150, 200, 300, 600, 1200}, 88779, 88779, 14149223, 19464892},
      kHostKept,
      kZero,
      kZero}},
    // Camera only: no mode is published (only platen and simplex offer
    // modes) and the active list stays the host's; range 100..100 -> 100.
    {"camera_only",
     kData + "/caps-camera-only.xml",
     {},
     {},
     {"Camera"},
     {4},
     {1, kHostListMarker},
     {kHostKept, kHostKept, kZero, {{1, 100}, 554871, 554871, 7074611, 9155379}}},
    // No platen: ADF and Duplex at positions 0 and 1; simplex sizes in
    // the order MinWidth, MinHeight, MaxWidth, MaxHeight land by name;
    // duplex range 150..600 -> 150, 200, 300, 600.
    {"feeders_only",
     kData + "/caps-feeders-only.xml",
     {"Lineart", "Gray"},
     {1, 2},
     {"ADF", "ADF Duplex"},
     {2, 3},
     {2, 200, 300},
     {kHostKept,
      {{2, 200, 300}, 1664614, 9654764, 14149223, 23304602},
      {{4, 150, 200, 300, 600}, 3279290, 3279290, 14154771, 23332346},
      kZero}},
};

class Publishes : public ::testing::TestWithParam<OpenCase> {};

TEST_P(Publishes, FieldByField) {
  const OpenCase &c = GetParam();
  if (c.path.rfind(kDevices, 0) == 0) SKIP_WITHOUT_CAPTURED_DEVICES();
  fake::Device dev;
  Host host(dev.dd());
  std::string body = captured::read_file(c.path);
  ASSERT_FALSE(body.empty()) << c.path;
  dev.next("KV-ESCL-SCAN").reply(answer(body));

  ASSERT_EQ(bb_open(host.get()), 0);

  EXPECT_EQ(names_of(host->mode_names, 4), c.modes);
  EXPECT_EQ(ids_of(host->mode_ids, 4), c.mode_ids);
  EXPECT_EQ(names_of(host->source_names, 5), c.sources);
  EXPECT_EQ(ids_of(host->source_ids, 5), c.source_ids);
  EXPECT_EQ(word_list(host->resolution_list), c.resolution_list);
  for (int i = 0; i < BB_SOURCE_COUNT; ++i) {
    SCOPED_TRACE(i);
    const source_geometry &g = host->source_geometry[i];
    const Geometry &e = c.geometry[i];
    EXPECT_EQ(word_list(g.resolutions), e.list);
    EXPECT_EQ(g.min_width, e.min_width);
    EXPECT_EQ(g.min_height, e.min_height);
    EXPECT_EQ(g.tl_x_range.max, e.x_max);
    EXPECT_EQ(g.br_x_range.max, e.x_max);
    EXPECT_EQ(g.tl_y_range.max, e.y_max);
    EXPECT_EQ(g.br_y_range.max, e.y_max);
    // The host's minima and quanta are its own.
    for (const SANE_Range *r : {&g.tl_x_range, &g.tl_y_range, &g.br_x_range, &g.br_y_range}) {
      EXPECT_EQ(r->min, 11);
      EXPECT_EQ(r->quant, 3);
    }
  }
  EXPECT_EQ(host->gated_option_cap, 0x20);
  ASSERT_NE(host->bb_session, nullptr);
  EXPECT_EQ(host->bb_session->http, nullptr);
  EXPECT_EQ(host->bb_session->escl_version, 2);
  EXPECT_EQ(dev.open_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Documents, Publishes, ::testing::ValuesIn(kOpenCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(OpenLog, MessagesInOrder) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(captured::read_file(kDevices + "/caps-brother-mfc-l8690cdw.xml")));
  ASSERT_EQ(bb_open(host.get()), 0);
  std::vector<Log> own;
  for (const Log &l : fake::logs()) {
    for (const char *prefix : {"bb_escl 1029:", "bb_escl 909:", "bb_escl 941:", "bb_escl 1042:",
                               "bb_escl 11", "bb_escl 1173:"})
      if (l.text.rfind(prefix, 0) == 0) {
        own.push_back(l);
        break;
      }
  }
  EXPECT_THAT(
      own,
      ElementsAre(
          Log{6, "bb_escl 1029: bb_open() escl entry.\n"},
          Log{6, "bb_escl 909: bb_get_scanner_elements.\n"},
          Log{6, "bb_escl 941: bb_get_scanner_elements returning with (stat=0).\n"},
          Log{6, "bb_escl 1042: UpdateResolutionListForRange ESCL\n"},
          Log{6, "bb_escl 1106: Platen minWidth=88779 minHeight=88779 Range[14149223, 14149223, "
                 "19459343, 19459343] \n"},
          Log{6, "bb_escl 1115: ADF Simplex minWidth=88779 minHeight=88779 Range[14149223, "
                 "14149223, 23304602, 23304602] \n"},
          Log{6, "bb_escl 1125: ADF Duplex minWidth=88779 minHeight=88779 Range[14149223, "
                 "14149223, 23304602, 23304602] \n"},
          Log{6, "bb_escl 1135: Camera minWidth=0 minHeight=0 Range[0, 0, 0, 0] \n"},
          Log{6, "bb_escl 1173: bb_open() returning stat=0.\n"}));
}

std::string platen_doc(const std::string &sizes, const std::string &resolutions) {
  return "<scan:ScannerCapabilities><scan:PlatenInputCaps>" + sizes +
         "<scan:ColorModes><scan:ColorMode>RGB24</scan:ColorMode></scan:ColorModes>"
         "<scan:SupportedResolutions>" +
         resolutions +
         "</scan:SupportedResolutions><scan:MaxOpticalXResolution>600</scan:MaxOpticalXResolution>"
         "<scan:MaxOpticalYResolution>600</scan:MaxOpticalYResolution></scan:PlatenInputCaps>"
         "</scan:ScannerCapabilities>";
}

const std::string kSizes =
    "<scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>"
    "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3508</scan:MaxHeight>";

std::string range(int min, int max) {
  return "<scan:ResolutionRange><scan:XResolutionRange><scan:Min>" + std::to_string(min) +
         "</scan:Min><scan:Max>" + std::to_string(max) +
         "</scan:Max></scan:XResolutionRange></scan:ResolutionRange>";
}

struct RangeCase {
  int min, max;
  std::vector<int32_t> list;
};

class RangeToList : public ::testing::TestWithParam<RangeCase> {};

// The standard values 50 ... 9600 that lie inside the range.
TEST_P(RangeToList, TakesStandardValuesInside) {
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(platen_doc(kSizes, range(GetParam().min, GetParam().max))));
  ASSERT_EQ(bb_open(host.get()), 0);
  EXPECT_EQ(word_list(host->resolution_list), GetParam().list);
  EXPECT_EQ(word_list(host->source_geometry[0].resolutions), GetParam().list);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, RangeToList,
    ::testing::Values(RangeCase{75, 1200, {7, 75, 100, 150, 200, 300, 600, 1200}},
                      RangeCase{100, 100, {1, 100}}, RangeCase{80, 90, {0}},
                      RangeCase{0, 99999, {11, 50, 75, 100, 150, 200, 300, 600, 1200, 2400, 4800, 9600}},
                      RangeCase{1200, 75, {0}}, RangeCase{-100, 60, {1, 50}}));

struct SizeCase {
  const char *name;
  std::string sizes;
  SANE_Fixed min_width, min_height, x_max, y_max;
};

class SizeConversion : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeConversion, FixedMillimetres) {
  const SizeCase &c = GetParam();
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(platen_doc(c.sizes, range(75, 300))));
  ASSERT_EQ(bb_open(host.get()), 0);
  const source_geometry &g = host->source_geometry[0];
  EXPECT_EQ(g.min_width, c.min_width);
  EXPECT_EQ(g.min_height, c.min_height);
  EXPECT_EQ(g.br_x_range.max, c.x_max);
  EXPECT_EQ(g.br_y_range.max, c.y_max);
}

std::string sizes(const char *min_w, const char *max_w, const char *min_h, const char *max_h) {
  return std::string("<scan:MinWidth>") + min_w + "</scan:MinWidth><scan:MaxWidth>" + max_w +
         "</scan:MaxWidth><scan:MinHeight>" + min_h + "</scan:MinHeight><scan:MaxHeight>" + max_h +
         "</scan:MaxHeight>";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeConversion,
    ::testing::Values(
        // 16 / 11.811023 * 65536 = 88779.9 -> 88779; 2550 -> 14149223.6
        // (the exact 300/25.4 would give 14149222); 3508 -> 19464892.
        SizeCase{"letter", sizes("16", "2550", "0", "3508"), 88779, 0, 14149223, 19464892},
        // A negative size is no size: dropped to 0.
        SizeCase{"negative", sizes("-16", "1", "0", "0"), 0, 0, 5548, 0},
        // 400000 units is about 33.9 m, beyond SANE_Fixed: clamped, not wrapped.
        SizeCase{"beyond_fixed", sizes("0", "400000", "0", "-400000"), 0, 0, 2147483647, 0}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(GatedOption, InactiveBitSetOtherBitsKept) {
  for (SANE_Word before : {0x0, 0x5, 0x21, 0x7fff}) {
    SCOPED_TRACE(before);
    fake::Device dev;
    Host host(dev.dd());
    host->gated_option_cap = before;
    dev.next("KV-ESCL-SCAN").reply(answer(platen_doc(kSizes, range(75, 300))));
    ASSERT_EQ(bb_open(host.get()), 0);
    EXPECT_EQ(host->gated_option_cap, before | 0x20);
  }
}

TEST(OpenFailure, NothingPublishedRecordStaysAttached) {
  fake::Device dev;
  Host host(dev.dd());
  host->gated_option_cap = 0x1;
  dev.refuse("KV-ESCL-SCAN");
  EXPECT_EQ(bb_open(host.get()), 1);
  ASSERT_NE(host->bb_session, nullptr);
  EXPECT_EQ(host->bb_session->http, nullptr);
  EXPECT_EQ(host->source_names[0], nullptr);
  EXPECT_EQ(host->mode_names[0], nullptr);
  EXPECT_EQ(word_list(host->resolution_list), (std::vector<int32_t>{1, kHostListMarker}));
  EXPECT_EQ(host->source_geometry[0].min_width, -1);
  EXPECT_EQ(host->gated_option_cap, 0x1);
  EXPECT_EQ(fake::logs().front(), (Log{6, "bb_escl 1029: bb_open() escl entry.\n"}));
  EXPECT_EQ(fake::logs().back(), (Log{6, "bb_escl 1173: bb_open() returning stat=1.\n"}));

  fake::reset_captures();
  EXPECT_EQ(bb_close(host.get()), 0);
  EXPECT_EQ(host->bb_session, nullptr);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1181: bb_close entry...\n"}));
  // A second close finds nothing to free.
  EXPECT_EQ(bb_close(host.get()), 0);
}

TEST(OpenFailure, RefusedVersion) {
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(
      answer("<scan:ScannerCapabilities><pwg:Version>1.0</pwg:Version></scan:ScannerCapabilities>"));
  EXPECT_EQ(bb_open(host.get()), 1);
  EXPECT_EQ(host->bb_session->escl_version, 1);
  EXPECT_EQ(host->source_names[0], nullptr);
  EXPECT_EQ(dev.open_count(), 0);
}

// A document in which no source is found cannot scan: the open fails and
// says why, also when a byte-order mark hid the document's start.
TEST(OpenFailure, NoInputSourceIsRefusedWithItsOwnResult) {
  for (std::string doc : {std::string("<scan:ScannerCapabilities><pwg:Version>2.63</pwg:Version>"
                                      "</scan:ScannerCapabilities>"),
                          std::string("<scan:ScannerCapabilities><scan:Platen></scan:Platen>"
                                      "</scan:ScannerCapabilities>")}) {
    fake::Device dev;
    Host host(dev.dd());
    dev.next("KV-ESCL-SCAN").reply(answer(doc));
    EXPECT_EQ(bb_open(host.get()), BB_OPEN_NO_SOURCE) << doc;
    EXPECT_EQ(fake::logs_starting("bb_escl 1170:").size(), 1u) << doc;
    EXPECT_EQ(fake::logs_starting("bb_escl 1170:")[0].level, 3) << doc;
    EXPECT_EQ(dev.open_count(), 0);
  }
}

// Values no scan can use are dropped, each with a line, before anything
// is published: no negative ranges, no absurd resolutions.
TEST(OpenValues, UnusableSizesAndResolutionsAreDropped) {
  auto discrete = [](const char *x) {
    return std::string("<scan:DiscreteResolution><scan:XResolution>") + x +
           "</scan:XResolution><scan:YResolution>300</scan:YResolution></scan:DiscreteResolution>";
  };
  const std::string sizes =
      "<scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>-2550</scan:MaxWidth>"
      "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3508</scan:MaxHeight>";
  const std::string list = "<scan:DiscreteResolutions>" + discrete("-300") + discrete("300") +
                           discrete("2147483647") + "</scan:DiscreteResolutions>";
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(platen_doc(sizes, list)));
  ASSERT_EQ(bb_open(host.get()), 0);
  EXPECT_EQ(word_list(host->source_geometry[0].resolutions), (std::vector<int32_t>{1, 300}));
  EXPECT_EQ(host->source_geometry[0].br_x_range.max, 0);
  EXPECT_EQ(fake::logs_starting("bb_escl 1039:").size(), 2u);
  EXPECT_EQ(fake::logs_starting("bb_escl 1038:").size(), 1u);
}

// Devices that start the document with a byte-order mark or line breaks.
TEST(OpenLead, ByteOrderMarkAndBlanksBeforeTheDocumentArePassedOver) {
  const std::string doc = platen_doc(kSizes, range(75, 300));
  for (const std::string lead : {"\xEF\xBB\xBF", "\xEF\xBB\xBF\r\n", "\r\n  \t\n"}) {
    fake::Device dev;
    Host host(dev.dd());
    dev.next("KV-ESCL-SCAN").reply(answer(lead + doc));
    ASSERT_EQ(bb_open(host.get()), 0);
    EXPECT_EQ(names_of(host->source_names, 5), std::vector<std::string>{"Flatbed"});
    EXPECT_FALSE(names_of(host->mode_names, 4).empty());
  }
}

TEST(Close, WithoutRecordOnlyLogs) {
  fake::Device dev;
  Host host(dev.dd());
  EXPECT_EQ(bb_close(host.get()), 0);
  EXPECT_THAT(fake::logs(), ElementsAre(Log{6, "bb_escl 1181: bb_close entry...\n"}));
}

TEST(Close, ClosesAChannelStillOpen) {
  fake::Device dev;
  Host host(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(platen_doc(kSizes, range(75, 300))));
  ASSERT_EQ(bb_open(host.get()), 0);
  // An image transfer left its channel open.
  dev.next("KV-ESCL-SCAN");
  ASSERT_EQ(http_open(dev.dd(), "KV-ESCL-SCAN", &host->bb_session->http), 0);
  EXPECT_EQ(bb_close(host.get()), 0);
  EXPECT_TRUE(dev.channel(1).closed);
  EXPECT_EQ(dev.open_count(), 0);
  EXPECT_EQ(host->bb_session, nullptr);
}

// Every device has its own records: nothing is shared between two opens.
TEST(TwoDevices, KeepSeparateRecords) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  fake::Device dev;
  Host a(dev.dd());
  Host b(dev.dd());
  dev.next("KV-ESCL-SCAN").reply(answer(captured::read_file(kDevices + "/caps-brother-mfc-l8690cdw.xml")));
  dev.next("KV-ESCL-SCAN").reply(answer(captured::read_file(kDevices + "/caps-canon-ts5300.xml")));
  ASSERT_EQ(bb_open(a.get()), 0);
  ASSERT_EQ(bb_open(b.get()), 0);
  ASSERT_NE(a->bb_session, b->bb_session);
  EXPECT_EQ(a->bb_session->caps.adf_simplex.supported, 1);
  EXPECT_EQ(b->bb_session->caps.adf_simplex.supported, 0);
  EXPECT_EQ(a->bb_session->caps.color_modes[1], 1);
  EXPECT_EQ(b->bb_session->caps.color_modes[1], 0);
  EXPECT_EQ(names_of(a->source_names, 5), (std::vector<std::string>{"Flatbed", "ADF", "ADF Duplex"}));
  EXPECT_EQ(names_of(b->source_names, 5), std::vector<std::string>{"Flatbed"});
  EXPECT_EQ(word_list(a->resolution_list), (std::vector<int32_t>{4, 100, 200, 300, 600}));
  EXPECT_EQ(word_list(b->resolution_list),
            (std::vector<int32_t>{7, 75, 100, 150, 200, 300, 600, 1200}));
  EXPECT_EQ(bb_close(a.get()), 0);
  EXPECT_EQ(b->bb_session->caps.platen.resolutions[0], 7);
  EXPECT_EQ(bb_close(b.get()), 0);
}

// A host that opens again (after a failure, say) keeps one record.
TEST(Reopen, ReusesTheAttachedRecord) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  fake::Device dev;
  Host host(dev.dd());
  dev.refuse("KV-ESCL-SCAN");
  dev.next("KV-ESCL-SCAN").reply(answer(captured::read_file(kDevices + "/caps-canon-ts5300.xml")));
  ASSERT_EQ(bb_open(host.get()), 1);
  bb_session *first = host->bb_session;
  ASSERT_EQ(bb_open(host.get()), 0);
  EXPECT_EQ(host->bb_session, first);
  EXPECT_EQ(names_of(host->source_names, 5), std::vector<std::string>{"Flatbed"});
}

}  // namespace
