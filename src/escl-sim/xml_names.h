// XML with its namespaces resolved: what a strict device does with the
// ScanSettings it is sent (every element must lie in a namespace it knows,
// whatever prefix the client chose), and how XML libraries re-serialise
// the documents a device builds (other prefixes, the eSCL 1.0 URI).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "simulator.h"

namespace escl_sim {

// The eSCL namespace of version 1.0, which older devices and clients still
// declare.
inline constexpr const char *kScan10Namespace = "http://schemas.example.com/imaging/escl/2011/02/08";

enum class XmlNs { kUnknown, kEscl, kPwg };

// The namespace a URI names. eSCL is known by its path and date (2011/05/03
// or its predecessor 2011/02/08) under any schema host: clients write the
// host they were built with, the schema is the same. PWG by its whole URI.
XmlNs namespace_of(std::string_view uri);

// One element, in document order.
struct XmlNode {
  std::string uri;    // its namespace URI; empty for none or an undeclared prefix
  std::string local;  // name without its prefix
  std::string text;   // text before its first child or end tag, trimmed
  int parent = -1;    // index of the enclosing element, -1 for the root
};

// Reads the elements of doc, resolving each prefix (and the default
// namespace) through the xmlns declarations in scope. False with a message
// for a document without a root, with tags that do not nest, or with more
// than one root.
bool read_xml_nodes(std::string_view doc, std::vector<XmlNode> &nodes, std::string &error);

// Index of the first element below `ancestor` (any depth; -1: anywhere)
// with that namespace and local name, or -1.
int find_node(const std::vector<XmlNode> &nodes, int ancestor, XmlNs ns, std::string_view local);

// The document as a library re-serialises it: element and attribute
// prefixes bound to eSCL and PWG on the root renamed, and their xmlns
// declarations with them (kEscl1: the eSCL URI replaced by the 1.0 one).
// Text is left alone, so values like "escl:ThreeHundredthsOfInches" keep
// their words. kStandard returns doc as it is.
std::string rewrite_prefixes(std::string_view doc, NamespacePrefixes style);

}  // namespace escl_sim
