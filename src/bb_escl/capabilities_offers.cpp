// What each input source offers for a job beyond sizes, modes and
// resolutions: the document formats per colour mode, the intents, and the
// device's JPEG compression range.
//
// Devices group formats with colour modes in setting profiles: the formats
// of a profile go with the modes it lists (all modes when it lists none,
// and formats outside any profile go with every mode of the source).  The
// compression range is the device's, outside the sources.
#include <string.h>
#include <syslog.h>

#include <string_view>

#include "../http/http_number.h"
#include "../http/xml.h"
#include "../http/xml_namespaces.h"
#include "capabilities.h"
#include "capabilities_offers.h"
#include "session.h"
#include "../http/text.h"

namespace {

using bb::offers_walk;
using bb::xml_name;
using bb::xml_ns;

struct SourceElement {
  std::string_view local;
  source_offers escl_offers::*block;
};

constexpr SourceElement kSources[] = {
    {"PlatenInputCaps", &escl_offers::platen},
    {"AdfSimplexInputCaps", &escl_offers::adf_simplex},
    {"AdfDuplexInputCaps", &escl_offers::adf_duplex},
    {"CameraInputCaps", &escl_offers::camera},
};

struct Word {
  std::string_view text;
  int32_t id;
};

constexpr Word kModeWords[] = {
    {"BlackAndWhite1", BB_MODE_LINEART}, {"Grayscale8", BB_MODE_GRAY}, {"RGB24", BB_MODE_COLOR}};
constexpr Word kFormatWords[] = {{"image/png", BB_FORMAT_PNG}, {"image/jpeg", BB_FORMAT_JPEG}};
constexpr Word kIntentWords[] = {
    {"Document", BB_INTENT_DOCUMENT}, {"TextAndGraphic", BB_INTENT_TEXT_AND_GRAPHIC},
    {"Photo", BB_INTENT_PHOTO},       {"Preview", BB_INTENT_PREVIEW},
    {"Object", BB_INTENT_OBJECT},     {"BusinessCard", BB_INTENT_BUSINESS_CARD}};

bool same_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (bb::ascii_lower(a[i]) != bb::ascii_lower(b[i])) return false;
  return true;
}

template <size_t N>
int32_t word_id(std::string_view text, const Word (&words)[N], bool any_case) {
  text = bb::trim_xml_space(text);
  for (const Word &w : words)
    if (any_case ? same_nocase(text, w.text) : text == w.text) return w.id;
  return 0;
}

bool opens(const xml_name &n, xml_ns ns, std::string_view local) {
  return !n.closing && n.ns == ns && n.local == local;
}

bool closes(const xml_name &n, std::string_view local) {
  return n.closing && n.ns == xml_ns::kEscl && n.local == local;
}

// Formats found in a profile (or loose in the source) go with the modes
// the profile lists, or with every mode when it lists none.
void apply(const offers_walk::pending_formats &p, source_offers &block) {
  for (int32_t mode = BB_MODE_LINEART; mode <= BB_MODE_COLOR; ++mode)
    if (p.modes == 0 || (p.modes & (1u << mode)) != 0) block.formats[mode] |= p.formats;
}

}  // namespace

namespace bb {

void offers_walk::end_source() {
  loose.modes = 0;
  apply(loose, *block);
  block = nullptr;
}

// Xerox devices write the range's elements in no namespace at all.
void offers_walk::compression_tag(const xml_name &n, std::string_view text) {
  if (closes(n, "CompressionFactorSupport")) {
    in_compression = false;
  } else if (!n.closing && n.local == "Min") {
    int32_t least = 0;
    if (bb::parse_decimal(text, &least) == bb::number_result::ok) {
      offers->compression_listed = 1;
      offers->compression_min = least;
    }
  }
}

void offers_walk::source_tag(const xml_name &n, std::string_view text) {
  if (closes(n, source)) {
    end_source();
  } else if (opens(n, xml_ns::kEscl, "SettingProfile")) {
    profile = pending_formats{};
    in_profile = true;
  } else if (closes(n, "SettingProfile")) {
    apply(profile, *block);
    in_profile = false;
  } else if (opens(n, xml_ns::kEscl, "ColorMode")) {
    if (int32_t mode = word_id(text, kModeWords, false); mode != 0 && in_profile)
      profile.modes |= 1u << mode;
  } else if (opens(n, xml_ns::kPwg, "DocumentFormat") ||
             opens(n, xml_ns::kEscl, "DocumentFormatExt")) {
    block->formats_listed = 1;
    if (n.ns == xml_ns::kEscl) block->format_ext = 1;
    if (int32_t format = word_id(text, kFormatWords, true); format != 0)
      (in_profile ? profile : loose).formats |= 1u << format;
  } else if (opens(n, xml_ns::kEscl, "Intent") || opens(n, xml_ns::kEscl, "SupportedIntent")) {
    // Kyocera devices name the list's items SupportedIntent.
    if (int32_t intent = word_id(text, kIntentWords, false); intent != 0)
      block->intents |= 1u << intent;
  }
}

void offers_walk::tag(const xml_name &n, std::string_view text) {
  if (in_compression) {
    compression_tag(n, text);
  } else if (block != nullptr) {
    source_tag(n, text);
  } else if (opens(n, xml_ns::kEscl, "CompressionFactorSupport")) {
    in_compression = true;
  } else {
    for (const SourceElement &s : kSources) {
      if (!opens(n, xml_ns::kEscl, s.local)) continue;
      block = &(offers->*s.block);
      source = s.local;
      in_profile = false;
      loose = pending_formats{};
      profile = pending_formats{};
      break;
    }
  }
}

void offers_walk::finish() {
  if (block != nullptr) end_source();
}

const source_offers &offers_of(const bb_session *session, int32_t source) {
  const escl_offers &o = session->offers;
  switch (source) {
    case BB_SOURCE_ADF: return o.adf_simplex;
    case BB_SOURCE_DUPLEX:
      return o.adf_duplex.formats_listed != 0 || o.adf_duplex.intents != 0 ? o.adf_duplex
                                                                           : o.adf_simplex;
    case BB_SOURCE_CAMERA: return o.camera;
    default: return o.platen;
  }
}

}  // namespace bb
