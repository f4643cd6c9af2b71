// Reduces a ScannerCapabilities document to the fixed escl_caps record.
//
// This is not a general XML reader: it walks the document tag by tag,
// recognises a few elements by their namespace and local name, and reads
// several values by their position after a recognised tag, relying on the
// element order of the eSCL schema.  Where real devices stray from that
// order (sizes in another order, a colour mode before the resolution list,
// a source without optical maxima) the reader is made to cope without
// reading into the next source's element.
#include <string.h>
#include <syslog.h>

#include <string_view>

#include "capabilities.h"
#include "capabilities_offers.h"
#include "../http/xml.h"
#include "../http/xml_namespaces.h"
#include "session.h"

namespace {

// Texts that differ between the four input sources.
struct SourceText {
  const char *element;  // the source's input-caps element (eSCL)
  const char *name;         // for the messages this file adds
  const char *color_mode_msg;
  const char *discrete_msg;  // feeders do not log their discrete list
  const char *range_min_msg;
  const char *range_max_msg;
  const char *optical_x_msg;
  const char *optical_y_msg;
  bool offers_modes;  // platen and simplex feeder decide the host's mode list
};

constexpr SourceText kPlatenText{
    "PlatenInputCaps",
    "Platen",
    "bb_escl 307: Platen FormatSupported ColorMode:%s\n",
    "bb_escl 330: Platen Resolution:%s\n",
    "bb_escl 347: Platen Resolution Min:%s\n",
    "bb_escl 352: Platen Resolution Max:%s\n",
    "bb_escl 363: Platen Optical Resolution Max X:%s\n",
    "bb_escl 368: Platen Optical Resolution Max Y:%s\n",
    true};

constexpr SourceText kAdfSimplexText{
    "AdfSimplexInputCaps",
    "ADF Simplex",
    "bb_escl 417: ADF FormatSupported ColorMode:%s\n",
    nullptr,
    "bb_escl 457: ADF Simplex Resolution Min:%s\n",
    "bb_escl 462: ADF Simplex Resolution Max:%s\n",
    "bb_escl 473: ADF Simplex Optical Resolution Max X:%s\n",
    "bb_escl 478: ADF Simplex Optical Resolution Max Y:%s\n",
    true};

constexpr SourceText kAdfDuplexText{
    "AdfDuplexInputCaps",
    "ADF Duplex",
    "bb_escl 519: ADF Duplex FormatSupported ColorMode:%s\n",
    nullptr,
    "bb_escl 558: ADF Duplex Resolution Min:%s\n",
    "bb_escl 563: ADF Duplex Resolution Max:%s\n",
    "bb_escl 576: ADF Duplex Optical Resolution Max X:%s\n",
    "bb_escl 581: ADF Duplex Optical Resolution Max Y:%s\n",
    false};

constexpr SourceText kCameraText{
    "CameraInputCaps",
    "Camera",
    "bb_escl 627: Camera FormatSupported ColorMode:%s\n",
    "bb_escl 650: Camera Resolution:%s\n",
    "bb_escl 666: Camera Resolution Min:%s\n",
    "bb_escl 671: Camera Resolution Max:%s\n",
    "bb_escl 682: Camera Optical Resolution Max X:%s\n",
    "bb_escl 687: Camera Optical Resolution Max Y:%s\n",
    false};

constexpr int32_t kMaxResolutions = BB_WORD_LIST_WORDS - 1;

// A decimal number as strtol reads it (leading white space, a sign, digits
// up to the first other byte; no digits read as 0).  A value that does not
// fit 32 bits is malformed and reads as 0 as well.
int32_t escl_decimal(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) return 0;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

// Position in the document and the two buffers the helpers copy into.
struct Cursor {
  const char *pos;
  const char *end;
  char *tag;
  char *value;
  const bb::xml_namespaces *names;
  bb::offers_walk *offers;  // null: the caller wants no offers
  bb::xml_name name;        // of the tag last read

  void next_tag() {
    const int32_t length =
        xml_next_tag(pos, static_cast<int32_t>(end - pos), tag, bb::kTagBufferSize, &pos);
    name = bb::xml_name_of_tag(*names, std::string_view(tag, static_cast<size_t>(length)));
    if (offers != nullptr) offers->tag(name, text_ahead());
  }
  // The character data after the tag, left in place for the walk to take.
  std::string_view text_ahead() const {
    const void *lt = memchr(pos, '<', static_cast<size_t>(end - pos));
    const char *stop = lt != nullptr ? static_cast<const char *>(lt) : end;
    return {pos, static_cast<size_t>(stop - pos)};
  }
  // The tag opens (or closes) the eSCL element `local`; attributes may follow.
  bool opens(std::string_view local, bb::xml_ns ns = bb::xml_ns::kEscl) const {
    return !name.closing && name.ns == ns && name.local == local;
  }
  bool closes(std::string_view local) const {
    return name.closing && name.ns == bb::xml_ns::kEscl && name.local == local;
  }
  const char *take_text() {
    xml_element_text(pos, static_cast<int32_t>(end - pos), value, bb::kValueBufferSize, &pos);
    return value;
  }
  int32_t take_number() { return escl_decimal(take_text()); }
  // An empty tag short of the end is "<>", passed over like any other tag.
  bool at_document_end() const { return tag[0] == '\0' && pos >= end; }
};

enum class Step { kTag, kSourceEnd, kDocumentEnd };

// Reads one input-caps element (Platen, AdfSimplex, AdfDuplex, Camera).
class SourceReader {
 public:
  SourceReader(Cursor &c, const SourceText &text, source_caps &block, escl_caps &caps)
      : c_(c), text_(text), block_(block), caps_(caps) {}

  // kDocumentEnd leaves in missing() what the reader was looking for.
  Step run() {
    block_.supported = 1;
    Step s = read_sizes();
    if (s == Step::kTag) s = read_color_modes();
    if (s == Step::kTag) s = read_resolutions();
    if (s == Step::kTag) s = read_optical_maxima();
    return s;
  }
  const char *missing() const { return missing_; }

 private:
  // Reads the next tag; never past the source's own closing tag, so a
  // source that lacks an element cannot take it from the next source.
  Step read(const char *wanted) {
    c_.next_tag();
    if (c_.at_document_end()) {
      missing_ = wanted;
      return Step::kDocumentEnd;
    }
    if (c_.closes(text_.element)) return Step::kSourceEnd;
    return Step::kTag;
  }

  Step read_until(std::string_view local, const char *wanted) {
    while (!c_.opens(local)) {
      if (Step s = read(wanted); s != Step::kTag) return s;
    }
    return Step::kTag;
  }

  int32_t *size_slot() {
    if (c_.opens("MinWidth")) return &block_.min_width;
    if (c_.opens("MaxWidth")) return &block_.max_width;
    if (c_.opens("MinHeight")) return &block_.min_height;
    if (c_.opens("MaxHeight")) return &block_.max_height;
    return nullptr;
  }

  // The four size elements follow the input-caps tag.  Devices send them
  // in the schema's order and also as MinWidth, MinHeight, MaxWidth,
  // MaxHeight, so each value goes where its element's name says.
  Step read_sizes() {
    for (int i = 0; i < 4; ++i) {
      if (Step s = read("the size elements"); s != Step::kTag) return s;
      int32_t *slot = size_slot();
      int32_t v = c_.take_number();
      if (slot != nullptr) *slot = v;
      if (Step s = read("the size elements"); s != Step::kTag) return s;
    }
    return Step::kTag;
  }

  Step read_color_modes() {
    if (Step s = read_until("ColorModes", "scan:ColorModes"); s != Step::kTag) return s;
    while (!c_.closes("ColorModes")) {
      if (Step s = read("/scan:ColorModes"); s != Step::kTag) return s;
      if (!c_.opens("ColorMode")) continue;
      const char *mode = c_.take_text();
      syslog(LOG_INFO, text_.color_mode_msg, mode);
      std::string_view word(mode);
      int id = word == "BlackAndWhite1" ? BB_MODE_LINEART
               : word == "Grayscale8"   ? BB_MODE_GRAY
               : word == "RGB24"        ? BB_MODE_COLOR
                                        : 0;
      if (id == 0) continue;
      block_.color_modes[id] = id;
      if (text_.offers_modes) caps_.color_modes[id] = id;
    }
    return Step::kTag;
  }

  Step read_resolutions() {
    if (Step s = read("scan:SupportedResolutions"); s != Step::kTag) return s;
    if (Step s = read_until("SupportedResolutions", "scan:SupportedResolutions");
        s != Step::kTag)
      return s;
    // Devices that keep one list per colour mode put a ColorMode element
    // first; the first list of the element is the one read.
    do {
      if (Step s = read("scan:DiscreteResolutions"); s != Step::kTag) return s;
    } while (!c_.opens("DiscreteResolutions") && !c_.opens("ResolutionRange") &&
             !c_.closes("SupportedResolutions"));
    if (c_.opens("DiscreteResolutions")) {
      if (Step s = read_discrete_list(); s != Step::kTag) return s;
    }
    if (c_.opens("ResolutionRange")) {
      if (Step s = read_range(); s != Step::kTag) return s;
    }
    return Step::kTag;
  }

  // X resolutions in document order; a value repeating the one before it
  // (same X, other Y) is kept once.
  Step read_discrete_list() {
    int32_t *list = block_.resolutions;
    list[0] = 0;
    while (!c_.closes("SupportedResolutions")) {
      if (Step s = read("/scan:SupportedResolutions"); s != Step::kTag) return s;
      if (!c_.opens("DiscreteResolution")) continue;
      if (Step s = read("scan:XResolution"); s != Step::kTag) return s;
      const char *text = c_.take_text();
      int32_t v = escl_decimal(text);
      if (text_.discrete_msg != nullptr) syslog(LOG_INFO, text_.discrete_msg, text);
      if (v == 0 || (list[0] > 0 && list[list[0]] == v)) continue;
      if (list[0] == kMaxResolutions) {
        syslog(LOG_INFO, "bb_escl 339: %s Resolution list full, %s dropped\n", text_.name, text);
        continue;
      }
      list[++list[0]] = v;
    }
    return Step::kTag;
  }

  // Only Min and Max of the X range are read; Normal, Step and the Y range
  // are passed over.  bb_open turns the range into a list.
  Step read_range() {
    block_.resolutions[0] = 0;
    while (!c_.closes("SupportedResolutions")) {
      if (Step s = read("/scan:SupportedResolutions"); s != Step::kTag) return s;
      if (!c_.opens("XResolutionRange")) continue;
      if (Step s = read("scan:Min"); s != Step::kTag) return s;
      block_.res_range_min = c_.take_number();
      syslog(LOG_INFO, text_.range_min_msg, c_.value);
      for (int i = 0; i < 2; ++i) {
        if (Step s = read("scan:Max"); s != Step::kTag) return s;
      }
      block_.res_range_max = c_.take_number();
      syslog(LOG_INFO, text_.range_max_msg, c_.value);
    }
    return Step::kTag;
  }

  Step read_optical_maxima() {
    if (Step s = read("scan:MaxOpticalXResolution"); s != Step::kTag) return s;
    if (Step s = read_until("MaxOpticalXResolution", "scan:MaxOpticalXResolution");
        s != Step::kTag)
      return s;
    block_.max_optical_x_res = c_.take_number();
    syslog(LOG_INFO, text_.optical_x_msg, c_.value);
    for (int i = 0; i < 2; ++i) {
      if (Step s = read("scan:MaxOpticalYResolution"); s != Step::kTag) return s;
    }
    block_.max_optical_y_res = c_.take_number();
    syslog(LOG_INFO, text_.optical_y_msg, c_.value);
    return Step::kTag;
  }

  Cursor &c_;
  const SourceText &text_;
  source_caps &block_;
  escl_caps &caps_;
  const char *missing_ = "";
};

enum class Outcome { kGoOn, kRejected, kDocumentEnd };

// eSCL 1.x devices speak a job protocol this plug-in does not.
Outcome read_version(Cursor &c, bb_session *session) {
  const char *version = c.take_text();
  syslog(LOG_INFO, "bb_escl 248: Version:%s\n", version);
  if (version[0] == '1') {
    if (session != nullptr) session->escl_version = 1;
    syslog(LOG_ERR, "bb_escl 252: Unsupported eSCL1.0 version\n");
    return Outcome::kRejected;
  }
  if (session != nullptr) session->escl_version = 2;
  c.next_tag();
  return Outcome::kGoOn;
}

Outcome read_source(Cursor &c, const SourceText &text, source_caps &block, escl_caps &caps) {
  SourceReader reader(c, text, block, caps);
  if (reader.run() != Step::kDocumentEnd) return Outcome::kGoOn;
  syslog(LOG_ERR, "bb_escl 693: %s capabilities end before %s\n", text.name, reader.missing());
  return Outcome::kDocumentEnd;
}

}  // namespace

int bb_parse_scan_elements(char *doc, int32_t length, bb_session *session, escl_caps *caps,
                           caps_walk_buffers *work) {
  syslog(LOG_INFO, "bb_escl 237: bb_parse_scan_elements entry.\n");
  memset(caps, 0, sizeof *caps);
  const int32_t size = length > 0 ? length : 0;
  bb::xml_namespaces names;
  bb::xml_read_namespaces(std::string_view(doc, static_cast<size_t>(size)), &names);
  if (session != nullptr) memset(&session->offers, 0, sizeof session->offers);
  bb::offers_walk offers(session != nullptr ? &session->offers : nullptr);
  Cursor c{doc, doc + size, work->tag, work->value, &names, session != nullptr ? &offers : nullptr, {}};
  for (;;) {
    c.next_tag();
    if (c.tag[0] == '\0') {
      offers.finish();
      syslog(LOG_INFO, "bb_escl 691: bb_parse_scan_elements successful\n");
      return 0;
    }
    // Each test sees the tag buffer as the reader before it left it.
    Outcome o = Outcome::kGoOn;
    if (c.opens("Version", bb::xml_ns::kPwg)) o = read_version(c, session);
    if (o == Outcome::kGoOn && c.opens("PlatenInputCaps"))
      o = read_source(c, kPlatenText, caps->platen, *caps);
    if (o == Outcome::kGoOn && c.opens("AdfSimplexInputCaps"))
      o = read_source(c, kAdfSimplexText, caps->adf_simplex, *caps);
    if (o == Outcome::kGoOn && c.opens("AdfDuplexInputCaps"))
      o = read_source(c, kAdfDuplexText, caps->adf_duplex, *caps);
    if (o == Outcome::kGoOn && c.opens("FeederCapacity")) {
      caps->feeder_capacity = c.take_number();
      syslog(LOG_INFO, "bb_escl 588: FeederCapacity:%s\n", c.value);
    }
    if (o == Outcome::kGoOn && c.opens("CameraInputCaps"))
      o = read_source(c, kCameraText, caps->camera, *caps);
    if (o == Outcome::kRejected) return 1;
    if (o == Outcome::kDocumentEnd) {
      offers.finish();
      return 0;
    }
  }
}

int bb_parse_scan_elements(char *doc, int32_t length, bb_session *session, escl_caps *caps) {
  caps_walk_buffers work;
  return bb_parse_scan_elements(doc, length, session, caps, &work);
}
