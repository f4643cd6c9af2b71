// A host_session as bb_open leaves it for a device with a platen and a
// simplex and duplex feeder, for tests of what the backend builds on it.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <memory>

#include <sane/sane.h>

#include "bb_escl.h"

namespace fixtures {

struct FreeSession {
  void operator()(host_session *p) const { free(p); }
};
using SessionPtr = std::unique_ptr<host_session, FreeSession>;

inline void set_words(SANE_Word *list, std::initializer_list<SANE_Word> values) {
  list[0] = static_cast<SANE_Word>(values.size());
  SANE_Word *p = list + 1;
  for (SANE_Word v : values) *p++ = v;
}

// Platen 215.9 x 297.2 mm at 75..600 dpi; feeders 215.9 x 355.6 mm at
// 150 and 300 dpi; modes Lineart, Gray, Color.
inline SessionPtr published_session() {
  SessionPtr hs(static_cast<host_session *>(calloc(1, sizeof(host_session))));
  hs->mode_names[0] = "Lineart";
  hs->mode_names[1] = "Gray";
  hs->mode_names[2] = "Color";
  hs->mode_ids[0] = BB_MODE_LINEART;
  hs->mode_ids[1] = BB_MODE_GRAY;
  hs->mode_ids[2] = BB_MODE_COLOR;
  hs->source_names[0] = "Flatbed";
  hs->source_names[1] = "ADF";
  hs->source_names[2] = "ADF Duplex";
  hs->source_ids[0] = BB_SOURCE_FLATBED;
  hs->source_ids[1] = BB_SOURCE_ADF;
  hs->source_ids[2] = BB_SOURCE_DUPLEX;
  set_words(hs->source_geometry[0].resolutions, {75, 100, 150, 200, 300, 600});
  set_words(hs->source_geometry[1].resolutions, {150, 300});
  set_words(hs->source_geometry[2].resolutions, {150, 300});
  set_words(hs->resolution_list, {150, 300});
  const SANE_Fixed width = 14149223, platen_height = 19477904, feeder_height = 23304000;
  for (int i = 0; i < 3; ++i) {
    source_geometry &g = hs->source_geometry[i];
    // Garbage where the plug-in writes nothing: the host must set it.
    g.tl_x_range = g.br_x_range = {-7, width, 99};
    g.tl_y_range = g.br_y_range = {-7, i == 0 ? platen_height : feeder_height, 99};
    g.min_width = SANE_FIX(16.0);
    g.min_height = SANE_FIX(16.0);
  }
  hs->gated_option_cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT | SANE_CAP_ADVANCED | SANE_CAP_INACTIVE;
  return hs;
}

}  // namespace fixtures
