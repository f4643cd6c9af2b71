// Options built from what the plug-in published: lists, ranges, defaults,
// source switching, constraints and activity.
#include "option_set.h"

#include <gtest/gtest.h>
#include <string.h>

#include <sane/saneopts.h>

#include <string>
#include <vector>

#include "published_session.h"
#include "scan_area.h"

using bbescl::OptionSet;

namespace {

class Options : public ::testing::Test {
 protected:
  void SetUp() override { options.build(*hs); }

  std::string get_string(SANE_Int option) {
    char text[64] = "";
    EXPECT_EQ(options.control(option, SANE_ACTION_GET_VALUE, text, nullptr), SANE_STATUS_GOOD);
    return text;
  }
  SANE_Word get_word(SANE_Int option) {
    SANE_Word w = -1;
    EXPECT_EQ(options.control(option, SANE_ACTION_GET_VALUE, &w, nullptr), SANE_STATUS_GOOD);
    return w;
  }
  SANE_Status set_string(SANE_Int option, const char *value, SANE_Int *info = nullptr) {
    char text[64];
    strcpy(text, value);
    return options.control(option, SANE_ACTION_SET_VALUE, text, info);
  }
  SANE_Status set_word(SANE_Int option, SANE_Word value, SANE_Int *info = nullptr) {
    return options.control(option, SANE_ACTION_SET_VALUE, &value, info);
  }
  std::vector<SANE_Word> resolution_list() {
    const SANE_Word *l = options.descriptor(bbescl::kOptResolution)->constraint.word_list;
    return std::vector<SANE_Word>(l + 1, l + 1 + l[0]);
  }

  fixtures::SessionPtr hs = fixtures::published_session();
  OptionSet options;
};

TEST_F(Options, DescribeEveryOptionWithSaneNames) {
  EXPECT_EQ(get_word(bbescl::kOptCount), bbescl::kOptTotal);
  const std::vector<std::pair<SANE_Int, const char *>> names = {
      {bbescl::kOptMode, SANE_NAME_SCAN_MODE},   {bbescl::kOptSource, SANE_NAME_SCAN_SOURCE},
      {bbescl::kOptResolution, SANE_NAME_SCAN_RESOLUTION}, {bbescl::kOptPreview, SANE_NAME_PREVIEW},
      {bbescl::kOptTransferFormat, "transfer-format"}, {bbescl::kOptScanIntent, "scan-intent"},
      {bbescl::kOptTlX, SANE_NAME_SCAN_TL_X},    {bbescl::kOptTlY, SANE_NAME_SCAN_TL_Y},
      {bbescl::kOptBrX, SANE_NAME_SCAN_BR_X},    {bbescl::kOptBrY, SANE_NAME_SCAN_BR_Y},
      {bbescl::kOptThreshold, SANE_NAME_THRESHOLD}, {bbescl::kOptBrightness, SANE_NAME_BRIGHTNESS},
      {bbescl::kOptContrast, SANE_NAME_CONTRAST},   {bbescl::kOptShadow, SANE_NAME_SHADOW},
      {bbescl::kOptHighlight, SANE_NAME_HIGHLIGHT}, {bbescl::kOptGamma, SANE_NAME_ANALOG_GAMMA},
      {bbescl::kOptNegative, SANE_NAME_NEGATIVE}};
  for (const auto &[option, name] : names) EXPECT_STREQ(options.descriptor(option)->name, name);
  EXPECT_EQ(options.descriptor(bbescl::kOptGroupGeometry)->type, SANE_TYPE_GROUP);
  EXPECT_EQ(options.descriptor(bbescl::kOptTotal), nullptr);
  EXPECT_EQ(options.descriptor(-1), nullptr);
  EXPECT_EQ(options.descriptor(bbescl::kOptTlX)->unit, SANE_UNIT_MM);
  EXPECT_EQ(options.descriptor(bbescl::kOptTlX)->type, SANE_TYPE_FIXED);
}

TEST_F(Options, DefaultToColourOnTheFirstSourceOverItsWholeArea) {
  EXPECT_EQ(get_string(bbescl::kOptMode), "Color");
  EXPECT_EQ(get_string(bbescl::kOptSource), "Flatbed");
  EXPECT_EQ(get_word(bbescl::kOptResolution), 300);
  EXPECT_EQ(resolution_list(), (std::vector<SANE_Word>{75, 100, 150, 200, 300, 600}));
  EXPECT_EQ(get_word(bbescl::kOptTlX), 0);
  EXPECT_EQ(get_word(bbescl::kOptBrX), 14149223);
  EXPECT_EQ(get_word(bbescl::kOptBrY), 19477904);
  EXPECT_EQ(options.descriptor(bbescl::kOptBrY)->constraint.range->max, 19477904);
}

TEST_F(Options, FillTheRangeMinimaAndQuantaOfEveryGeometryBlock) {
  for (const source_geometry &g : hs->source_geometry)
    for (const SANE_Range *r : {&g.tl_x_range, &g.tl_y_range, &g.br_x_range, &g.br_y_range}) {
      EXPECT_EQ(r->min, 0);
      EXPECT_EQ(r->quant, 0);
    }
}

TEST_F(Options, SwitchingSourceSwitchesListsRangesAndClampsValues) {
  ASSERT_EQ(set_word(bbescl::kOptResolution, 600), SANE_STATUS_GOOD);
  SANE_Int info = 0;
  ASSERT_EQ(set_string(bbescl::kOptSource, "ADF", &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(options.source_id(), BB_SOURCE_ADF);
  EXPECT_EQ(resolution_list(), (std::vector<SANE_Word>{150, 300}));
  EXPECT_EQ(get_word(bbescl::kOptResolution), 300);  // nearest listed
  EXPECT_EQ(options.descriptor(bbescl::kOptBrY)->constraint.range->max, 23304000);

  // The corner at the platen's edge moved to the feeder's.
  EXPECT_EQ(get_word(bbescl::kOptBrY), 23304000);

  ASSERT_EQ(set_string(bbescl::kOptSource, "flatbed"), SANE_STATUS_GOOD);  // names match in any case
  EXPECT_EQ(get_word(bbescl::kOptBrY), 19477904);
  EXPECT_EQ(set_string(bbescl::kOptSource, "Camera"), SANE_STATUS_INVAL);

  // A corner inside the area stays where it is; one past the new edge is clamped.
  ASSERT_EQ(set_word(bbescl::kOptBrY, SANE_FIX(100.0)), SANE_STATUS_GOOD);
  ASSERT_EQ(set_string(bbescl::kOptSource, "ADF"), SANE_STATUS_GOOD);
  EXPECT_EQ(get_word(bbescl::kOptBrY), SANE_FIX(100.0));
  ASSERT_EQ(set_word(bbescl::kOptBrY, SANE_FIX(320.0)), SANE_STATUS_GOOD);
  ASSERT_EQ(set_string(bbescl::kOptSource, "Flatbed"), SANE_STATUS_GOOD);
  EXPECT_EQ(get_word(bbescl::kOptBrY), 19477904);
}

// The corner being set moves so that the area is never narrower or shorter
// than the source's minimum (16 mm in this session); the area's corners may
// come in either order.
TEST_F(Options, AreasBelowTheMinimumAreWidened) {
  const SANE_Fixed span = bbescl::min_span(SANE_FIX(16.0));
  const SANE_Fixed right = 14149223, bottom = 19477904;
  struct Row {
    const char *name;
    SANE_Int option;
    SANE_Fixed other, value, expected;
  };
  const Row rows[] = {
      {"zero width", bbescl::kOptBrX, 0, 0, span},
      {"narrow from the left", bbescl::kOptBrX, SANE_FIX(20.0), SANE_FIX(25.0), SANE_FIX(20.0) + span},
      {"narrow at the right edge", bbescl::kOptTlX, right, SANE_FIX(215.0), right - span},
      {"short at the bottom edge", bbescl::kOptTlY, bottom, bottom, bottom - span},
      {"bottom corner against the edge", bbescl::kOptBrY, bottom - SANE_FIX(10.0), bottom - SANE_FIX(5.0),
       bottom - SANE_FIX(10.0) - span},
      {"corners swapped, wide enough", bbescl::kOptTlX, SANE_FIX(100.0), SANE_FIX(150.0), SANE_FIX(150.0)},
      {"exactly the minimum", bbescl::kOptBrY, SANE_FIX(30.0), SANE_FIX(30.0) + span, SANE_FIX(30.0) + span},
  };
  for (const Row &row : rows) {
    const bool top_left = row.option == bbescl::kOptTlX || row.option == bbescl::kOptTlY;
    const SANE_Int other = row.option + (top_left ? 2 : -2);
    const SANE_Fixed edge = row.option == bbescl::kOptTlX || row.option == bbescl::kOptBrX ? right : bottom;
    // The corner under test out of the way first, so that `other` lands as given.
    ASSERT_EQ(set_word(row.option, row.other > edge / 2 ? 0 : edge), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(other, row.other), SANE_STATUS_GOOD) << row.name;
    SANE_Int info = 0;
    ASSERT_EQ(set_word(row.option, row.value, &info), SANE_STATUS_GOOD) << row.name;
    EXPECT_EQ(get_word(row.option), row.expected) << row.name;
    EXPECT_EQ(get_word(other), row.other) << row.name;
    EXPECT_EQ((info & SANE_INFO_INEXACT) != 0, row.expected != row.value) << row.name;
  }
}

TEST_F(Options, ValuesOutsideTheirConstraintsAreAdjusted) {
  SANE_Int info = 0;
  ASSERT_EQ(set_word(bbescl::kOptResolution, 280, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(get_word(bbescl::kOptResolution), 300);
  EXPECT_TRUE(info & SANE_INFO_INEXACT);

  ASSERT_EQ(set_word(bbescl::kOptBrX, SANE_FIX(500.0), &info), SANE_STATUS_GOOD);
  EXPECT_EQ(get_word(bbescl::kOptBrX), 14149223);
  EXPECT_TRUE(info & SANE_INFO_INEXACT);
  ASSERT_EQ(set_word(bbescl::kOptTlX, SANE_FIX(-3.0), &info), SANE_STATUS_GOOD);
  EXPECT_EQ(get_word(bbescl::kOptTlX), 0);

  ASSERT_EQ(set_word(bbescl::kOptTlY, SANE_FIX(10.0), &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(set_string(bbescl::kOptMode, "Sepia"), SANE_STATUS_INVAL);
  EXPECT_EQ(set_word(bbescl::kOptPreview, 2), SANE_STATUS_INVAL);
  EXPECT_EQ(set_word(bbescl::kOptCount, 3), SANE_STATUS_INVAL);  // read-only
  EXPECT_EQ(options.control(bbescl::kOptGroupStandard, SANE_ACTION_GET_VALUE, &info, nullptr), SANE_STATUS_INVAL);
}

TEST_F(Options, ThresholdIsActiveInLineartOnly) {
  EXPECT_TRUE(options.descriptor(bbescl::kOptThreshold)->cap & SANE_CAP_INACTIVE);
  SANE_Word w = 0;
  EXPECT_EQ(options.control(bbescl::kOptThreshold, SANE_ACTION_GET_VALUE, &w, nullptr), SANE_STATUS_INVAL);
  SANE_Int info = 0;
  ASSERT_EQ(set_string(bbescl::kOptMode, "Lineart", &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
  EXPECT_FALSE(options.descriptor(bbescl::kOptThreshold)->cap & SANE_CAP_INACTIVE);
  EXPECT_EQ(options.threshold_level(), 128);
  ASSERT_EQ(set_word(bbescl::kOptThreshold, 20), SANE_STATUS_GOOD);
  EXPECT_EQ(options.threshold_level(), 51);
}

// Done in software, so active in every mode whatever the device announced:
// a frontend setting them never meets an inactive option.
TEST_F(Options, TheAdjustmentsAreActiveInEveryModeAndReachThePage) {
  const bbescl::Adjustments defaults = options.adjustments();
  EXPECT_TRUE(bbescl::tone_table(defaults).identity);
  struct Set {
    SANE_Int option;
    SANE_Word value, kept;
  };
  const std::vector<Set> sets = {
      {bbescl::kOptBrightness, 40, 40},  {bbescl::kOptContrast, -150, -100}, {bbescl::kOptShadow, 10, 10},
      {bbescl::kOptHighlight, 101, 100}, {bbescl::kOptGamma, 0, SANE_FIX(0.1)}, {bbescl::kOptNegative, SANE_TRUE, SANE_TRUE},
  };
  for (const char *mode : {"Lineart", "Gray", "Color"}) {
    ASSERT_EQ(set_string(bbescl::kOptMode, mode), SANE_STATUS_GOOD);
    for (const Set &s : sets) {
      EXPECT_FALSE(options.descriptor(s.option)->cap & SANE_CAP_INACTIVE) << mode;
      SANE_Int info = 0;
      ASSERT_EQ(set_word(s.option, s.value, &info), SANE_STATUS_GOOD);
      EXPECT_EQ(info, s.value == s.kept ? 0 : SANE_INFO_INEXACT) << s.option;
      EXPECT_EQ(get_word(s.option), s.kept);
    }
  }
  const bbescl::Adjustments a = options.adjustments();
  EXPECT_EQ(std::vector<int>({a.brightness, a.contrast, a.shadow, a.highlight}), std::vector<int>({40, -100, 10, 100}));
  EXPECT_NEAR(a.gamma, 0.1, 1e-4);
  EXPECT_TRUE(a.negative);
  EXPECT_EQ(set_word(bbescl::kOptNegative, 2), SANE_STATUS_INVAL);
}

TEST_F(Options, PreviewScansAtTheLowestResolutionFrom75Up) {
  EXPECT_EQ(options.scan_resolution(), 300);
  ASSERT_EQ(set_word(bbescl::kOptPreview, SANE_TRUE), SANE_STATUS_GOOD);
  EXPECT_EQ(options.scan_resolution(), 75);
  EXPECT_EQ(options.resolution(), 300);
}

TEST_F(Options, ASourceWithoutItsOwnListUsesThePublishedOne) {
  auto hs2 = fixtures::published_session();
  hs2->source_geometry[1].resolutions[0] = 0;
  OptionSet o;
  o.build(*hs2);
  char adf[] = "ADF";
  ASSERT_EQ(o.control(bbescl::kOptSource, SANE_ACTION_SET_VALUE, adf, nullptr), SANE_STATUS_GOOD);
  const SANE_Word *l = o.descriptor(bbescl::kOptResolution)->constraint.word_list;
  EXPECT_EQ(std::vector<SANE_Word>(l, l + 3), (std::vector<SANE_Word>{2, 150, 300}));
}

std::vector<std::string> string_list(const SANE_Option_Descriptor *d) {
  std::vector<std::string> values;
  for (const SANE_String_Const *v = d->constraint.string_list; *v; ++v) values.push_back(*v);
  return values;
}

constexpr uint32_t bit(int id) { return 1u << id; }

// Each source lists what the device offers there, Auto first and always;
// the intent is inactive where the device lists none.
TEST(OptionLists, FollowWhatTheDevicePublishedForEachSource) {
  struct Row {
    const char *source;
    uint32_t formats, intents;
    std::vector<std::string> format_list, intent_list;
  };
  const std::vector<Row> rows = {
      {"Flatbed", bit(BB_FORMAT_PNG) | bit(BB_FORMAT_JPEG),
       bit(BB_INTENT_DOCUMENT) | bit(BB_INTENT_PHOTO) | bit(BB_INTENT_PREVIEW),
       {"Auto", "PNG", "JPEG"}, {"Auto", "Document", "Photo", "Preview"}},
      {"ADF", bit(BB_FORMAT_JPEG), bit(BB_INTENT_TEXT_AND_GRAPHIC) | bit(BB_INTENT_BUSINESS_CARD),
       {"Auto", "JPEG"}, {"Auto", "TextAndGraphic", "BusinessCard"}},
      {"ADF Duplex", 0, 0, {"Auto"}, {"Auto"}},
      // Bits beyond the known ids and the Auto bit are not values.
      {"Flatbed", bit(BB_FORMAT_AUTO) | bit(BB_FORMAT_PNG) | bit(9), bit(BB_INTENT_DEFAULT) | bit(BB_INTENT_OBJECT) | bit(20),
       {"Auto", "PNG"}, {"Auto", "Object"}},
      {"Flatbed", 0, bit(BB_INTENT_DEFAULT), {"Auto"}, {"Auto"}},
  };
  for (const Row &row : rows) {
    auto hs = fixtures::published_session();
    const int index = row.source[0] == 'F' ? 0 : (strcmp(row.source, "ADF") == 0 ? 1 : 2);
    hs->source_formats[index] = row.formats;
    hs->source_intents[index] = row.intents;
    OptionSet o;
    o.build(*hs);
    char source[32];
    strcpy(source, row.source);
    ASSERT_EQ(o.control(bbescl::kOptSource, SANE_ACTION_SET_VALUE, source, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(string_list(o.descriptor(bbescl::kOptTransferFormat)), row.format_list) << row.source;
    EXPECT_EQ(string_list(o.descriptor(bbescl::kOptScanIntent)), row.intent_list) << row.source;
    const bool intent_active = !(o.descriptor(bbescl::kOptScanIntent)->cap & SANE_CAP_INACTIVE);
    EXPECT_EQ(intent_active, row.intent_list.size() > 1) << row.source;
    EXPECT_FALSE(o.descriptor(bbescl::kOptTransferFormat)->cap & SANE_CAP_INACTIVE) << row.source;
    // Room for the longest value of any source.
    EXPECT_EQ(o.descriptor(bbescl::kOptScanIntent)->size, static_cast<SANE_Int>(strlen("TextAndGraphic") + 1));
    EXPECT_EQ(o.descriptor(bbescl::kOptTransferFormat)->size, 5);
  }
}

// The platen offers PNG and JPEG and four intents, the feeder JPEG and
// Document only, the duplex feeder nothing.
class Choices : public Options {
 protected:
  void SetUp() override {
    hs->source_formats[0] = bit(BB_FORMAT_PNG) | bit(BB_FORMAT_JPEG);
    hs->source_intents[0] = bit(BB_INTENT_DOCUMENT) | bit(BB_INTENT_PHOTO) | bit(BB_INTENT_PREVIEW) | bit(BB_INTENT_OBJECT);
    hs->source_formats[1] = bit(BB_FORMAT_JPEG);
    hs->source_intents[1] = bit(BB_INTENT_DOCUMENT);
    options.build(*hs);
  }
};

TEST_F(Choices, DefaultToAutoAndTakeOnlyOfferedValues) {
  EXPECT_EQ(get_string(bbescl::kOptTransferFormat), "Auto");
  EXPECT_EQ(get_string(bbescl::kOptScanIntent), "Auto");
  struct Row {
    SANE_Int option;
    const char *value;
    SANE_Status status;
    const char *kept;
  };
  const Row rows[] = {
      {bbescl::kOptTransferFormat, "JPEG", SANE_STATUS_GOOD, "JPEG"},
      {bbescl::kOptTransferFormat, "png", SANE_STATUS_GOOD, "PNG"},  // any case
      {bbescl::kOptTransferFormat, "TIFF", SANE_STATUS_INVAL, "PNG"},
      {bbescl::kOptTransferFormat, "auto", SANE_STATUS_GOOD, "Auto"},
      {bbescl::kOptScanIntent, "Photo", SANE_STATUS_GOOD, "Photo"},
      {bbescl::kOptScanIntent, "object", SANE_STATUS_GOOD, "Object"},
      {bbescl::kOptScanIntent, "BusinessCard", SANE_STATUS_INVAL, "Object"},  // not listed here
      {bbescl::kOptScanIntent, "", SANE_STATUS_INVAL, "Object"},
      {bbescl::kOptScanIntent, "Auto", SANE_STATUS_GOOD, "Auto"},
  };
  for (const Row &row : rows) {
    SANE_Int info = -1;
    EXPECT_EQ(set_string(row.option, row.value, &info), row.status) << row.value;
    EXPECT_EQ(info, 0) << row.value;  // neither changes the frame nor other options
    EXPECT_EQ(get_string(row.option), row.kept) << row.value;
  }
}

// A value the new source does not offer goes back to Auto; one it offers
// stays.
TEST_F(Choices, ASourceThatDoesNotOfferTheChoiceGoesBackToAuto) {
  struct Row {
    const char *format, *intent;  // chosen on the platen
    const char *source;
    const char *format_after, *intent_after;
    bool intent_active;
  };
  const Row rows[] = {
      {"JPEG", "Document", "ADF", "JPEG", "Document", true},
      {"PNG", "Photo", "ADF", "Auto", "Auto", true},
      {"JPEG", "Preview", "ADF Duplex", "Auto", "Auto", false},
      {"PNG", "Object", "Flatbed", "PNG", "Object", true},
  };
  for (const Row &row : rows) {
    ASSERT_EQ(set_string(bbescl::kOptSource, "Flatbed"), SANE_STATUS_GOOD);
    ASSERT_EQ(set_string(bbescl::kOptTransferFormat, row.format), SANE_STATUS_GOOD);
    ASSERT_EQ(set_string(bbescl::kOptScanIntent, row.intent), SANE_STATUS_GOOD);
    SANE_Int info = 0;
    ASSERT_EQ(set_string(bbescl::kOptSource, row.source, &info), SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
    EXPECT_EQ(get_string(bbescl::kOptTransferFormat), row.format_after) << row.format << " to " << row.source;
    EXPECT_EQ(!(options.descriptor(bbescl::kOptScanIntent)->cap & SANE_CAP_INACTIVE), row.intent_active);
    // Inactive, the intent is not read, but what the scan sends is still Auto.
    EXPECT_STREQ(bbescl::kIntentNames[options.scan_intent()], row.intent_after) << row.intent << " to " << row.source;
  }
  // Back on the platen the lists are the platen's again.
  ASSERT_EQ(set_string(bbescl::kOptSource, "Flatbed"), SANE_STATUS_GOOD);
  EXPECT_EQ(string_list(options.descriptor(bbescl::kOptScanIntent)),
            (std::vector<std::string>{"Auto", "Document", "Photo", "Preview", "Object"}));
}

// What the plug-in reads at bb_start_scan.
TEST_F(Choices, WriteTheTransferFormatIntentAndPreviewForTheScan) {
  struct Row {
    const char *format, *intent;
    SANE_Word preview;
    int32_t current_format, current_intent, hs_preview;
  };
  const Row rows[] = {
      {"Auto", "Auto", SANE_FALSE, BB_FORMAT_AUTO, BB_INTENT_DEFAULT, 0},
      {"JPEG", "Photo", SANE_FALSE, BB_FORMAT_JPEG, BB_INTENT_PHOTO, 0},
      {"PNG", "Document", SANE_TRUE, BB_FORMAT_PNG, BB_INTENT_DOCUMENT, 1},
      {"Auto", "Object", SANE_TRUE, BB_FORMAT_AUTO, BB_INTENT_OBJECT, 1},
  };
  for (const Row &row : rows) {
    ASSERT_EQ(set_string(bbescl::kOptTransferFormat, row.format), SANE_STATUS_GOOD);
    ASSERT_EQ(set_string(bbescl::kOptScanIntent, row.intent), SANE_STATUS_GOOD);
    ASSERT_EQ(set_word(bbescl::kOptPreview, row.preview), SANE_STATUS_GOOD);
    hs->current_format = hs->current_intent = hs->preview = -1;
    options.write_scan_choices(*hs);
    EXPECT_EQ(hs->current_format, row.current_format) << row.format;
    EXPECT_EQ(hs->current_intent, row.current_intent) << row.intent;
    EXPECT_EQ(hs->preview, row.hs_preview) << row.preview;
  }
}

TEST(NearestInList, PicksTheClosestValue) {
  const SANE_Word list[] = {4, 75, 150, 300, 600};
  EXPECT_EQ(bbescl::nearest_in_list(list, 75), 75);
  EXPECT_EQ(bbescl::nearest_in_list(list, 1), 75);
  EXPECT_EQ(bbescl::nearest_in_list(list, 400), 300);
  EXPECT_EQ(bbescl::nearest_in_list(list, 5000), 600);
  const SANE_Word empty[] = {0};
  EXPECT_EQ(bbescl::nearest_in_list(empty, 123), 123);
}

}  // namespace
