#include "xml_text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace escl_sim {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

struct Tag {
  size_t start = 0;  // position of '<'
  size_t end = 0;    // position after '>'
  bool closing = false;
  bool self_closing = false;
  std::string_view local;  // name without its prefix
};

// Next start or end tag at or after pos; declarations, comments and
// processing instructions are passed over.
bool next_tag(std::string_view doc, size_t pos, Tag &tag) {
  while (true) {
    size_t lt = doc.find('<', pos);
    if (lt == std::string_view::npos) return false;
    if (doc.compare(lt, 4, "<!--") == 0) {
      size_t close = doc.find("-->", lt + 4);
      if (close == std::string_view::npos) return false;
      pos = close + 3;
      continue;
    }
    size_t gt = doc.find('>', lt);
    if (gt == std::string_view::npos) return false;
    std::string_view inner = doc.substr(lt + 1, gt - lt - 1);
    pos = gt + 1;
    if (inner.empty() || inner.front() == '?' || inner.front() == '!') continue;
    tag.start = lt;
    tag.end = gt + 1;
    tag.closing = inner.front() == '/';
    if (tag.closing) inner.remove_prefix(1);
    tag.self_closing = !tag.closing && inner.back() == '/';
    size_t name_end = 0;
    while (name_end < inner.size() && !is_space(inner[name_end]) && inner[name_end] != '/')
      ++name_end;
    std::string_view name = inner.substr(0, name_end);
    size_t colon = name.find(':');
    tag.local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    return true;
  }
}

// Finds the first start tag named local_name and its matching end tag.
bool find_element(std::string_view doc, std::string_view local_name, size_t &body_start,
                  size_t &body_end) {
  Tag tag;
  size_t pos = 0;
  while (next_tag(doc, pos, tag)) {
    pos = tag.end;
    if (tag.closing || tag.local != local_name) continue;
    body_start = tag.end;
    if (tag.self_closing) {
      body_end = tag.end;
      return true;
    }
    int depth = 1;
    Tag inner;
    while (next_tag(doc, pos, inner)) {
      pos = inner.end;
      if (inner.local != local_name || inner.self_closing) continue;
      depth += inner.closing ? -1 : 1;
      if (depth == 0) {
        body_end = inner.start;
        return true;
      }
    }
    return false;
  }
  return false;
}

}  // namespace

bool xml_element_body(std::string_view doc, std::string_view local_name, std::string &body) {
  size_t start = 0, end = 0;
  if (!find_element(doc, local_name, start, end)) return false;
  body.assign(doc.substr(start, end - start));
  return true;
}

bool xml_element_text(std::string_view doc, std::string_view local_name, std::string &text) {
  size_t start = 0, end = 0;
  if (!find_element(doc, local_name, start, end)) return false;
  std::string_view body = doc.substr(start, end - start);
  size_t lt = body.find('<');
  if (lt != std::string_view::npos) body = body.substr(0, lt);
  text.assign(trim(body));
  return true;
}

int xml_int(std::string_view doc, std::string_view local_name, int fallback) {
  std::string text;
  if (!xml_element_text(doc, local_name, text) || text.empty()) return fallback;
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
    return fallback;
  return static_cast<int>(v);
}

}  // namespace escl_sim
