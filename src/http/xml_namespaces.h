// Namespaces of the eSCL documents a scanner sends.  Devices write their
// documents with the prefixes scan: and pwg:, but nothing binds them to
// those: XML libraries that re-serialise a document name them ns0:, ns2:,
// pwg2:, and early devices declare eSCL's 1.0 namespace.  An element is
// therefore known by its namespace and local name, never by its prefix.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace bb {

enum class xml_ns : uint8_t { kUnknown, kEscl, kPwg };

// The namespaces as devices declare them.  eSCL 1.0 devices used the same
// URI dated 2011/02/08; their elements are the same.
inline constexpr std::string_view kEsclNamespace =
    "http://schemas.example.com/imaging/escl/2011/05/03";
inline constexpr std::string_view kEscl1Namespace =
    "http://schemas.example.com/imaging/escl/2011/02/08";
inline constexpr std::string_view kPwgNamespace = "http://www.pwg.org/schemas/2010/12/sm";

// Which namespace a declared URI names.
xml_ns xml_namespace_of_uri(std::string_view uri);

// The prefix bindings of one document.  Prefixes point into the document,
// which must outlive this record.
struct xml_namespaces {
  static constexpr int kMaxBindings = 8;
  struct binding {
    std::string_view prefix;  // empty: the default namespace (xmlns="...")
    xml_ns ns;
  };
  binding bindings[kMaxBindings];
  int count;
  // The prefix the document writes each namespace with.
  std::string_view escl_prefix;
  std::string_view pwg_prefix;
  bool escl_default;  // eSCL is the default namespace (unprefixed elements)
  bool pwg_default;
};

// Reads the declarations of the document's root element, and looks further
// into the document only for a namespace the root does not declare.  A
// document that declares neither keeps the prefixes devices write, scan:
// and pwg:.
void xml_read_namespaces(std::string_view doc, xml_namespaces *names);

// An element name as a tag writes it: "scan:ColorMode", "/ns0:Platen",
// "ColorMode scan:default=\"true\"", "pwg:Version/".
struct xml_name {
  xml_ns ns;
  std::string_view local;
  bool closing;  // "</...>"
};

// The namespace and local name of the element a tag's text names.
xml_name xml_name_of_tag(const xml_namespaces &names, std::string_view tag);

// Writes the opening ("<p:local>") or closing ("</p:local>") tag of an
// element of `ns` as the document spells it into buf (room bytes, always
// terminated).  Returns the tag, empty when it does not fit.
std::string_view xml_tag_text(const xml_namespaces &names, xml_ns ns, std::string_view local,
                              bool closing, char *buf, size_t room);

}  // namespace bb
