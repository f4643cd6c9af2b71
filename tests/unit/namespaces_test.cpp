// Documents are read by namespace, not by prefix: the captured documents,
// re-written as XML libraries and early devices write them, read the same.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bb_escl/capabilities.h"
#include "bb_escl/job_control.h"
#include "bb_escl/session.h"
#include "captured_devices.h"
#include "device_double.h"
#include "http/xml.h"
#include "http/xml_namespaces.h"

namespace {

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// The ways a document's prefixes are seen re-written.
enum class Rewrite { kAsCaptured, kNs0, kPwg2, kEscl1, kDefaultEscl };

std::string rewrite(std::string doc, Rewrite how) {
  auto prefix = [&](const std::string &from, const std::string &to) {
    doc = replace_all(doc, "<" + from + ":", "<" + to + ":");
    doc = replace_all(doc, "</" + from + ":", "</" + to + ":");
    doc = replace_all(doc, "xmlns:" + from + "=", "xmlns:" + to + "=");
  };
  switch (how) {
    case Rewrite::kAsCaptured: break;
    case Rewrite::kNs0: prefix("scan", "ns0"); prefix("pwg", "ns2"); break;
    case Rewrite::kPwg2: prefix("pwg", "pwg2"); break;
    case Rewrite::kEscl1:
      doc = replace_all(doc, "escl/2011/05/03", "escl/2011/02/08");
      break;
    case Rewrite::kDefaultEscl:
      doc = replace_all(doc, "<scan:", "<");
      doc = replace_all(doc, "</scan:", "</");
      doc = replace_all(doc, "xmlns:scan=", "xmlns=");
      break;
  }
  return doc;
}

constexpr Rewrite kRewrites[] = {Rewrite::kNs0, Rewrite::kPwg2, Rewrite::kEscl1,
                                 Rewrite::kDefaultEscl};

struct Walked {
  std::unique_ptr<bb_session> session = std::make_unique<bb_session>();
  int result = -1;
};

Walked walk(const std::string &doc) {
  Walked w;
  std::vector<char> buf(doc.begin(), doc.end());
  buf.push_back('\0');
  normalize_body(buf.data());
  fake::reset_captures();
  w.result = bb_parse_scan_elements(buf.data(), int32_t(strlen(buf.data())), w.session.get(),
                                    &w.session->caps);
  return w;
}

TEST(XmlNames, TagsResolveByTheirDeclaredNamespace) {
  const std::string doc =
      "<?xml version=\"1.0\"?><!-- x --><a:Root xmlns:a=\"http://schemas.example.com/imaging/"
      "escl/2011/05/03\" xmlns:b='http://www.pwg.org/schemas/2010/12/sm' "
      "xmlns:o=\"urn:other\" xmlns=\"http://schemas.example.com/imaging/escl/2011/02/08\">";
  bb::xml_namespaces names;
  bb::xml_read_namespaces(doc, &names);
  struct Case {
    const char *tag;
    bb::xml_ns ns;
    const char *local;
    bool closing;
  } cases[] = {
      {"a:ColorMode", bb::xml_ns::kEscl, "ColorMode", false},
      {"a:ColorMode a:default=\"true\"", bb::xml_ns::kEscl, "ColorMode", false},
      {"/b:Version", bb::xml_ns::kPwg, "Version", true},
      {"b:Version/", bb::xml_ns::kPwg, "Version", false},
      {"Platen", bb::xml_ns::kEscl, "Platen", false},  // the default namespace
      {"o:Platen", bb::xml_ns::kUnknown, "Platen", false},
      {"scan:Platen", bb::xml_ns::kEscl, "Platen", false},  // undeclared: the usual prefix
      {"pwg:JobState", bb::xml_ns::kPwg, "JobState", false},
      {"zz:Platen", bb::xml_ns::kUnknown, "Platen", false},
  };
  for (const Case &c : cases) {
    bb::xml_name n = bb::xml_name_of_tag(names, c.tag);
    EXPECT_EQ(n.ns, c.ns) << c.tag;
    EXPECT_EQ(n.local, c.local) << c.tag;
    EXPECT_EQ(n.closing, c.closing) << c.tag;
  }
  char buf[32];
  EXPECT_EQ(bb::xml_tag_text(names, bb::xml_ns::kPwg, "JobUri", true, buf, sizeof buf), "</b:JobUri>");
  EXPECT_EQ(bb::xml_tag_text(names, bb::xml_ns::kEscl, "JobInfo", false, buf, sizeof buf), "<a:JobInfo>");
  EXPECT_EQ(bb::xml_tag_text(names, bb::xml_ns::kEscl, "AVeryLongElementNameIndeed", false, buf, 16),
            "");
}

TEST(XmlNames, NamespacesDeclaredBelowTheRootAreFound) {
  const std::string doc =
      "<x:Status xmlns:x=\"http://schemas.example.com/imaging/escl/2011/05/03\"><y:State "
      "xmlns:y=\"http://www.pwg.org/schemas/2010/12/sm\">Idle</y:State></x:Status>";
  bb::xml_namespaces names;
  bb::xml_read_namespaces(doc, &names);
  EXPECT_EQ(names.escl_prefix, "x");
  EXPECT_EQ(names.pwg_prefix, "y");
  EXPECT_TRUE(bb::scanner_idle(doc));
}

class CapturedCapabilities : public ::testing::TestWithParam<const char *> {};

TEST_P(CapturedCapabilities, PublishTheSameOptionsWhateverThePrefixes) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  const std::string doc = captured::read_file(captured::path(GetParam()));
  ASSERT_FALSE(doc.empty());
  Walked original = walk(doc);
  ASSERT_EQ(original.result, 0);
  ASSERT_NE(original.session->caps.platen.supported, 0);
  for (Rewrite how : kRewrites) {
    Walked other = walk(rewrite(doc, how));
    EXPECT_EQ(other.result, 0) << int(how);
    EXPECT_EQ(memcmp(&original.session->caps, &other.session->caps, sizeof(escl_caps)), 0)
        << GetParam() << " rewrite " << int(how);
    EXPECT_EQ(memcmp(&original.session->offers, &other.session->offers, sizeof(escl_offers)), 0)
        << GetParam() << " rewrite " << int(how);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, CapturedCapabilities,
                         ::testing::Values("caps-brother-mfc-l8690cdw.xml", "caps-canon-ts5300.xml",
                                           "caps-kyocera-ecosys-m2040dn.xml", "caps-xerox-b235.xml"));

// What the captured devices offer beyond modes and resolutions.
TEST(CapturedOffers, FormatsIntentsAndCompression) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  constexpr uint32_t kJpeg = 1u << BB_FORMAT_JPEG;
  constexpr uint32_t kUsualIntents = (1u << BB_INTENT_DOCUMENT) | (1u << BB_INTENT_TEXT_AND_GRAPHIC) |
                                     (1u << BB_INTENT_PHOTO) | (1u << BB_INTENT_PREVIEW);
  struct Row {
    const char *file;
    uint32_t gray_formats;
    int32_t format_ext;
    int32_t compression_listed;
    int32_t compression_min;
  } rows[] = {
      {"caps-brother-mfc-l8690cdw.xml", kJpeg, 1, 0, 0},
      {"caps-canon-ts5300.xml", kJpeg, 1, 1, 0},
      {"caps-kyocera-ecosys-m2040dn.xml", kJpeg, 0, 1, 1},
      {"caps-xerox-b235.xml", kJpeg, 1, 1, 5},
  };
  for (const Row &r : rows) {
    Walked w = walk(captured::read_file(captured::path(r.file)));
    const source_offers &platen = w.session->offers.platen;
    EXPECT_EQ(platen.formats[BB_MODE_GRAY], r.gray_formats) << r.file;
    EXPECT_EQ(platen.formats[BB_MODE_COLOR], r.gray_formats) << r.file;
    EXPECT_EQ(platen.formats_listed, 1) << r.file;
    EXPECT_EQ(platen.format_ext, r.format_ext) << r.file;
    EXPECT_EQ(platen.intents, kUsualIntents) << r.file;
    EXPECT_EQ(w.session->offers.compression_listed, r.compression_listed) << r.file;
    EXPECT_EQ(w.session->offers.compression_min, r.compression_min) << r.file;
  }
}

class CapturedStatus : public ::testing::TestWithParam<const char *> {};

TEST_P(CapturedStatus, ReadsTheSameWhateverThePrefixes) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  const std::string doc = captured::read_file(captured::path(GetParam()));
  ASSERT_FALSE(doc.empty());
  // The first job the document lists.
  const size_t at = doc.find("ScanJobs/");
  ASSERT_NE(at, std::string::npos);
  const size_t from = at + strlen("ScanJobs/");
  const std::string id = doc.substr(from, doc.find_first_of("</ \r\n", from) - from);
  host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  snprintf(hs->job_id, sizeof hs->job_id, "%s", id.c_str());
  const int state = bb::read_job_state(hs, doc);
  const SANE_Status adf = bb::read_adf_state(doc);
  const bool idle = bb::scanner_idle(doc);
  EXPECT_NE(state, BB_JOB_NOT_FOUND);
  for (Rewrite how : kRewrites) {
    const std::string other = rewrite(doc, how);
    EXPECT_EQ(bb::read_job_state(hs, other), state) << int(how);
    EXPECT_EQ(bb::read_adf_state(other), adf) << int(how);
    EXPECT_EQ(bb::scanner_idle(other), idle) << int(how);
    EXPECT_EQ(bb::read_images_to_transfer(hs, other), bb::read_images_to_transfer(hs, doc));
  }
  free(hs);
}

INSTANTIATE_TEST_SUITE_P(Devices, CapturedStatus,
                         ::testing::Values("status-kyocera-ecosys-m2040dn-processing-adf-processing.xml",
                                           "status-brother-mfc-l2710dw-idle-adf-empty-completed-jobs.xml",
                                           "status-epson-et-4800-idle-adf-empty-jobs-uuid-first.xml"));

}  // namespace
