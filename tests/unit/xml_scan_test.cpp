// The three byte scanners of the capabilities reader.  Inputs are placed in
// heap blocks of exactly their size (no terminator where the scanner takes
// a count), so the address sanitizer reports any read past the count.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "http/limits.h"
#include "captured_devices.h"
#include "http/xml.h"

namespace {

struct Exact {
  std::unique_ptr<char[]> bytes;
  int32_t size;
  explicit Exact(const std::string &s) : bytes(new char[s.size()]), size(int32_t(s.size())) {
    s.copy(bytes.get(), s.size());
  }
  const char *at(int32_t i) const { return bytes.get() + i; }
};

std::string normalized(const std::string &body) {
  std::unique_ptr<char[]> buf(new char[body.size() + 1]);
  body.copy(buf.get(), body.size());
  buf[body.size()] = '\0';
  normalize_body(buf.get());
  return buf.get();
}

struct TagResult {
  std::string tag;
  int32_t next;  // offset of the next position from the start
};

TagResult next_tag(const std::string &doc, int32_t capacity = bb::kTagBufferSize,
                   int32_t remaining = -1) {
  Exact in(doc);
  std::unique_ptr<char[]> tag(new char[capacity > 0 ? capacity : 1]);
  tag[0] = 'X';
  const char *next = nullptr;
  xml_next_tag(in.at(0), remaining < 0 ? in.size : remaining, tag.get(), capacity, &next);
  return {capacity > 0 ? std::string(tag.get()) : std::string(), int32_t(next - in.at(0))};
}

TagResult element_text(const std::string &doc, int32_t capacity = bb::kValueBufferSize,
                       int32_t remaining = -1) {
  Exact in(doc);
  std::unique_ptr<char[]> text(new char[capacity > 0 ? capacity : 1]);
  text[0] = 'X';
  const char *next = nullptr;
  xml_element_text(in.at(0), remaining < 0 ? in.size : remaining, text.get(), capacity, &next);
  return {capacity > 0 ? std::string(text.get()) : std::string(), int32_t(next - in.at(0))};
}

// ---- normalize_body ----

struct NormalizeCase {
  const char *name;
  std::string body;
  std::string expected;
};

class NormalizeBody : public ::testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeBody, Rewrites) { EXPECT_EQ(normalized(GetParam().body), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizeBody,
    ::testing::Values(
        // Plain XML: line breaks and tabs go, spaces stay.
        NormalizeCase{"plain", "<a>\r\n <b>x</b>\t</a>", "<a> <b>x</b></a>"},
        NormalizeCase{"plain_keeps_vt_ff", "<a>\v\f</a>", "<a>\v\f</a>"},
        // The HTTP layer has removed any transfer framing: whatever the
        // body starts with, only line breaks and tabs go.
        NormalizeCase{"hex_digits_first", "4\r\n<a>x\r\n0\r\n\r\n", "4<a>x0"},
        NormalizeCase{"leading_space", " <a/>", " <a/>"},
        NormalizeCase{"leading_crlf", "\r\n<a/>", "<a/>"},
        NormalizeCase{"leading_letter", "g<a/>", "g<a/>"}, NormalizeCase{"empty", "", ""},
        NormalizeCase{"only_line_space", "\r\n\t\n", ""},
        // Inside a tag a break still separates the name from attributes.
        NormalizeCase{"attributes_on_next_line", "<a\r\nxmlns:b=\"u\"\r\n\tc=\"d\">\r\n<b/>",
                      "<a xmlns:b=\"u\" c=\"d\"><b/>"},
        NormalizeCase{"cut_in_line_break", "<a\r", "<a "}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// Line breaks and tabs go, except that one inside a tag becomes a space.
TEST(NormalizeBodyDocuments, CapturedDocumentsLoseOnlyLineBreaksAndTabs) {
  SKIP_WITHOUT_CAPTURED_DEVICES();
  for (const char *file : {"caps-brother-mfc-l8690cdw.xml", "caps-canon-ts5300.xml",
                           "caps-kyocera-ecosys-m2040dn.xml", "caps-xerox-b235.xml"}) {
    std::string doc = captured::read_file(captured::path(file));
    ASSERT_FALSE(doc.empty()) << file;
    std::string expected;
    bool in_tag = false;
    for (char c : doc) {
      in_tag = c == '<' ? true : c == '>' ? false : in_tag;
      if (c != '\r' && c != '\n' && c != '\t') expected += c;
      else if (in_tag && !expected.empty() && expected.back() != ' ') expected += ' ';
    }
    EXPECT_EQ(normalized(doc), expected) << file;
  }
}

// ---- xml_next_tag ----

struct TagCase {
  const char *name;
  std::string doc;
  std::string tag;
  int32_t next;  // -1: the end of the document
};

class NextTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(NextTag, CopiesTagAndMoves) {
  const TagCase &c = GetParam();
  TagResult r = next_tag(c.doc);
  EXPECT_EQ(r.tag, c.tag);
  EXPECT_EQ(r.next, c.next < 0 ? int32_t(c.doc.size()) : c.next);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextTag,
    ::testing::Values(
        TagCase{"comment_then_attributes", "  <!-- note --> <scan:Version a=\"1\">x",
                "scan:Version a=\"1\"", 36},
        // A comment ends at its first '>'; the rest is passed over as text.
        TagCase{"comment_ends_at_first_gt", "<!-- a>b --><x>", "x", 15},
        TagCase{"empty_comment", "<!----><y>", "y", 10},
        TagCase{"comment_without_gt", "<!-- never closed", "", -1},
        // Four bytes are not enough to be a comment: read as a tag.
        TagCase{"short_comment_opener", "<!--", "!--", -1},
        TagCase{"empty_tag", "<>rest", "", 2}, TagCase{"no_tag", "just text", "", -1},
        TagCase{"lt_is_last_byte", "text<", "", -1},
        TagCase{"unclosed_tag", "<scan:Min", "scan:Min", -1},
        TagCase{"closing_tag", "</scan:X>", "/scan:X", 9},
        TagCase{"declaration", "<?xml version=\"1.0\"?>", "?xml version=\"1.0\"?", 21},
        TagCase{"empty_element", "<a/>", "a/", 4},
        // Line breaks folded: CR and CRLF become one LF, a lone LF stays.
        TagCase{"crlf_folds", "<a\r\nb>", "a\nb", 6}, TagCase{"lf_stays", "<a\nb>", "a\nb", 5},
        TagCase{"two_crlf", "<a\r\n\r\nb>", "a\n\nb", 8},
        TagCase{"lf_cr", "<a\n\rb>", "a\n\nb", 6},
        // Runs of spaces become one, also across a line break.
        TagCase{"space_run", "<a   b>", "a b", 7},
        TagCase{"space_lf_space", "<a  \n  b>", "a \nb", 9},
        TagCase{"space_crlf_space", "<a \r\n b>", "a \nb", 8},
        TagCase{"tab_is_ordinary", "<a\t \tb>", "a\t \tb", 7}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(NextTagLimits, LongTagKeepsItsFirstBytesAndSkipsOneMore) {
  std::string doc = "<" + std::string(600, 'n') + "><b>";
  TagResult r = next_tag(doc, 512);
  EXPECT_EQ(r.tag, std::string(511, 'n'));
  EXPECT_EQ(r.next, 1 + 511 + 1);
  // The rest of the long tag is text to the next call, which finds <b>.
  Exact in(doc);
  char tag[512];
  xml_next_tag(in.at(r.next), in.size - r.next, tag, sizeof tag, nullptr);
  EXPECT_STREQ(tag, "b");
}

TEST(NextTagLimits, StopsAtTheRemainingCount) {
  EXPECT_EQ(next_tag("<abcdef>", 512, 3).tag, "ab");
  EXPECT_EQ(next_tag("<abcdef>", 512, 3).next, 3);
  EXPECT_EQ(next_tag("xx<a>", 512, 2).tag, "");
  EXPECT_EQ(next_tag("xx<a>", 512, 2).next, 2);
  EXPECT_EQ(next_tag("<a>", 512, 0).next, 0);
}

TEST(NextTagLimits, SmallCapacities) {
  EXPECT_EQ(next_tag("<ab>", 2).tag, "a");
  EXPECT_EQ(next_tag("<ab>", 1).tag, "");
  EXPECT_EQ(next_tag("<ab>", 3).tag, "ab");
  EXPECT_EQ(next_tag("<ab>", 3).next, 4);
  next_tag("<ab>", 0);  // writes nothing, reads nothing past the count
}

TEST(NextTagLimits, NextPositionIsOptional) {
  Exact in("<a><b>");
  char tag[8];
  xml_next_tag(in.at(0), in.size, tag, sizeof tag, nullptr);
  EXPECT_STREQ(tag, "a");
}

TEST(NextTagLimits, WalksADocumentTagByTag) {
  Exact in("<?xml?><!-- c --><r a='1'><v>3</v></r>");
  const char *pos = in.at(0);
  const char *end = in.at(0) + in.size;
  std::string seen;
  char tag[16];
  for (;;) {
    xml_next_tag(pos, int32_t(end - pos), tag, sizeof tag, &pos);
    if (tag[0] == '\0') break;
    seen += std::string("[") + tag + "]";
  }
  EXPECT_EQ(seen, "[?xml?][r a='1'][v][/v][/r]");
  EXPECT_EQ(pos, end);
}

// ---- xml_element_text ----

TEST(ElementText, CopiesUpToTheNextTag) {
  TagResult r = element_text("300</scan:XResolution>");
  EXPECT_EQ(r.tag, "300");
  EXPECT_EQ(r.next, 3);
}

TEST(ElementText, EmptyAtATag) {
  TagResult r = element_text("</scan:XResolution>");
  EXPECT_EQ(r.tag, "");
  EXPECT_EQ(r.next, 0);
}

TEST(ElementText, NothingTrimmedOrDecoded) {
  EXPECT_EQ(element_text("  1 &amp;\t2 <x>").tag, "  1 &amp;\t2 ");
}

TEST(ElementText, StopsAtCountOrCapacity) {
  TagResult by_count = element_text("12345", 256, 3);
  EXPECT_EQ(by_count.tag, "123");
  EXPECT_EQ(by_count.next, 3);
  TagResult whole = element_text("12345");
  EXPECT_EQ(whole.tag, "12345");
  EXPECT_EQ(whole.next, 5);
  TagResult by_capacity = element_text("123456<", 4);
  EXPECT_EQ(by_capacity.tag, "123");
  EXPECT_EQ(by_capacity.next, 3);
}

TEST(ElementText, NothingForNoRoomOrNoBytes) {
  EXPECT_EQ(element_text("12<", 1).tag, "");
  EXPECT_EQ(element_text("12<", 1).next, 0);
  EXPECT_EQ(element_text("12<", 256, 0).next, 0);
  element_text("12<", 0);  // writes nothing
}

}  // namespace
