// Reading the simulator's ScannerStatus document in tests, whatever the
// JobUri style: a job's entry and the text of its elements.
#pragma once

#include <string>

#include "xml_text.h"

namespace escl_sim::test {

// The scan:JobInfo element whose JobUri names job id, "" when not listed.
inline std::string job_entry(const std::string &doc, const std::string &id) {
  size_t at = doc.find("/eSCL/ScanJobs/" + id);
  if (at == std::string::npos) return {};
  size_t begin = doc.rfind("<scan:JobInfo>", at);
  size_t end = doc.find("</scan:JobInfo>", at);
  if (begin == std::string::npos || end == std::string::npos) return {};
  return doc.substr(begin, end - begin);
}

// Trimmed text of the first element of that local name, "" when absent.
inline std::string element_text(const std::string &doc, const char *name) {
  std::string text;
  xml_element_text(doc, name, text);
  return text;
}

inline int count_of(const std::string &doc, const std::string &piece) {
  int n = 0;
  for (size_t at = doc.find(piece); at != std::string::npos; at = doc.find(piece, at + piece.size())) ++n;
  return n;
}

}  // namespace escl_sim::test
