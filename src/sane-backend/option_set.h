// The SANE options of one device, built from what the plug-in published
// into host_session at open: modes, sources, each source's resolutions and
// scan-area ranges, and the document formats and scan intents it offers
// there; and the tone adjustments done in software.
#pragma once

#include <stddef.h>

#include <sane/sane.h>

#include "bb_escl.h"
#include "frame_rows.h"

namespace bbescl {

enum OptionIndex : SANE_Int {
  kOptCount = 0,
  kOptGroupStandard,
  kOptMode,
  kOptSource,
  kOptResolution,
  kOptPreview,
  kOptTransferFormat,
  kOptScanIntent,
  kOptGroupGeometry,
  kOptTlX,
  kOptTlY,
  kOptBrX,
  kOptBrY,
  kOptGroupEnhancement,
  kOptThreshold,
  kOptBrightness,
  kOptContrast,
  kOptShadow,
  kOptHighlight,
  kOptGamma,
  kOptNegative,
  kOptTotal
};

// Preview scans at the lowest listed resolution from this one up.
inline constexpr SANE_Word kPreviewResolution = 75;
inline constexpr SANE_Word kDefaultResolution = 300;
inline constexpr SANE_Word kDefaultThresholdPercent = 50;

// The values of transfer-format and scan-intent, indexed by their ids
// (enum bb_transfer_format, enum bb_intent); the intents as eSCL names them.
inline constexpr size_t kFormatCount = 3;
inline constexpr SANE_String_Const kFormatNames[kFormatCount] = {"Auto", "PNG", "JPEG"};
inline constexpr SANE_String_Const kIntentNames[BB_INTENT_COUNT] = {
    "Auto", "Document", "TextAndGraphic", "Photo", "Preview", "Object", "BusinessCard"};

class OptionSet {
 public:
  // Builds descriptors and defaults from `hs` after a successful bb_open;
  // fills the range minima and quanta of every geometry block, which the
  // plug-in leaves to the host.  `hs` must outlive the set.
  void build(host_session &hs);

  const SANE_Option_Descriptor *descriptor(SANE_Int option) const;
  SANE_Status control(SANE_Int option, SANE_Action action, void *value, SANE_Int *info);

  int mode_id() const;
  int source_id() const;
  SANE_Word resolution() const { return resolution_; }
  // The resolution a scan uses: lowered for a preview.
  SANE_Word scan_resolution() const;
  bool preview() const { return preview_ != 0; }
  int transfer_format() const { return format_; }
  int scan_intent() const { return intent_; }
  // What the plug-in reads at bb_start_scan besides mode, source, resolution
  // and area: the transfer format, the intent, whether this is a preview.
  void write_scan_choices(host_session &hs) const;
  SANE_Fixed tl_x() const { return tl_x_; }
  SANE_Fixed tl_y() const { return tl_y_; }
  SANE_Fixed br_x() const { return br_x_; }
  SANE_Fixed br_y() const { return br_y_; }
  // Grey level (0..255) below which a lineart pixel is black.
  int threshold_level() const;
  // The tone adjustments, for grey, colour and lineart before its threshold.
  Adjustments adjustments() const;
  const source_geometry &geometry() const;

 private:
  SANE_Status get(SANE_Int option, void *value) const;
  SANE_Status set(SANE_Int option, void *value, SANE_Int *info);
  SANE_Status set_mode(const char *name, SANE_Int *info);
  SANE_Status set_source(const char *name, SANE_Int *info);
  // `name` among the values `list` offers; its id in `names` into `id`.
  static SANE_Status set_choice(const char *name, const SANE_String_Const *list, const SANE_String_Const *names,
                                size_t count, int *id);
  void select_source(size_t index);
  void list_choices();
  void update_activity();
  static SANE_Fixed clamp(SANE_Fixed v, const SANE_Range &r, bool *changed);
  // `v` in `r`, at least `span` from the area's `other` corner.
  static SANE_Fixed place_corner(SANE_Fixed v, SANE_Fixed other, const SANE_Range &r, SANE_Fixed span,
                                 bool *changed);

  host_session *hs_ = nullptr;
  SANE_Option_Descriptor desc_[kOptTotal] = {};
  size_t mode_index_ = 0;
  size_t source_index_ = 0;
  SANE_Word option_count_ = kOptTotal;
  SANE_Word resolution_ = kDefaultResolution;
  SANE_Word preview_ = SANE_FALSE;
  int format_ = BB_FORMAT_AUTO;
  int intent_ = BB_INTENT_DEFAULT;
  // The values offered on the current source, Auto first; null-terminated.
  SANE_String_Const format_list_[kFormatCount + 1] = {};
  SANE_String_Const intent_list_[BB_INTENT_COUNT + 1] = {};
  SANE_Fixed tl_x_ = 0, tl_y_ = 0, br_x_ = 0, br_y_ = 0;
  SANE_Word threshold_ = kDefaultThresholdPercent;
  SANE_Word brightness_ = 0;
  SANE_Word contrast_ = 0;
  SANE_Word shadow_ = 0;
  SANE_Word highlight_ = 100;
  SANE_Fixed gamma_ = SANE_FIX(1.0);
  SANE_Word negative_ = SANE_FALSE;
  SANE_Word resolutions_[BB_WORD_LIST_WORDS] = {};
  SANE_Range percent_range_ = {0, 100, 1};
  SANE_Range signed_percent_range_ = {-100, 100, 1};
  SANE_Range gamma_range_ = {SANE_FIX(0.1), SANE_FIX(4.0), 0};
};

// The value of `list` (a SANE word list) nearest to `wanted`; `wanted`
// itself when the list is empty.
SANE_Word nearest_in_list(const SANE_Word *list, SANE_Word wanted);

}  // namespace bbescl
