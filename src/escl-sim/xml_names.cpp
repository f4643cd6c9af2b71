#include "xml_names.h"

#include <utility>

#include "capabilities.h"

namespace escl_sim {

namespace {

constexpr std::string_view kEsclPath = "/imaging/escl/2011/05/03";
constexpr std::string_view kEscl10Path = "/imaging/escl/2011/02/08";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// A stretch of the document, by position, so that a rewrite can replace it.
struct Span {
  size_t begin = 0;
  size_t end = 0;
  std::string_view in(std::string_view doc) const { return doc.substr(begin, end - begin); }
};

struct Attribute {
  Span name;
  Span value;  // without its quotes
};

struct Tag {
  size_t start = 0;  // position of '<'
  size_t end = 0;    // position after '>'
  bool closing = false;
  bool self_closing = false;
  Span name;
  std::vector<Attribute> attributes;
};

enum class Scan { kTag, kEnd, kBad };

// The next start or end tag at or after pos, attributes read with their
// quotes (a '>' inside a value does not end the tag); comments, processing
// instructions, declarations and CDATA sections are passed over.
Scan next_tag(std::string_view doc, size_t pos, Tag &tag) {
  while (true) {
    const size_t lt = doc.find('<', pos);
    if (lt == std::string_view::npos) return Scan::kEnd;
    auto skip_to = [&](std::string_view close) {
      const size_t at = doc.find(close, lt + 2);
      if (at == std::string_view::npos) return false;
      pos = at + close.size();
      return true;
    };
    const std::string_view rest = doc.substr(lt);
    if (rest.starts_with("<!--")) {
      if (!skip_to("-->")) return Scan::kBad;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      if (!skip_to("]]>")) return Scan::kBad;
      continue;
    }
    if (rest.starts_with("<?")) {
      if (!skip_to("?>")) return Scan::kBad;
      continue;
    }
    if (rest.starts_with("<!")) {
      if (!skip_to(">")) return Scan::kBad;
      continue;
    }
    tag = Tag{};
    tag.start = lt;
    size_t p = lt + 1;
    if (p < doc.size() && doc[p] == '/') {
      tag.closing = true;
      ++p;
    }
    tag.name.begin = p;
    while (p < doc.size() && !is_space(doc[p]) && doc[p] != '/' && doc[p] != '>') ++p;
    tag.name.end = p;
    if (tag.name.end == tag.name.begin) return Scan::kBad;
    while (true) {
      while (p < doc.size() && is_space(doc[p])) ++p;
      if (p >= doc.size()) return Scan::kBad;
      if (doc[p] == '>') break;
      if (doc[p] == '/' && !tag.closing && p + 1 < doc.size() && doc[p + 1] == '>') {
        tag.self_closing = true;
        ++p;
        break;
      }
      if (tag.closing) return Scan::kBad;
      Attribute a;
      a.name.begin = p;
      while (p < doc.size() && !is_space(doc[p]) && doc[p] != '=' && doc[p] != '>' && doc[p] != '/') ++p;
      a.name.end = p;
      while (p < doc.size() && is_space(doc[p])) ++p;
      if (a.name.end == a.name.begin || p >= doc.size() || doc[p] != '=') return Scan::kBad;
      ++p;
      while (p < doc.size() && is_space(doc[p])) ++p;
      if (p >= doc.size() || (doc[p] != '"' && doc[p] != '\'')) return Scan::kBad;
      const size_t close = doc.find(doc[p], p + 1);
      if (close == std::string_view::npos) return Scan::kBad;
      a.value = Span{p + 1, close};
      tag.attributes.push_back(a);
      p = close + 1;
    }
    tag.end = p + 1;
    return Scan::kTag;
  }
}

std::string_view prefix_of(std::string_view qname) {
  const size_t colon = qname.find(':');
  return colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon);
}

std::string_view local_of(std::string_view qname) {
  const size_t colon = qname.find(':');
  return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

// The prefix an attribute name declares: "" for xmlns, "p" for xmlns:p;
// false when it declares none.
bool declared_prefix(std::string_view name, std::string_view &prefix) {
  if (name == "xmlns") {
    prefix = {};
    return true;
  }
  if (!name.starts_with("xmlns:")) return false;
  prefix = name.substr(6);
  return true;
}

}  // namespace

XmlNs namespace_of(std::string_view uri) {
  if (uri == kPwgNamespace) return XmlNs::kPwg;
  if (!uri.starts_with("http://")) return XmlNs::kUnknown;
  const std::string_view rest = uri.substr(7);
  const size_t slash = rest.find('/');
  if (slash == 0 || slash == std::string_view::npos) return XmlNs::kUnknown;
  const std::string_view path = rest.substr(slash);
  return path == kEsclPath || path == kEscl10Path ? XmlNs::kEscl : XmlNs::kUnknown;
}

bool read_xml_nodes(std::string_view doc, std::vector<XmlNode> &nodes, std::string &error) {
  nodes.clear();
  // Declarations in scope, innermost last; each open element remembers how
  // many there were before its own.
  std::vector<std::pair<std::string, std::string>> bindings;
  struct Open {
    int node;
    size_t bindings_before;
    std::string_view qname;
  };
  std::vector<Open> open;
  bool root_closed = false;
  size_t pos = 0;
  Tag tag;
  while (true) {
    const Scan scan = next_tag(doc, pos, tag);
    if (scan == Scan::kBad) {
      error = "malformed markup";
      return false;
    }
    if (scan == Scan::kEnd) break;
    pos = tag.end;
    const std::string_view qname = tag.name.in(doc);
    if (tag.closing) {
      if (open.empty() || open.back().qname != qname) {
        error = "end tag </" + std::string(qname) + "> does not match";
        return false;
      }
      bindings.resize(open.back().bindings_before);
      open.pop_back();
      root_closed = open.empty();
      continue;
    }
    if (root_closed || (open.empty() && !nodes.empty())) {
      error = "more than one root element";
      return false;
    }
    const size_t before = bindings.size();
    for (const auto &a : tag.attributes) {
      std::string_view prefix;
      if (declared_prefix(a.name.in(doc), prefix))
        bindings.emplace_back(std::string(prefix), std::string(a.value.in(doc)));
    }
    XmlNode node;
    const std::string_view prefix = prefix_of(qname);
    for (auto b = bindings.rbegin(); b != bindings.rend(); ++b) {
      if (b->first != prefix) continue;
      node.uri = b->second;
      break;
    }
    node.local = std::string(local_of(qname));
    node.parent = open.empty() ? -1 : open.back().node;
    if (!tag.self_closing) {
      const size_t lt = doc.find('<', tag.end);
      node.text = std::string(trim(doc.substr(tag.end, (lt == std::string_view::npos ? doc.size() : lt) - tag.end)));
    }
    nodes.push_back(std::move(node));
    if (tag.self_closing) {
      bindings.resize(before);
      root_closed = open.empty();
    } else {
      open.push_back(Open{static_cast<int>(nodes.size()) - 1, before, qname});
    }
  }
  if (nodes.empty()) {
    error = "no root element";
    return false;
  }
  if (!open.empty()) {
    error = "element <" + std::string(open.back().qname) + "> not closed";
    return false;
  }
  return true;
}

int find_node(const std::vector<XmlNode> &nodes, int ancestor, XmlNs ns, std::string_view local) {
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].local != local || namespace_of(nodes[i].uri) != ns) continue;
    if (ancestor < 0) return static_cast<int>(i);
    for (int up = nodes[i].parent; up >= 0; up = nodes[static_cast<size_t>(up)].parent)
      if (up == ancestor) return static_cast<int>(i);
  }
  return -1;
}

std::string rewrite_prefixes(std::string_view doc, NamespacePrefixes style) {
  if (style == NamespacePrefixes::kStandard) return std::string(doc);
  // The prefixes the root binds to eSCL and PWG, and what they become.
  std::vector<std::pair<std::string, std::string>> renames;
  Tag tag;
  if (next_tag(doc, 0, tag) == Scan::kTag) {
    for (const auto &a : tag.attributes) {
      std::string_view prefix;
      if (!declared_prefix(a.name.in(doc), prefix) || prefix.empty()) continue;
      const XmlNs ns = namespace_of(a.value.in(doc));
      const char *to = nullptr;
      if (style == NamespacePrefixes::kNs0) to = ns == XmlNs::kEscl ? "ns0" : ns == XmlNs::kPwg ? "ns2" : nullptr;
      if (style == NamespacePrefixes::kPwg2 && ns == XmlNs::kPwg) to = "pwg2";
      if (to != nullptr) renames.emplace_back(std::string(prefix), to);
    }
  }
  auto new_prefix = [&](std::string_view prefix) {
    for (const auto &r : renames)
      if (r.first == prefix) return r.second;
    return std::string(prefix);
  };
  auto renamed = [&](std::string_view qname) {
    const std::string_view prefix = prefix_of(qname);
    if (prefix.empty()) return std::string(qname);
    return new_prefix(prefix) + std::string(qname.substr(prefix.size()));
  };
  std::string out;
  out.reserve(doc.size() + 64);
  size_t copied = 0;
  auto replace = [&](Span span, const std::string &with) {
    out.append(doc.substr(copied, span.begin - copied));
    out += with;
    copied = span.end;
  };
  size_t pos = 0;
  while (next_tag(doc, pos, tag) == Scan::kTag) {
    pos = tag.end;
    replace(tag.name, renamed(tag.name.in(doc)));
    for (const auto &a : tag.attributes) {
      const std::string_view name = a.name.in(doc);
      std::string_view prefix;
      if (declared_prefix(name, prefix)) {
        if (!prefix.empty()) replace(a.name, "xmlns:" + new_prefix(prefix));
        if (style == NamespacePrefixes::kEscl1 && namespace_of(a.value.in(doc)) == XmlNs::kEscl)
          replace(a.value, kScan10Namespace);
      } else {
        replace(a.name, renamed(name));
      }
    }
  }
  out.append(doc.substr(copied));
  return out;
}

}  // namespace escl_sim
