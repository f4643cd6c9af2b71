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
#include "session.h"
#include "../http/text.h"

namespace {

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

// The walk's place: the source being read and the profile inside it.
struct Walk {
  const char *pos;
  const char *end;
  char *tag;
  char *value;
  const bb::xml_namespaces *names;
  bb::xml_name name;

  bool next() {
    xml_next_tag(pos, static_cast<int32_t>(end - pos), tag, bb::kTagBufferSize, &pos);
    name = bb::xml_name_of_tag(*names, tag);
    return !(tag[0] == '\0' && pos >= end);
  }
  std::string_view text() {
    xml_element_text(pos, static_cast<int32_t>(end - pos), value, bb::kValueBufferSize, &pos);
    return bb::buffer_text(value, bb::kValueBufferSize);
  }
  bool opens(xml_ns ns, std::string_view local) const {
    return !name.closing && name.ns == ns && name.local == local;
  }
  bool closes(std::string_view local) const {
    return name.closing && name.ns == xml_ns::kEscl && name.local == local;
  }
};

// Formats found in a profile (or loose in the source) and the modes the
// profile lists, until the profile ends.
struct Pending {
  uint32_t formats = 0;
  uint32_t modes = 0;  // bit (1 << mode id)

  void apply_to(source_offers &block) const {
    for (int32_t mode = BB_MODE_LINEART; mode <= BB_MODE_COLOR; ++mode)
      if (modes == 0 || (modes & (1u << mode)) != 0) block.formats[mode] |= formats;
  }
};

// Xerox devices write the range's elements in no namespace at all.
void read_compression(Walk &w, escl_offers &offers) {
  while (w.next() && !w.closes("CompressionFactorSupport")) {
    if (w.name.closing || w.name.local != "Min") continue;
    int32_t least = 0;
    if (bb::parse_decimal(w.text(), &least) == bb::number_result::ok) {
      offers.compression_listed = 1;
      offers.compression_min = least;
    }
  }
}

void read_source(Walk &w, std::string_view element, source_offers &block) {
  Pending loose;
  Pending profile;
  bool in_profile = false;
  while (w.next() && !w.closes(element)) {
    if (w.opens(xml_ns::kEscl, "SettingProfile")) {
      profile = Pending{};
      in_profile = true;
    } else if (w.closes("SettingProfile")) {
      profile.apply_to(block);
      in_profile = false;
    } else if (w.opens(xml_ns::kEscl, "ColorMode")) {
      if (int32_t mode = word_id(w.text(), kModeWords, false); mode != 0 && in_profile)
        profile.modes |= 1u << mode;
    } else if (w.opens(xml_ns::kPwg, "DocumentFormat") ||
               w.opens(xml_ns::kEscl, "DocumentFormatExt")) {
      block.formats_listed = 1;
      if (w.name.ns == xml_ns::kEscl) block.format_ext = 1;
      if (int32_t format = word_id(w.text(), kFormatWords, true); format != 0)
        (in_profile ? profile : loose).formats |= 1u << format;
    } else if (w.opens(xml_ns::kEscl, "Intent") || w.opens(xml_ns::kEscl, "SupportedIntent")) {
      // Kyocera devices name the list's items SupportedIntent.
      if (int32_t intent = word_id(w.text(), kIntentWords, false); intent != 0)
        block.intents |= 1u << intent;
    }
  }
  loose.modes = 0;
  loose.apply_to(block);
}

}  // namespace

namespace bb {

void read_source_offers(const char *doc, int32_t length, const xml_namespaces &names,
                        escl_offers *offers, caps_walk_buffers *work) {
  memset(offers, 0, sizeof *offers);
  Walk w{doc, doc + (length > 0 ? length : 0), work->tag, work->value, &names, {}};
  while (w.next()) {
    if (w.opens(xml_ns::kEscl, "CompressionFactorSupport")) {
      read_compression(w, *offers);
      continue;
    }
    for (const SourceElement &s : kSources) {
      if (!w.opens(xml_ns::kEscl, s.local)) continue;
      read_source(w, s.local, offers->*s.block);
      break;
    }
  }
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
