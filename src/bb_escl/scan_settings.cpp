// The ScanSettings document of a new job, built from the host's option
// values and what the device offers for the chosen source and mode.
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include "bb_escl.h"
#include "bb_escl_region.h"
#include "capabilities.h"
#include "job_control.h"
#include "session.h"

namespace {

// pwg:InputSource by input-source id (index 0 stands for ids the host is not
// expected to send).
constexpr const char *kSourceNames[] = {"Platen", "Platen", "Feeder", "Feeder", "Camera"};

// ScanSettings as the scanners take it: one line, in the namespaces the
// devices declare, height before the units and the width, the units with
// the undeclared "escl:" prefix devices expect, and a closing line end that
// belongs to the body.  The format element and the compression factor go
// where the schema puts them.
constexpr char kSettingsHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<scan:ScanSettings xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\""
    " xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\">"
    "<pwg:Version>2.0</pwg:Version>";
constexpr char kSettingsIntent[] = "<scan:Intent>%s</scan:Intent>";
constexpr char kSettingsRegion[] =
    "<pwg:ScanRegions><pwg:ScanRegion>"
    "<pwg:Height>%d</pwg:Height>"
    "<pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>"
    "<pwg:Width>%d</pwg:Width>"
    "<pwg:XOffset>%d</pwg:XOffset>"
    "<pwg:YOffset>%d</pwg:YOffset>"
    "</pwg:ScanRegion></pwg:ScanRegions>";
constexpr char kSettingsFormatExt[] = "<scan:DocumentFormatExt>%s</scan:DocumentFormatExt>";
constexpr char kSettingsFormat[] = "<pwg:DocumentFormat>%s</pwg:DocumentFormat>";
constexpr char kSettingsBody[] =
    "<pwg:ContentType>%s</pwg:ContentType>"
    "<pwg:InputSource>%s</pwg:InputSource>"
    "<scan:XResolution>%d</scan:XResolution>"
    "<scan:YResolution>%d</scan:YResolution>"
    "<scan:ColorMode>%s</scan:ColorMode>"
    "<scan:Duplex>%s</scan:Duplex>";
constexpr char kSettingsCompression[] = "<scan:CompressionFactor>%d</scan:CompressionFactor>";
constexpr char kSettingsTail[] = "</scan:ScanSettings>\r\n";

// Intents by id, with the content type that says the same to devices that
// read pwg:ContentType instead (every device lists these three).
struct IntentText {
  const char *intent;
  const char *content_type;
};
constexpr IntentText kIntents[BB_INTENT_COUNT] = {
    {nullptr, nullptr},         {"Document", "Text"}, {"TextAndGraphic", "TextAndPhoto"},
    {"Photo", "Photo"},         {"Preview", "Photo"}, {"Object", "Photo"},
    {"BusinessCard", "Text"}};

constexpr const char *kFormatTypes[] = {nullptr, "image/png", "image/jpeg"};

const char *source_name(int32_t source) {
  return (source >= BB_SOURCE_FLATBED && source <= BB_SOURCE_CAMERA) ? kSourceNames[source]
                                                                     : kSourceNames[0];
}

bool offered(uint32_t bits, int32_t id) { return (bits & (1u << id)) != 0; }

// The format of the page: the host's choice where the source offers it in
// this mode, else lossless PNG where offered, else JPEG.  0 when the source
// offers neither.
int32_t page_format(const host_session *hs, uint32_t formats) {
  const int32_t wanted = hs->current_format;
  if ((wanted == BB_FORMAT_PNG || wanted == BB_FORMAT_JPEG) && offered(formats, wanted))
    return wanted;
  if (wanted != BB_FORMAT_AUTO)
    syslog(LOG_INFO, "bb_escl 1519: transfer format %d not offered here, choosing one\n", wanted);
  if (offered(formats, BB_FORMAT_PNG)) return BB_FORMAT_PNG;
  if (offered(formats, BB_FORMAT_JPEG)) return BB_FORMAT_JPEG;
  return 0;
}

// The intent: the host's where listed, else Preview for a preview, Document
// for line art and grey, Photo for colour, where listed.  A device that
// lists no intent takes Document and Photo, the two every device knows.
int32_t scan_intent(const host_session *hs, uint32_t intents) {
  const int32_t wanted = hs->current_intent;
  if (wanted > BB_INTENT_DEFAULT && wanted < BB_INTENT_COUNT && offered(intents, wanted))
    return wanted;
  const int32_t usual = hs->current_mode == BB_MODE_COLOR ? BB_INTENT_PHOTO : BB_INTENT_DOCUMENT;
  if (intents == 0) return usual;
  if (hs->preview != 0 && offered(intents, BB_INTENT_PREVIEW)) return BB_INTENT_PREVIEW;
  return offered(intents, usual) ? usual : BB_INTENT_DEFAULT;
}

// Appends to a bounded buffer; the length keeps counting past its end, as
// snprintf's does, so the caller sees a document that did not fit.
class Document {
 public:
  Document(char *buf, size_t room) : buf_(buf), room_(room) {
    if (room_ > 0) buf_[0] = '\0';
  }
  __attribute__((format(printf, 2, 3))) void add(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const size_t at = len_ < room_ ? len_ : room_;
    const int n = vsnprintf(buf_ + at, room_ - at, format, args);
    va_end(args);
    if (n > 0) len_ += static_cast<size_t>(n);
  }
  int length() const { return static_cast<int>(len_); }

 private:
  char *buf_;
  size_t room_;
  size_t len_ = 0;
};

struct Region {
  int32_t width;
  int32_t height;
  int32_t x_offset;
  int32_t y_offset;
};

// Only the area is scanned and sent: on the platen and the camera it lies
// where the area's corner is.  A feeder lays narrow paper centred on its
// guides, so there the area is centred on the feeder's widest scan; down
// the sheet it starts where the area does.  Offsets are truncated like the
// sizes and never negative.
Region job_region(const host_session *hs) {
  Region r{};
  r.width = bb_fixed_span_to_300ths(hs->tl_x, hs->br_x);
  r.height = bb_fixed_span_to_300ths(hs->tl_y, hs->br_y);
  const int32_t max_width = bb_feeder_width_300ths(hs->x_range_max);
  syslog(LOG_INFO, "bb_escl 1518: Requested_width = [%d], max_width = [%d]\n", r.width, max_width);
  r.x_offset = bb::feeder_source(hs->current_source) ? (max_width - r.width) / 2
                                                      : bb_fixed_span_to_300ths(0, hs->tl_x);
  r.y_offset = bb_fixed_span_to_300ths(0, hs->tl_y);
  if (r.x_offset < 0) r.x_offset = 0;
  if (r.y_offset < 0) r.y_offset = 0;
  return r;
}

}  // namespace

namespace bb {

int write_scan_settings(const host_session *hs, const bb_session *session, char *body,
                        size_t room) {
  const source_offers &offers = offers_of(session, hs->current_source);
  const source_caps *caps = nullptr;
  switch (hs->current_source) {
    case BB_SOURCE_ADF: caps = &session->caps.adf_simplex; break;
    case BB_SOURCE_DUPLEX: caps = &session->caps.adf_duplex; break;
    case BB_SOURCE_CAMERA: caps = &session->caps.camera; break;
    default: caps = &session->caps.platen; break;
  }
  // Line art comes as 1-bit black and white only in PNG, where the device
  // lists both; otherwise as grey, thresholded by the host.
  int32_t mode = hs->current_mode == BB_MODE_COLOR ? BB_MODE_COLOR : BB_MODE_GRAY;
  int32_t format = page_format(hs, offers.formats[mode]);
  if (hs->current_mode == BB_MODE_LINEART && caps->color_modes[BB_MODE_LINEART] != 0 &&
      page_format(hs, offers.formats[BB_MODE_LINEART]) == BB_FORMAT_PNG) {
    mode = BB_MODE_LINEART;
    format = BB_FORMAT_PNG;
  }
  // A device that lists no format at all is asked for JPEG, which every
  // eSCL device sends.
  if (format == 0 && offers.formats_listed == 0) format = BB_FORMAT_JPEG;
  const int32_t intent = scan_intent(hs, offers.intents);
  const char *mode_name = mode == BB_MODE_COLOR     ? "RGB24"
                          : mode == BB_MODE_LINEART ? "BlackAndWhite1"
                                                    : "Grayscale8";
  syslog(LOG_INFO, "bb_escl 1520: ScanSettings mode=%s format=%s intent=%s\n", mode_name,
         format != 0 ? kFormatTypes[format] : "(device's choice)",
         intent != 0 ? kIntents[intent].intent : "(none)");

  Region region = job_region(hs);
  Document doc(body, room);
  doc.add("%s", kSettingsHead);
  if (intent != 0) doc.add(kSettingsIntent, kIntents[intent].intent);
  doc.add(kSettingsRegion, region.height, region.width, region.x_offset, region.y_offset);
  if (format != 0)
    doc.add(offers.format_ext != 0 ? kSettingsFormatExt : kSettingsFormat, kFormatTypes[format]);
  doc.add(kSettingsBody,
          kIntents[intent != 0 ? intent : (mode == BB_MODE_COLOR ? BB_INTENT_PHOTO
                                                                 : BB_INTENT_DOCUMENT)]
              .content_type,
          source_name(hs->current_source), hs->current_resolution, hs->current_resolution,
          mode_name, hs->current_source == BB_SOURCE_DUPLEX ? "true" : "false");
  if (format == BB_FORMAT_JPEG && session->offers.compression_listed != 0)
    doc.add(kSettingsCompression, session->offers.compression_min);
  doc.add("%s", kSettingsTail);
  return doc.length();
}

}  // namespace bb
