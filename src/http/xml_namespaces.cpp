// Prefix bindings of eSCL documents, and element names resolved by them.
#include "xml_namespaces.h"

#include <string.h>

namespace bb {
namespace {

constexpr std::string_view kXmlns = "xmlns";
constexpr std::string_view kDefaultEscl = "scan";
constexpr std::string_view kDefaultPwg = "pwg";

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where a name in a tag ends: at white space, '/', '>' or '='.
size_t name_end(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && !xml_space(s[i]) && s[i] != '/' && s[i] != '>' && s[i] != '=') ++i;
  return i;
}

// What a byte is to a name in a tag: a walk reads thousands of names, so
// one table lookup a byte.
enum : uint8_t { kPlain, kColon, kEnd };
constexpr struct NameBytes {
  uint8_t kind[256] = {};
  constexpr NameBytes() {
    for (char c : {' ', '\t', '\r', '\n', '/', '>', '='}) kind[static_cast<unsigned char>(c)] = kEnd;
    kind[static_cast<unsigned char>(':')] = kColon;
  }
  constexpr uint8_t operator[](unsigned char c) const { return kind[c]; }
} kNameByte;

std::string_view cut(std::string_view s, size_t from, size_t to) {
  if (to > s.size()) to = s.size();
  if (from > to) from = to;
  return {s.data() + from, to - from};
}

// The declarations among the attributes of one tag's text (from after the
// element name to the '>').
void read_declarations(std::string_view attrs, xml_namespaces *names) {
  for (size_t at = attrs.find(kXmlns); at != std::string_view::npos;
       at = attrs.find(kXmlns, at + kXmlns.size())) {
    // Only an attribute named xmlns or xmlns:P declares.
    if (at > 0 && !xml_space(attrs[at - 1])) continue;
    std::string_view rest = cut(attrs, at + kXmlns.size(), attrs.size());
    std::string_view prefix;
    if (!rest.empty() && rest[0] == ':') {
      size_t end = name_end(cut(rest, 1, rest.size()));
      prefix = cut(rest, 1, 1 + end);
      rest = cut(rest, 1 + end, rest.size());
    }
    size_t eq = 0;
    while (eq < rest.size() && xml_space(rest[eq])) ++eq;
    if (eq >= rest.size() || rest[eq] != '=') continue;
    ++eq;
    while (eq < rest.size() && xml_space(rest[eq])) ++eq;
    if (eq >= rest.size() || (rest[eq] != '"' && rest[eq] != '\'')) continue;
    const char quote = rest[eq];
    size_t close = rest.find(quote, eq + 1);
    if (close == std::string_view::npos) return;
    const xml_ns ns = xml_namespace_of_uri(cut(rest, eq + 1, close));
    if (names->count < xml_namespaces::kMaxBindings)
      names->bindings[names->count++] = {prefix, ns};
    if (ns == xml_ns::kEscl && names->escl_prefix.empty() && !names->escl_default) {
      names->escl_prefix = prefix;
      names->escl_default = prefix.empty();
    } else if (ns == xml_ns::kPwg && names->pwg_prefix.empty() && !names->pwg_default) {
      names->pwg_prefix = prefix;
      names->pwg_default = prefix.empty();
    }
  }
}

bool declared(const xml_namespaces &names, xml_ns ns) {
  return ns == xml_ns::kEscl ? !names.escl_prefix.empty() || names.escl_default
                             : !names.pwg_prefix.empty() || names.pwg_default;
}

// The text of the first tag at or after `from` that is an element's start
// tag (not a declaration, comment or processing instruction), and where
// the scan stopped.
std::string_view next_start_tag(std::string_view doc, size_t *from) {
  for (size_t open = doc.find('<', *from); open != std::string_view::npos;
       open = doc.find('<', open + 1)) {
    size_t close = doc.find('>', open);
    if (close == std::string_view::npos) break;
    *from = close + 1;
    char first = open + 1 < doc.size() ? doc[open + 1] : '\0';
    if (first == '?' || first == '!' || first == '/') continue;
    return cut(doc, open + 1, close);
  }
  *from = doc.size();
  return {};
}

}  // namespace

xml_ns xml_namespace_of_uri(std::string_view uri) {
  if (uri == kEsclNamespace || uri == kEscl1Namespace) return xml_ns::kEscl;
  if (uri == kPwgNamespace) return xml_ns::kPwg;
  return xml_ns::kUnknown;
}

void xml_read_namespaces(std::string_view doc, xml_namespaces *names) {
  *names = xml_namespaces{};
  size_t from = 0;
  std::string_view root = next_start_tag(doc, &from);
  read_declarations(cut(root, name_end(root), root.size()), names);
  // Some serialisers declare a namespace where it is first used instead of
  // on the root.
  if (!declared(*names, xml_ns::kEscl) || !declared(*names, xml_ns::kPwg)) {
    for (size_t at = doc.find(kXmlns, from); at != std::string_view::npos;
         at = doc.find(kXmlns, at + kXmlns.size())) {
      size_t open = doc.rfind('<', at);
      size_t close = doc.find('>', at);
      if (open == std::string_view::npos || close == std::string_view::npos) break;
      std::string_view tag = cut(doc, open + 1, close);
      read_declarations(cut(tag, name_end(tag), tag.size()), names);
      at = close;
      if (declared(*names, xml_ns::kEscl) && declared(*names, xml_ns::kPwg)) break;
    }
  }
  if (!declared(*names, xml_ns::kEscl)) names->escl_prefix = kDefaultEscl;
  if (!declared(*names, xml_ns::kPwg)) names->pwg_prefix = kDefaultPwg;
}

xml_name xml_name_of_tag(const xml_namespaces &names, std::string_view tag) {
  xml_name name{xml_ns::kUnknown, {}, false};
  size_t i = 0;
  if (!tag.empty() && tag[0] == '/') {
    name.closing = true;
    i = 1;
  }
  // One pass to the end of the name, noting its first colon.
  const size_t start = i;
  size_t colon = std::string_view::npos;
  for (; i < tag.size(); ++i) {
    const uint8_t kind = kNameByte[static_cast<unsigned char>(tag[i])];
    if (kind == kPlain) continue;
    if (kind == kEnd) break;
    if (colon == std::string_view::npos) colon = i;
  }
  std::string_view prefix;
  if (colon != std::string_view::npos) {
    prefix = cut(tag, start, colon);
    name.local = cut(tag, colon + 1, i);
  } else {
    name.local = cut(tag, start, i);
  }
  for (int b = 0; b < names.count; ++b) {
    if (names.bindings[b].prefix == prefix) {
      name.ns = names.bindings[b].ns;
      return name;
    }
  }
  // Undeclared: the prefixes devices write.
  if (prefix == kDefaultEscl) name.ns = xml_ns::kEscl;
  else if (prefix == kDefaultPwg) name.ns = xml_ns::kPwg;
  return name;
}

std::string_view xml_tag_text(const xml_namespaces &names, xml_ns ns, std::string_view local,
                              bool closing, char *buf, size_t room) {
  if (room == 0) return {};
  buf[0] = '\0';
  const bool is_default = ns == xml_ns::kEscl ? names.escl_default : names.pwg_default;
  std::string_view prefix = ns == xml_ns::kEscl ? names.escl_prefix : names.pwg_prefix;
  const size_t size = 1 + (closing ? 1 : 0) + (is_default ? 0 : prefix.size() + 1) + local.size() + 1;
  if (size + 1 > room) return {};
  char *p = buf;
  *p++ = '<';
  if (closing) *p++ = '/';
  if (!is_default) {
    memcpy(p, prefix.data(), prefix.size());
    p += prefix.size();
    *p++ = ':';
  }
  memcpy(p, local.data(), local.size());
  p += local.size();
  *p++ = '>';
  *p = '\0';
  return {buf, size};
}

}  // namespace bb
