#include "option_set.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include <sane/saneopts.h>

#include "scan_area.h"

namespace bbescl {

namespace {

constexpr SANE_Int kSoftOption = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

size_t list_length(const SANE_String_Const *list, size_t capacity) {
  size_t n = 0;
  while (n < capacity && list[n]) ++n;
  return n;
}

SANE_Int longest_string(const SANE_String_Const *list, size_t capacity) {
  size_t longest = 1;
  for (size_t i = 0; i < capacity && list[i]; ++i) longest = std::max(longest, strlen(list[i]) + 1);
  return static_cast<SANE_Int>(longest);
}

// The fields every option sets; constraints are added by the caller.
void describe(SANE_Option_Descriptor &d, const char *name, const char *title, const char *desc,
              SANE_Value_Type type, SANE_Unit unit, SANE_Int cap) {
  d.name = name;
  d.title = title;
  d.desc = desc;
  d.type = type;
  d.unit = unit;
  d.size = type == SANE_TYPE_GROUP ? 0 : static_cast<SANE_Int>(sizeof(SANE_Word));
  d.cap = cap;
  d.constraint_type = SANE_CONSTRAINT_NONE;
}

void set_group(SANE_Option_Descriptor &d, const char *title) {
  describe(d, "", title, "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0);
}

void set_percent(SANE_Option_Descriptor &d, const char *name, const char *title, const char *desc,
                 const SANE_Range *range, SANE_Int extra_cap = 0) {
  describe(d, name, title, desc, SANE_TYPE_INT, SANE_UNIT_PERCENT, kSoftOption | extra_cap);
  d.constraint_type = SANE_CONSTRAINT_RANGE;
  d.constraint.range = range;
}

// Auto, then each value of `names` whose bit (1 << id) is set in `offered`.
void offered_values(const SANE_String_Const *names, size_t count, uint32_t offered, SANE_String_Const *list) {
  size_t n = 0;
  list[n++] = names[0];
  for (size_t id = 1; id < count; ++id)
    if (offered & (1u << id)) list[n++] = names[id];
  while (n <= count) list[n++] = nullptr;
}

bool offers(uint32_t offered, int id) { return id == 0 || (offered & (1u << id)) != 0; }

constexpr const char *kFormatDesc =
    "How the scanner sends each page over the network.  Auto takes lossless PNG where the scanner "
    "offers it, else JPEG.  JPEG sends far less data, at some loss of detail: choose it on a slow link "
    "(Wi-Fi far from the access point, a VPN).";
constexpr const char *kIntentDesc =
    "What is being scanned, so that the scanner can tune its image processing.  Auto asks for Document "
    "in Lineart and Gray, Photo in Color and Preview for a preview, each where the scanner offers it; "
    "the others are the scanner's own choices.";

void set_fixed_mm(SANE_Option_Descriptor &d, const char *name, const char *title, const char *desc) {
  describe(d, name, title, desc, SANE_TYPE_FIXED, SANE_UNIT_MM, kSoftOption);
  d.constraint_type = SANE_CONSTRAINT_RANGE;
}

}  // namespace

SANE_Word nearest_in_list(const SANE_Word *list, SANE_Word wanted) {
  SANE_Word best = wanted;
  long best_distance = -1;
  for (SANE_Word i = 1; i <= list[0]; ++i) {
    const long distance = labs(static_cast<long>(list[i]) - wanted);
    if (best_distance < 0 || distance < best_distance) {
      best = list[i];
      best_distance = distance;
    }
  }
  return best;
}

void OptionSet::build(host_session &hs) {
  hs_ = &hs;
  // The plug-in writes only the maxima of the ranges.
  for (source_geometry &g : hs.source_geometry)
    for (SANE_Range *r : {&g.tl_x_range, &g.tl_y_range, &g.br_x_range, &g.br_y_range}) {
      r->min = 0;
      r->quant = 0;
    }

  describe(desc_[kOptCount], SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS,
           SANE_TYPE_INT, SANE_UNIT_NONE, SANE_CAP_SOFT_DETECT);

  set_group(desc_[kOptGroupStandard], SANE_TITLE_STANDARD);

  SANE_Option_Descriptor &mode = desc_[kOptMode];
  describe(mode, SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
           SANE_UNIT_NONE, kSoftOption);
  mode.size = longest_string(hs.mode_names, 4);
  mode.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  mode.constraint.string_list = hs.mode_names;

  SANE_Option_Descriptor &source = desc_[kOptSource];
  describe(source, SANE_NAME_SCAN_SOURCE, SANE_TITLE_SCAN_SOURCE, SANE_DESC_SCAN_SOURCE,
           SANE_TYPE_STRING, SANE_UNIT_NONE, kSoftOption);
  source.size = longest_string(hs.source_names, BB_SOURCE_COUNT + 1);
  source.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  source.constraint.string_list = hs.source_names;

  SANE_Option_Descriptor &resolution = desc_[kOptResolution];
  describe(resolution, SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION,
           SANE_DESC_SCAN_RESOLUTION, SANE_TYPE_INT, SANE_UNIT_DPI, kSoftOption);
  resolution.constraint_type = SANE_CONSTRAINT_WORD_LIST;
  resolution.constraint.word_list = resolutions_;

  describe(desc_[kOptPreview], SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW, SANE_DESC_PREVIEW,
           SANE_TYPE_BOOL, SANE_UNIT_NONE, kSoftOption);

  SANE_Option_Descriptor &format = desc_[kOptTransferFormat];
  describe(format, "transfer-format", "Transfer format", kFormatDesc, SANE_TYPE_STRING, SANE_UNIT_NONE,
           kSoftOption | SANE_CAP_ADVANCED);
  format.size = longest_string(kFormatNames, kFormatCount);
  format.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  format.constraint.string_list = format_list_;

  SANE_Option_Descriptor &intent = desc_[kOptScanIntent];
  describe(intent, "scan-intent", "Scan intent", kIntentDesc, SANE_TYPE_STRING, SANE_UNIT_NONE,
           kSoftOption | SANE_CAP_ADVANCED);
  intent.size = longest_string(kIntentNames, BB_INTENT_COUNT);
  intent.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  intent.constraint.string_list = intent_list_;

  set_group(desc_[kOptGroupGeometry], SANE_TITLE_GEOMETRY);
  set_fixed_mm(desc_[kOptTlX], SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X);
  set_fixed_mm(desc_[kOptTlY], SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y);
  set_fixed_mm(desc_[kOptBrX], SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X);
  set_fixed_mm(desc_[kOptBrY], SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y);

  set_group(desc_[kOptGroupEnhancement], SANE_TITLE_ENHANCEMENT);

  set_percent(desc_[kOptThreshold], SANE_NAME_THRESHOLD, SANE_TITLE_THRESHOLD, SANE_DESC_THRESHOLD,
              &percent_range_);
  // The adjustments peers and frontends know, by their standard names:
  // simple-scan sets brightness and contrast, xsane's enhancement window
  // shows them with the gamma.  The gamma takes the one standard name for a
  // single gamma value, analog-gamma, as the other eSCL backends do, so
  // scripts passing --analog-gamma work on either.
  set_percent(desc_[kOptBrightness], SANE_NAME_BRIGHTNESS, SANE_TITLE_BRIGHTNESS, SANE_DESC_BRIGHTNESS,
              &signed_percent_range_);
  set_percent(desc_[kOptContrast], SANE_NAME_CONTRAST, SANE_TITLE_CONTRAST, SANE_DESC_CONTRAST,
              &signed_percent_range_);
  set_percent(desc_[kOptShadow], SANE_NAME_SHADOW, SANE_TITLE_SHADOW, SANE_DESC_SHADOW, &percent_range_,
              SANE_CAP_ADVANCED);
  set_percent(desc_[kOptHighlight], SANE_NAME_HIGHLIGHT, SANE_TITLE_HIGHLIGHT, SANE_DESC_HIGHLIGHT,
              &percent_range_, SANE_CAP_ADVANCED);
  SANE_Option_Descriptor &gamma = desc_[kOptGamma];
  describe(gamma, SANE_NAME_ANALOG_GAMMA, SANE_TITLE_ANALOG_GAMMA, SANE_DESC_ANALOG_GAMMA, SANE_TYPE_FIXED,
           SANE_UNIT_NONE, kSoftOption);
  gamma.constraint_type = SANE_CONSTRAINT_RANGE;
  gamma.constraint.range = &gamma_range_;
  describe(desc_[kOptNegative], SANE_NAME_NEGATIVE, SANE_TITLE_NEGATIVE, SANE_DESC_NEGATIVE, SANE_TYPE_BOOL,
           SANE_UNIT_NONE, kSoftOption);

  // Colour is the usual default of scanners; otherwise the richest mode.
  const size_t modes = list_length(hs.mode_names, 4);
  mode_index_ = modes ? modes - 1 : 0;
  for (size_t i = 0; i < modes; ++i)
    if (hs.mode_ids[i] == BB_MODE_COLOR) mode_index_ = i;

  resolution_ = kDefaultResolution;
  format_ = BB_FORMAT_AUTO;
  intent_ = BB_INTENT_DEFAULT;
  select_source(0);
  const source_geometry &g = geometry();
  tl_x_ = tl_y_ = 0;
  br_x_ = g.br_x_range.max;
  br_y_ = g.br_y_range.max;
  update_activity();
}

void OptionSet::select_source(size_t index) {
  const SANE_Fixed old_max_x = geometry().br_x_range.max;
  const SANE_Fixed old_max_y = geometry().br_y_range.max;
  source_index_ = index;
  const source_geometry &g = geometry();
  const SANE_Word *list = g.resolutions[0] > 0 ? g.resolutions : hs_->resolution_list;
  if (list[0] > 0) {
    memcpy(resolutions_, list, sizeof resolutions_);
  } else {
    // A source without any listed resolution still needs one value.
    resolutions_[0] = 1;
    resolutions_[1] = kDefaultResolution;
  }
  resolution_ = nearest_in_list(resolutions_, resolution_);
  desc_[kOptTlX].constraint.range = &g.tl_x_range;
  desc_[kOptTlY].constraint.range = &g.tl_y_range;
  desc_[kOptBrX].constraint.range = &g.br_x_range;
  desc_[kOptBrY].constraint.range = &g.br_y_range;
  // A corner at the old source's edge stays at the edge: a feeder scan of
  // a long sheet is not cut at the platen's length.
  for (SANE_Fixed *x : {&tl_x_, &br_x_})
    if (*x == old_max_x) *x = g.br_x_range.max;
  for (SANE_Fixed *y : {&tl_y_, &br_y_})
    if (*y == old_max_y) *y = g.br_y_range.max;
  tl_x_ = clamp(tl_x_, g.tl_x_range, nullptr);
  tl_y_ = clamp(tl_y_, g.tl_y_range, nullptr);
  br_x_ = place_corner(br_x_, tl_x_, g.br_x_range, min_span(g.min_width), nullptr);
  br_y_ = place_corner(br_y_, tl_y_, g.br_y_range, min_span(g.min_height), nullptr);
  list_choices();
}

// Formats and intents differ between sources (a feeder may send JPEG only,
// a camera list Photo and Object alone): a choice the new source does not
// offer goes back to Auto rather than fail the next scan.
void OptionSet::list_choices() {
  const uint32_t formats = hs_->source_formats[source_id() - 1];
  const uint32_t intents = hs_->source_intents[source_id() - 1];
  offered_values(kFormatNames, kFormatCount, formats, format_list_);
  offered_values(kIntentNames, BB_INTENT_COUNT, intents, intent_list_);
  if (!offers(formats, format_)) format_ = BB_FORMAT_AUTO;
  if (!offers(intents, intent_)) intent_ = BB_INTENT_DEFAULT;
}

// The threshold means something in lineart only.  The tone adjustments
// apply in every mode, to lineart before its threshold, so they stay active:
// a frontend that sets them whatever the mode never meets an inactive one.
// The intent is for devices that list intents: one that lists none gets
// none asked of it.
void OptionSet::update_activity() {
  const auto set_active = [this](SANE_Int option, bool active) {
    if (active)
      desc_[option].cap &= ~SANE_CAP_INACTIVE;
    else
      desc_[option].cap |= SANE_CAP_INACTIVE;
  };
  set_active(kOptThreshold, mode_id() == BB_MODE_LINEART);
  set_active(kOptScanIntent, intent_list_[1] != nullptr);
}

int OptionSet::mode_id() const {
  const int id = hs_ ? hs_->mode_ids[mode_index_] : 0;
  return id ? id : BB_MODE_COLOR;
}

int OptionSet::source_id() const {
  const int id = hs_ ? hs_->source_ids[source_index_] : 0;
  return id ? id : BB_SOURCE_FLATBED;
}

const source_geometry &OptionSet::geometry() const {
  return hs_->source_geometry[source_id() - 1];
}

SANE_Word OptionSet::scan_resolution() const {
  if (!preview_) return resolution_;
  SANE_Word lowest = resolution_;
  for (SANE_Word i = 1; i <= resolutions_[0]; ++i) {
    const SANE_Word r = resolutions_[i];
    if (r >= kPreviewResolution && r < lowest) lowest = r;
  }
  return lowest;
}

void OptionSet::write_scan_choices(host_session &hs) const {
  hs.current_format = format_;
  hs.current_intent = intent_;
  hs.preview = preview_ ? 1 : 0;
}

int OptionSet::threshold_level() const { return static_cast<int>(lround(threshold_ * 255 / 100.0)); }

Adjustments OptionSet::adjustments() const {
  Adjustments a;
  a.brightness = brightness_;
  a.contrast = contrast_;
  a.shadow = shadow_;
  a.highlight = highlight_;
  a.gamma = SANE_UNFIX(gamma_);
  a.negative = negative_ != SANE_FALSE;
  return a;
}

const SANE_Option_Descriptor *OptionSet::descriptor(SANE_Int option) const {
  if (option < 0 || option >= kOptTotal) return nullptr;
  return &desc_[option];
}

SANE_Fixed OptionSet::clamp(SANE_Fixed v, const SANE_Range &r, bool *changed) {
  const SANE_Fixed c = v < r.min ? r.min : (v > r.max ? r.max : v);
  if (changed) *changed = c != v;
  return c;
}

SANE_Fixed OptionSet::place_corner(SANE_Fixed v, SANE_Fixed other, const SANE_Range &r, SANE_Fixed span,
                                   bool *changed) {
  SANE_Fixed c = clamp(v, r, nullptr);
  const SANE_Fixed gap = c >= other ? c - other : other - c;
  if (gap < span) {
    // Away from the other corner on the side the value stands, or, where
    // the range ends, on the other side.
    const SANE_Fixed after = other + span, before = other - span;
    const bool after_fits = after <= r.max, before_fits = before >= r.min;
    if (c >= other)
      c = after_fits || !before_fits ? after : before;
    else
      c = before_fits || !after_fits ? before : after;
    c = clamp(c, r, nullptr);
  }
  if (changed) *changed = c != v;
  return c;
}

SANE_Status OptionSet::control(SANE_Int option, SANE_Action action, void *value, SANE_Int *info) {
  if (info) *info = 0;
  if (!hs_ || option < 0 || option >= kOptTotal) return SANE_STATUS_INVAL;
  const SANE_Option_Descriptor &d = desc_[option];
  if (d.type == SANE_TYPE_GROUP) return SANE_STATUS_INVAL;
  if (d.cap & SANE_CAP_INACTIVE) return SANE_STATUS_INVAL;
  switch (action) {
    case SANE_ACTION_GET_VALUE:
      return value ? get(option, value) : SANE_STATUS_INVAL;
    case SANE_ACTION_SET_VALUE:
      if (!(d.cap & SANE_CAP_SOFT_SELECT) || !value) return SANE_STATUS_INVAL;
      return set(option, value, info);
    default:
      return SANE_STATUS_INVAL;  // no option can choose its own value
  }
}

SANE_Status OptionSet::get(SANE_Int option, void *value) const {
  SANE_Word *word = static_cast<SANE_Word *>(value);
  switch (option) {
    case kOptCount: *word = option_count_; break;
    case kOptMode: strcpy(static_cast<char *>(value), hs_->mode_names[mode_index_] ? hs_->mode_names[mode_index_] : ""); break;
    case kOptSource: strcpy(static_cast<char *>(value), hs_->source_names[source_index_] ? hs_->source_names[source_index_] : ""); break;
    case kOptResolution: *word = resolution_; break;
    case kOptPreview: *word = preview_; break;
    case kOptTransferFormat: strcpy(static_cast<char *>(value), kFormatNames[format_]); break;
    case kOptScanIntent: strcpy(static_cast<char *>(value), kIntentNames[intent_]); break;
    case kOptTlX: *word = tl_x_; break;
    case kOptTlY: *word = tl_y_; break;
    case kOptBrX: *word = br_x_; break;
    case kOptBrY: *word = br_y_; break;
    case kOptThreshold: *word = threshold_; break;
    case kOptBrightness: *word = brightness_; break;
    case kOptContrast: *word = contrast_; break;
    case kOptShadow: *word = shadow_; break;
    case kOptHighlight: *word = highlight_; break;
    case kOptGamma: *word = gamma_; break;
    case kOptNegative: *word = negative_; break;
    default: return SANE_STATUS_INVAL;
  }
  return SANE_STATUS_GOOD;
}

SANE_Status OptionSet::set(SANE_Int option, void *value, SANE_Int *info) {
  const SANE_Word word = *static_cast<SANE_Word *>(value);
  bool inexact = false;
  SANE_Int effects = 0;
  switch (option) {
    case kOptMode: return set_mode(static_cast<const char *>(value), info);
    case kOptSource: return set_source(static_cast<const char *>(value), info);
    case kOptTransferFormat:
      return set_choice(static_cast<const char *>(value), format_list_, kFormatNames, kFormatCount, &format_);
    case kOptScanIntent:
      return set_choice(static_cast<const char *>(value), intent_list_, kIntentNames, BB_INTENT_COUNT, &intent_);
    case kOptResolution: {
      const SANE_Word r = nearest_in_list(resolutions_, word);
      inexact = r != word;
      resolution_ = r;
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    }
    case kOptPreview:
      if (word != SANE_FALSE && word != SANE_TRUE) return SANE_STATUS_INVAL;
      preview_ = word;
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    // An area narrower or shorter than the source's minimum is never sent:
    // the corner being set moves to make it so.
    case kOptTlX:
      tl_x_ = place_corner(word, br_x_, geometry().tl_x_range, min_span(geometry().min_width), &inexact);
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    case kOptTlY:
      tl_y_ = place_corner(word, br_y_, geometry().tl_y_range, min_span(geometry().min_height), &inexact);
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    case kOptBrX:
      br_x_ = place_corner(word, tl_x_, geometry().br_x_range, min_span(geometry().min_width), &inexact);
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    case kOptBrY:
      br_y_ = place_corner(word, tl_y_, geometry().br_y_range, min_span(geometry().min_height), &inexact);
      effects = SANE_INFO_RELOAD_PARAMS;
      break;
    case kOptThreshold:
      threshold_ = clamp(word, percent_range_, &inexact);
      break;
    case kOptBrightness:
      brightness_ = clamp(word, signed_percent_range_, &inexact);
      break;
    case kOptContrast:
      contrast_ = clamp(word, signed_percent_range_, &inexact);
      break;
    case kOptShadow:
      shadow_ = clamp(word, percent_range_, &inexact);
      break;
    case kOptHighlight:
      highlight_ = clamp(word, percent_range_, &inexact);
      break;
    case kOptGamma:
      gamma_ = clamp(word, gamma_range_, &inexact);
      break;
    case kOptNegative:
      if (word != SANE_FALSE && word != SANE_TRUE) return SANE_STATUS_INVAL;
      negative_ = word;
      break;
    default:
      return SANE_STATUS_INVAL;
  }
  if (inexact) effects |= SANE_INFO_INEXACT;
  if (info) *info = effects;
  return SANE_STATUS_GOOD;
}

SANE_Status OptionSet::set_mode(const char *name, SANE_Int *info) {
  for (size_t i = 0; i < 4 && hs_->mode_names[i]; ++i) {
    if (strcasecmp(name, hs_->mode_names[i]) != 0) continue;
    mode_index_ = i;
    update_activity();
    if (info) *info = SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS;
    return SANE_STATUS_GOOD;
  }
  return SANE_STATUS_INVAL;
}

SANE_Status OptionSet::set_source(const char *name, SANE_Int *info) {
  for (size_t i = 0; i < BB_SOURCE_COUNT && hs_->source_names[i]; ++i) {
    if (strcasecmp(name, hs_->source_names[i]) != 0) continue;
    select_source(i);
    update_activity();
    if (info) *info = SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS;
    return SANE_STATUS_GOOD;
  }
  return SANE_STATUS_INVAL;
}

SANE_Status OptionSet::set_choice(const char *name, const SANE_String_Const *list, const SANE_String_Const *names,
                                  size_t count, int *id) {
  for (size_t i = 0; list[i]; ++i) {
    if (strcasecmp(name, list[i]) != 0) continue;
    for (size_t n = 0; n < count; ++n)
      if (strcmp(names[n], list[i]) == 0) *id = static_cast<int>(n);
    return SANE_STATUS_GOOD;
  }
  return SANE_STATUS_INVAL;
}

}  // namespace bbescl
