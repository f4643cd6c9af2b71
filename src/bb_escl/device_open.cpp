// bb_open and bb_close: the plug-in's record, the capabilities read into
// it, and what the host builds its SANE options from.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "bb_escl.h"
#include "capabilities.h"
#include "export.h"
#include "../http/http.h"
#include "session.h"

namespace {

// Resolutions offered when a source announces a range instead of a list.
constexpr int32_t kStandardResolutions[] = {50, 75, 100, 150, 200, 300, 600, 1200, 2400, 4800, 9600};
static_assert(sizeof kStandardResolutions / sizeof kStandardResolutions[0] <= BB_WORD_LIST_WORDS - 1);

// Capabilities are in 1/300 inch.  The divisor is this decimal constant,
// not the exact quotient 300 / 25.4; the two differ in the last unit for
// some sizes (2550 gives 14149223 here, 14149222 with the quotient).
constexpr double kUnitsPerMillimetre = 11.811023;
constexpr double kFixedOne = 65536.0;  // SANE_Fixed

constexpr SANE_Word kCapInactive = 0x20;  // SANE_CAP_INACTIVE

struct ModeEntry {
  int32_t id;
  const char *name;
};
constexpr ModeEntry kModes[] = {{BB_MODE_LINEART, "Lineart"}, {BB_MODE_GRAY, "Gray"},
                                {BB_MODE_COLOR, "Color"}};

struct SourceEntry {
  int32_t id;
  const char *name;
  source_caps escl_caps::*block;
  const char *geometry_msg;
};
// Order of the host's geometry blocks and of the published source list.
constexpr SourceEntry kSources[BB_SOURCE_COUNT] = {
    {BB_SOURCE_FLATBED, "Flatbed", &escl_caps::platen,
     "bb_escl 1106: Platen minWidth=%d minHeight=%d Range[%d, %d, %d, %d] \n"},
    {BB_SOURCE_ADF, "ADF", &escl_caps::adf_simplex,
     "bb_escl 1115: ADF Simplex minWidth=%d minHeight=%d Range[%d, %d, %d, %d] \n"},
    {BB_SOURCE_DUPLEX, "ADF Duplex", &escl_caps::adf_duplex,
     "bb_escl 1125: ADF Duplex minWidth=%d minHeight=%d Range[%d, %d, %d, %d] \n"},
    {BB_SOURCE_CAMERA, "Camera", &escl_caps::camera,
     "bb_escl 1135: Camera minWidth=%d minHeight=%d Range[%d, %d, %d, %d] \n"},
};

// The highest resolution a scanner can mean; anything above is a broken
// document, like a size or resolution that is not positive.
constexpr int32_t kMostDpi = 9600;

bool usable_dpi(int32_t dpi) { return dpi > 0 && dpi <= kMostDpi; }

// Drops the values of one source that no scan can use, with a line each.
void drop_unusable_values(source_caps &b, const char *source) {
  int32_t *const sizes[] = {&b.min_width, &b.min_height, &b.max_width, &b.max_height};
  for (int32_t *size : sizes) {
    if (*size >= 0) continue;
    syslog(LOG_ERR, "bb_escl 1038: %s size %d dropped\n", source, *size);
    *size = 0;
  }
  int32_t kept = 0;
  const int32_t count = b.resolutions[0] < BB_WORD_LIST_WORDS ? b.resolutions[0] : BB_WORD_LIST_WORDS - 1;
  for (int32_t i = 1; i <= count; ++i) {
    if (usable_dpi(b.resolutions[i])) {
      b.resolutions[++kept] = b.resolutions[i];
    } else {
      syslog(LOG_ERR, "bb_escl 1039: %s resolution %d dpi dropped\n", source, b.resolutions[i]);
    }
  }
  b.resolutions[0] = kept;
  if (b.res_range_max != 0 && (!usable_dpi(b.res_range_min) || !usable_dpi(b.res_range_max))) {
    syslog(LOG_ERR, "bb_escl 1040: %s resolution range %d-%d dpi narrowed to 1-%d\n", source,
           b.res_range_min, b.res_range_max, kMostDpi);
    if (!usable_dpi(b.res_range_min)) b.res_range_min = b.res_range_min > kMostDpi ? kMostDpi : 1;
    b.res_range_max = b.res_range_max > kMostDpi ? kMostDpi : b.res_range_max < 1 ? 0 : b.res_range_max;
  }
}

// 1/300 inch to SANE_Fixed millimetres, truncated toward zero.  Sizes
// beyond what SANE_Fixed holds (about 32 m) are clamped, not wrapped.
SANE_Fixed to_fixed_mm(int32_t units) {
  double fixed = units / kUnitsPerMillimetre * kFixedOne;
  if (fixed >= 2147483647.0) return INT32_MAX;
  if (fixed <= -2147483648.0) return INT32_MIN;
  return static_cast<SANE_Fixed>(fixed);
}

void list_from_range(source_caps &s) {
  int32_t count = 0;
  for (int32_t dpi : kStandardResolutions) {
    if (s.res_range_min <= dpi && dpi <= s.res_range_max) s.resolutions[++count] = dpi;
  }
  s.resolutions[0] = count;
}

// A SANE word list: the count, then that many values.
void copy_word_list(SANE_Word *dst, const int32_t *src) {
  int32_t count = src[0];
  if (count < 0) count = 0;
  if (count > BB_WORD_LIST_WORDS - 1) count = BB_WORD_LIST_WORDS - 1;
  dst[0] = count;
  memcpy(dst + 1, src + 1, static_cast<size_t>(count) * sizeof dst[0]);
}

void publish_modes(host_session *hs, const escl_caps &caps) {
  // Line art is offered wherever grey is: it is asked as 1-bit black and
  // white only where the device offers that as PNG, and otherwise as grey
  // that the host thresholds itself.
  int32_t modes[4];
  memcpy(modes, caps.color_modes, sizeof modes);
  if (modes[BB_MODE_GRAY] == BB_MODE_GRAY) modes[BB_MODE_LINEART] = BB_MODE_LINEART;
  int n = 0;
  for (int32_t offered : modes) {
    for (const ModeEntry &m : kModes) {
      // The last slot stays the host's closing NULL entry.
      if (offered != m.id || n >= 3) continue;
      hs->mode_names[n] = m.name;
      hs->mode_ids[n] = m.id;
      ++n;
    }
  }
}

void publish_sources(host_session *hs, const escl_caps &caps) {
  int n = 0;
  for (const SourceEntry &s : kSources) {
    if ((caps.*s.block).supported == 0) continue;
    hs->source_names[n] = s.name;
    hs->source_ids[n] = s.id;
    ++n;
  }
}

// The formats the host decodes and the intents, per source block.
void publish_offers(host_session *hs, const bb_session *session) {
  for (int i = 0; i < BB_SOURCE_COUNT; ++i) {
    const source_offers &o = bb::offers_of(session, kSources[i].id);
    uint32_t formats = 0;
    for (uint32_t f : o.formats) formats |= f;
    hs->source_formats[i] = formats;
    hs->source_intents[i] = o.intents;
  }
}

void publish_geometry(host_session *hs, const escl_caps &caps) {
  for (int i = 0; i < BB_SOURCE_COUNT; ++i) {
    const source_caps &s = caps.*kSources[i].block;
    source_geometry &g = hs->source_geometry[i];
    g.min_width = to_fixed_mm(s.min_width);
    g.min_height = to_fixed_mm(s.min_height);
    SANE_Fixed x_max = to_fixed_mm(s.max_width);
    SANE_Fixed y_max = to_fixed_mm(s.max_height);
    g.tl_x_range.max = x_max;
    g.br_x_range.max = x_max;
    g.tl_y_range.max = y_max;
    g.br_y_range.max = y_max;
    syslog(LOG_INFO, kSources[i].geometry_msg, g.min_width, g.min_height, x_max, x_max, y_max,
           y_max);
  }
}

// The active list is the platen's, or the simplex feeder's when there is
// one; the duplex and camera lists only reach their geometry blocks.
void publish_resolutions(host_session *hs, const escl_caps &caps) {
  source_geometry *g = hs->source_geometry;
  if (caps.platen.supported != 0) {
    copy_word_list(g[0].resolutions, caps.platen.resolutions);
    copy_word_list(hs->resolution_list, caps.platen.resolutions);
  }
  if (caps.adf_simplex.supported != 0) {
    copy_word_list(g[1].resolutions, caps.adf_simplex.resolutions);
    copy_word_list(hs->resolution_list, caps.adf_simplex.resolutions);
  }
  copy_word_list(g[2].resolutions, caps.adf_duplex.resolutions);
  copy_word_list(g[3].resolutions, caps.camera.resolutions);
}

int open_device(host_session *hs) {
  // A host that calls bb_open again (after a failed open, say) gets the
  // record it already has, emptied, instead of a second one.
  bb_session *session = hs->bb_session;
  if (session != nullptr) {
    ChannelGuard(&session->http).close();
  } else {
    session = static_cast<bb_session *>(malloc(sizeof(bb_session)));
    if (session == nullptr) {
      hs->bb_session = nullptr;
      return 1;
    }
  }
  memset(session, 0, sizeof *session);
  hs->bb_session = session;

  escl_caps &caps = session->caps;
  if (bb_get_scanner_elements(hs, &caps) != 0) return 1;

  for (const SourceEntry &s : kSources) {
    source_caps &block = caps.*s.block;
    drop_unusable_values(block, s.name);
    if (block.supported == 1 && block.res_range_max != 0) list_from_range(block);
  }
  syslog(LOG_INFO, "bb_escl 1042: UpdateResolutionListForRange ESCL\n");

  publish_modes(hs, caps);
  publish_sources(hs, caps);
  if (caps.gated_option_enabled != 0)
    hs->gated_option_cap &= ~kCapInactive;
  else
    hs->gated_option_cap |= kCapInactive;
  publish_geometry(hs, caps);
  publish_resolutions(hs, caps);
  publish_offers(hs, session);
  // A device with no source cannot scan; the host is told why, so it can
  // say so rather than that the device gave no capabilities.
  if (hs->source_names[0] == nullptr) {
    syslog(LOG_ERR,
           "bb_escl 1170: the capabilities document names no input source (no platen, "
           "feeder or camera element was recognised)\n");
    return BB_OPEN_NO_SOURCE;
  }
  return 0;
}

}  // namespace

BB_EXPORT int bb_open(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1029: bb_open() escl entry.\n");
  int stat = hs != nullptr ? open_device(hs) : 1;
  syslog(LOG_INFO, "bb_escl 1173: bb_open() returning stat=%d.\n", stat);
  return stat;
}

BB_EXPORT int bb_close(host_session *hs) {
  syslog(LOG_INFO, "bb_escl 1181: bb_close entry...\n");
  if (hs == nullptr || hs->bb_session == nullptr) return 0;
  ChannelGuard(&hs->bb_session->http).close();
  free(hs->bb_session);
  hs->bb_session = nullptr;
  return 0;
}
