// The ScanSettings of a new job: the format, the colour mode, the intent and
// the compression chosen from what the source offers and the host asks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bb_escl/job_control.h"
#include "bb_escl/session.h"
#include "device_double.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint32_t kPng = 1u << BB_FORMAT_PNG;
constexpr uint32_t kJpeg = 1u << BB_FORMAT_JPEG;
constexpr uint32_t bit(int intent) { return 1u << intent; }

struct Case {
  const char *name;
  int32_t mode;
  uint32_t formats;         // offered in every mode (line art: only with bw1 listed)
  bool bw1;                 // the source lists BlackAndWhite1
  bool ext;                 // formats listed as DocumentFormatExt
  int32_t wanted_format;    // the host's transfer-format
  uint32_t intents;
  int32_t wanted_intent;
  bool preview;
  const char *expected[4];  // in the document
  const char *absent;       // not in the document
};

const Case kCases[] = {
    {"png preferred", BB_MODE_COLOR, kPng | kJpeg, false, true, BB_FORMAT_AUTO, 0, 0, false,
     {"<scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>", "<scan:ColorMode>RGB24<",
      "<scan:Intent>Photo</scan:Intent>", "<pwg:ContentType>Photo<"},
     "CompressionFactor"},
    {"jpeg asked for", BB_MODE_COLOR, kPng | kJpeg, false, false, BB_FORMAT_JPEG, 0, 0, false,
     {"<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>",
      "<scan:CompressionFactor>2</scan:CompressionFactor>"},
     "image/png"},
    {"png asked, not offered", BB_MODE_GRAY, kJpeg, false, true, BB_FORMAT_PNG, 0, 0, false,
     {"<scan:DocumentFormatExt>image/jpeg<", "<scan:Intent>Document<", "<pwg:ContentType>Text<",
      "Grayscale8"},
     "image/png"},
    {"nothing listed: jpeg", BB_MODE_GRAY, 0, false, false, BB_FORMAT_AUTO, 0, 0, false,
     {"<pwg:DocumentFormat>image/jpeg<"}, "DocumentFormatExt"},
    {"line art as bw1 png", BB_MODE_LINEART, kPng, true, true, BB_FORMAT_AUTO, 0, 0, false,
     {"BlackAndWhite1", "image/png"}, "Grayscale8"},
    {"line art without bw1", BB_MODE_LINEART, kPng, false, true, BB_FORMAT_AUTO, 0, 0, false,
     {"Grayscale8", "image/png"}, "BlackAndWhite1"},
    {"line art as jpeg is grey", BB_MODE_LINEART, kPng | kJpeg, true, true, BB_FORMAT_JPEG, 0, 0,
     false, {"Grayscale8", "image/jpeg"}, "BlackAndWhite1"},
    {"intent asked and listed", BB_MODE_COLOR, kJpeg, false, true, BB_FORMAT_AUTO,
     bit(BB_INTENT_PHOTO) | bit(BB_INTENT_TEXT_AND_GRAPHIC), BB_INTENT_TEXT_AND_GRAPHIC, false,
     {"<scan:Intent>TextAndGraphic<", "<pwg:ContentType>TextAndPhoto<"}, "<scan:Intent>Photo"},
    {"preview where listed", BB_MODE_COLOR, kJpeg, false, true, BB_FORMAT_AUTO,
     bit(BB_INTENT_PHOTO) | bit(BB_INTENT_PREVIEW), 0, true, {"<scan:Intent>Preview<"},
     "<scan:Intent>Photo"},
    {"preview not listed", BB_MODE_COLOR, kJpeg, false, true, BB_FORMAT_AUTO,
     bit(BB_INTENT_PHOTO), 0, true, {"<scan:Intent>Photo<"}, "Preview"},
    {"usual intent not listed", BB_MODE_GRAY, kJpeg, false, true, BB_FORMAT_AUTO,
     bit(BB_INTENT_PHOTO), BB_INTENT_DOCUMENT, false, {"<pwg:ContentType>Text<"}, "scan:Intent"},
};

class Settings : public ::testing::TestWithParam<Case> {};

TEST_P(Settings, ChosenFromWhatTheSourceOffers) {
  const Case &c = GetParam();
  auto hs = std::unique_ptr<host_session, void (*)(void *)>(
      static_cast<host_session *>(calloc(1, sizeof(host_session))), free);
  auto session = std::make_unique<bb_session>();
  hs->current_source = BB_SOURCE_FLATBED;
  hs->current_mode = c.mode;
  hs->current_resolution = 300;
  hs->current_format = c.wanted_format;
  hs->current_intent = c.wanted_intent;
  hs->preview = c.preview ? 1 : 0;
  session->caps.platen.supported = 1;
  session->caps.platen.color_modes[BB_MODE_LINEART] = c.bw1 ? BB_MODE_LINEART : 0;
  source_offers &o = session->offers.platen;
  o.formats[BB_MODE_GRAY] = o.formats[BB_MODE_COLOR] = c.formats;
  o.formats[BB_MODE_LINEART] = c.bw1 ? c.formats : 0;
  o.formats_listed = c.formats != 0;
  o.format_ext = c.ext;
  o.intents = c.intents;
  session->offers.compression_listed = 1;
  session->offers.compression_min = 2;

  char body[5120];
  fake::reset_captures();
  const int len = bb::write_scan_settings(hs.get(), session.get(), body, sizeof body);
  ASSERT_GT(len, 0);
  ASSERT_LT(len, int(sizeof body));
  const std::string doc(body, size_t(len));
  for (const char *want : c.expected) {
    if (want != nullptr) {
      EXPECT_THAT(doc, HasSubstr(want)) << c.name;
    }
  }
  EXPECT_THAT(doc, Not(HasSubstr(c.absent))) << c.name;
  EXPECT_THAT(doc, HasSubstr("xmlns:scan=\"http://schemas.example.com/imaging/escl/2011/05/03\""));
  EXPECT_THAT(doc, ::testing::EndsWith("</scan:ScanSettings>\r\n"));

  // A buffer too small for the document is never written past.
  char small[64];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(bb::write_scan_settings(hs.get(), session.get(), small, 32), len);
  EXPECT_EQ(small[31], '\0');
  EXPECT_EQ(small[32], 'x');
}

INSTANTIATE_TEST_SUITE_P(Choices, Settings, ::testing::ValuesIn(kCases),
                         [](const auto &row) {
                           std::string n = row.param.name;
                           for (char &ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
