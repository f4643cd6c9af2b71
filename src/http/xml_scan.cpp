// Byte-level scanners over the flat XML a scanner sends.  The walk hands in
// a position and the number of bytes left to the end of the document; no
// byte beyond that count is ever looked at.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "xml.h"

namespace {

// Line breaks and tabs only: devices indent with them and wrap long tags.
// Spaces stay, since they separate attributes inside tags.
bool is_line_space(char c) { return c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

// The body comes without its transfer framing (the HTTP layer removed it):
// only the line breaks and tabs between and inside tags go.
void normalize_body(char *text) {
  if (text == nullptr) return;
  char *out = text;
  // Whether a break falls inside a tag is decided only at the break, by
  // the last '<' or '>' written since the previous one: the copy itself
  // stays one test a byte.
  char *known = text;
  bool in_tag = false;
  for (const char *in = text; *in != '\0'; ++in) {
    const char c = *in;
    if (c > '\r' || !is_line_space(c)) {
      *out++ = c;
      continue;
    }
    for (char *p = out; p > known;) {
      --p;
      if (*p == '<' || *p == '>') {
        in_tag = *p == '<';
        break;
      }
    }
    known = out;
    // Devices break long tags between the name and the attributes
    // (Kyocera: "<scan:ScannerCapabilities\nxmlns:scan=..."): the break
    // still separates them.
    if (in_tag && out > text && out[-1] != ' ') *out++ = ' ';
  }
  *out = '\0';
}

int32_t xml_next_tag(const char *pos, int32_t remaining, char *tag, int32_t capacity,
                     const char **next) {
  if (capacity > 0) tag[0] = '\0';
  const char *end = pos + (remaining > 0 ? remaining : 0);
  const char *p = pos;
  for (;;) {
    const void *lt = memchr(p, '<', static_cast<size_t>(end - p));
    p = lt != nullptr ? static_cast<const char *>(lt) : end;
    if (p == end) {
      if (next != nullptr) *next = end;
      return 0;
    }
    // A comment ends at its first '>', not at "-->": devices do not put
    // '>' in comments, and this keeps the scan one forward pass.
    if (end - p >= 5 && p[1] == '!' && p[2] == '-' && p[3] == '-') {
      ++p;
      const void *gt = memchr(p, '>', static_cast<size_t>(end - p));
      p = gt != nullptr ? static_cast<const char *>(gt) : end;
      if (p == end) {
        if (next != nullptr) *next = end;
        return 0;
      }
      ++p;
      continue;
    }
    break;
  }

  // Copy the tag text, folding line breaks (CR, CRLF -> LF) and runs of
  // spaces the way devices that wrap attributes over lines send them.
  const int32_t limit = capacity > 1 ? capacity - 1 : 0;
  int32_t written = 0;
  bool after_cr = false;
  bool space_written = false;
  const char *q = p + 1;
  while (q < end && *q != '>' && written < limit) {
    char c = *q++;
    if (c > ' ') {  // the usual byte: nothing to fold
      tag[written++] = c;
      after_cr = false;
      space_written = false;
    } else if (c == '\r') {
      tag[written++] = '\n';
      after_cr = true;
    } else if (c == '\n') {
      if (!after_cr) tag[written++] = '\n';
    } else if (c == ' ') {
      if (!space_written) {
        tag[written++] = ' ';
        space_written = true;
      }
    } else {
      tag[written++] = c;
      after_cr = false;
      space_written = false;
    }
  }
  if (capacity > 0) tag[written] = '\0';

  const char *after;
  if (q == end) {
    after = end;
  } else {
    // At the '>', or the tag did not fit: the byte after the last one
    // copied is passed over too, and the rest of the tag is read as text.
    after = q + 1;
  }
  if (next != nullptr) *next = after;
  return written;
}

void xml_element_text(const char *pos, int32_t remaining, char *text, int32_t capacity,
                      const char **next) {
  if (capacity > 0) text[0] = '\0';
  if (remaining <= 0 || capacity < 2 || *pos == '<') {
    if (next != nullptr) *next = pos;
    return;
  }
  const char *end = pos + remaining;
  const int32_t limit = capacity - 1;
  int32_t written = 0;
  const char *p = pos;
  while (p < end && *p != '<' && written < limit) text[written++] = *p++;
  text[written] = '\0';
  if (next != nullptr) *next = p;
}
